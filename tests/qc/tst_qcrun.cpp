// One run fed as a window feeds it: the module's bytes, and the frames the window's own decoder
// ends in them. Its kept capture, decoded by a fresh decoder, gives the frames it counted.
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "link/streamencoder.h"
#include "qc/qcrun.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int frameCount = 40;
constexpr int chunkSize = 7; // chunks that straddle points, markers and frames

// A frame of 27 points that the test type passes: y in its window, x near 0.
QVector<StreamPoint> framePoints(int frame)
{
    QVector<StreamPoint> points;
    for (int channel = 0; channel < qcChannelCount; ++channel)
        points.append({qint16((frame + channel) % 5 - 2), qint16(300 + channel)});
    return points;
}

struct FrameCounter : DecoderSink
{
    void frameEnded(const QList<short> &frame) override { sizes.append(frame.size()); }
    int full() const { return int(std::count(sizes.cbegin(), sizes.cend(), qcFrameLength)); }
    QList<int> sizes;
};

// The window: its decoder ends frames, which go to the run after the chunk that ended them.
struct Window : DecoderSink
{
    explicit Window(QcRun &run)
        : run(run)
    {
    }
    void frameEnded(const QList<short> &frame) override { ended.append(frame); }
    void feed(const QByteArray &bytes, qint64 steadyMs)
    {
        run.addBytes(bytes.constData(), bytes.size(), steadyMs);
        decoder.decode(bytes.constData(), bytes.size());
        for (const QList<short> &frame : std::as_const(ended))
            run.addFrame(frame, steadyMs);
        ended.clear();
    }
    QcRun &run;
    StreamDecoder decoder {this};
    QList<QList<short>> ended;
};

const QByteArray plan = R"([{"label": "T", "duration": 1, "frames": 1, "y": {"min": 0, "max": 1000},
    "x": [{"index": 0, "count": 1, "min": -10, "max": 10}]}])";

} // namespace

class TestQcRun : public QObject
{
    Q_OBJECT

private slots:
    void captureReplaysTheCountedFrames_data();
    void captureReplaysTheCountedFrames();
};

void TestQcRun::captureReplaysTheCountedFrames_data()
{
    QTest::addColumn<int>("startAt"); // byte of the stream at which Start is pressed
    QTest::addColumn<int>("lateFrames"); // frames of the end that arrive after the deadline

    StreamEncoder encoder;
    encoder.appendSync();
    encoder.appendFrame(framePoints(0), 0);
    const int frameBytes = encoder.bytes().size() - 2;
    // Start at every byte of a frame and its end, so the frame in progress is cut everywhere:
    // mid-point, on the marker, in the flag bytes, in the sync after them.
    for (int at = 0; at <= frameBytes; ++at)
        QTest::addRow("start at byte %d of frame 3", at) << 2 + 3 * frameBytes + at << 0;
    QTest::newRow("start before the stream") << 0 << 0;
    QTest::newRow("frames after the deadline") << 2 + 5 * frameBytes + 17 << 6;
}

void TestQcRun::captureReplaysTheCountedFrames()
{
    QFETCH(int, startAt);
    QFETCH(int, lateFrames);

    StreamEncoder encoder;
    encoder.appendSync();
    for (int frame = 0; frame < frameCount; ++frame)
        encoder.appendFrame(framePoints(frame), quint32(frame) * 0x01020304u);
    const QByteArray stream = encoder.bytes();
    const int frameBytes = (stream.size() - 2) / frameCount;
    const int lateFrom = stream.size() - lateFrames * frameBytes;

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QcRun run(Deliverable::Viewer, QcPlanFile {dir.filePath("qc.json"), plan, QString()});
    run.setCaptureKeeping(QcCaptureKeeping::All, dir.path());
    run.recorder().setLog(dir.filePath("log.jsonl"));
    Window window(run);
    window.feed(stream.left(startAt), 0);
    QVERIFY(run.start("T", 100).judgeAfterMs);
    for (int at = startAt; at < stream.size(); at += chunkSize) {
        const int size = std::min(chunkSize, stream.size() - at);
        window.feed(stream.mid(at, size), at + size > lateFrom ? 5000 : 500);
    }
    const QcRun::Outcome outcome = run.finish(QDateTime::currentDateTime());

    QCOMPARE(outcome.recordProblem, QString());
    QVERIFY2(outcome.record.capture, qPrintable(outcome.captureProblem));
    QByteArray kept;
    QString error;
    QVERIFY2(SessionFile::readModuleBytes(outcome.record.capture->path, &kept, &error),
             qPrintable(error));
    FrameCounter fresh;
    StreamDecoder(&fresh).decode(kept.constData(), kept.size());
    QCOMPARE(fresh.full(), outcome.record.frames);
    // Every frame whose marker came after Start, in a chunk of the counting window, is counted.
    int expected = 0;
    for (int frame = 0; frame < frameCount; ++frame) {
        const int markerEnd = 2 + frame * frameBytes + 4 * qcChannelCount + 1;
        const int chunkEnd = std::min(startAt + ((markerEnd - startAt) / chunkSize + 1) * chunkSize,
                                      int(stream.size()));
        expected += markerEnd >= startAt && chunkEnd <= lateFrom;
    }
    QCOMPARE(outcome.record.frames, expected);
}

QTEST_GUILESS_MAIN(TestQcRun)
#include "tst_qcrun.moc"
