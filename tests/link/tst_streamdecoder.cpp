#include "decoderrecorder.h"
#include "link/streamdecoder.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray repeated(int count, char byte)
{
    return QByteArray(count, byte);
}

// The final state of a decoder in one comparable line.
QString stateLine(const StreamDecoder &d)
{
    return QStringLiteral("state %1 sync %2 x %3 y %4 flags %5 count %6 samples %7")
        .arg(d.decodeState())
        .arg(d.syncCount())
        .arg(d.pointX())
        .arg(d.pointY())
        .arg(d.flagByteCount())
        .arg(d.pointCount())
        .arg(d.frameSamples().size());
}

QString statsLine(const DecoderStats &s)
{
    return QStringLiteral("bytes %1 points %2 dropped %3 broken %4 marker %5 sync %6 overflow %7")
        .arg(s.bytes)
        .arg(s.points)
        .arg(s.dropped)
        .arg(s.broken)
        .arg(s.framesByMarker)
        .arg(s.framesBySync)
        .arg(s.overflow);
}

const QByteArray workedExample
    = hex("CC CC 00 10 00 64 00 11 00 22 FF F0 00 05 DD DD 80 00 00 01 CC CC 00 01 00 01 CC");

// Two points (1, 2) and (3, 4) and a frame marker with empty flags, then what the row adds.
const QByteArray framePrefix = hex("CC CC 00 01 00 02 00 03 00 04 DD DD 00 00 00 00");

} // namespace

class TestStreamDecoder : public QObject
{
    Q_OBJECT

private slots:
    void workedExample_data();
    void workedExample();
    void streams_data();
    void streams();
    void splitInvariance_data();
    void splitInvariance();
    void paintOnly_data();
    void paintOnly();
    void frameBound_data();
    void frameBound();
    void keptFrameUntouched();
};

// The worked example, one row per byte: what that byte makes the decoder report and where it
// leaves it.
void TestStreamDecoder::workedExample_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("syncCount");

    const QStringList none;
    struct Row
    {
        QStringList events;
        int state;
        int sync;
    };
    const QList<Row> rows = {
        {none, 1, 0}, // CC
        {none, 2, 0}, // CC
        {none, 3, 0}, // 00
        {none, 4, 0}, // 10
        {none, 400, 0}, // 00
        {none, 6, 0}, // 64
        {{"P 16 100 0"}, 3, 0}, // 00 delivers (16, 100), starts x
        {none, 4, 0}, // 11
        {none, 400, 0}, // 00
        {none, 6, 0}, // 22
        {{"P 17 34 1"}, 3, 0}, // FF
        {none, 4, 0}, // F0
        {none, 400, 0}, // 00
        {none, 6, 0}, // 05
        {{"P -16 5 2"}, 3, 0}, // DD
        {{"E 100 16 34 17 5 -16"}, 7, 0}, // DD: the frame marker
        {{"F 128 0"}, 7, 0}, // 80: flag 1
        {{"F 0 1"}, 7, 0},
        {{"F 0 2"}, 7, 0},
        {{"F 1 3"}, 7, 0}, // 01: flag 32
        {none, 701, 0}, // CC skipped unseen
        {none, 1000, 0}, // CC tested: sync run
        {none, 3, 0}, // 00
        {none, 4, 0}, // 01
        {none, 400, 0}, // 00
        {none, 6, 0}, // 01
        {{"P 1 1 0"}, 1000, 1}, // CC delivers (1, 1) and counts 1
    };
    QCOMPARE(rows.size(), ::workedExample.size());
    for (int i = 0; i < rows.size(); ++i)
        QTest::addRow("byte %02d (%02X)", i, quint8(::workedExample.at(i)))
            << i << rows[i].events << rows[i].state << rows[i].sync;
}

void TestStreamDecoder::workedExample()
{
    QFETCH(int, index);
    QFETCH(QStringList, events);
    QFETCH(int, state);
    QFETCH(int, syncCount);

    DecoderRecorder recorder;
    StreamDecoder decoder(&recorder);
    for (int i = 0; i < index; ++i)
        decoder.decodeByte(quint8(::workedExample.at(i)));
    recorder.events.clear();

    decoder.decodeByte(quint8(::workedExample.at(index)));
    QCOMPARE(recorder.events, events);
    QCOMPARE(decoder.decodeState(), state);
    QCOMPARE(decoder.syncCount(), syncCount);
    QCOMPARE(decoder.frameSamples().size(), 2 * decoder.pointCount());
}

// Streams with every event they cause, the state they leave and the counters.
void TestStreamDecoder::streams_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("finalState");
    QTest::addColumn<QString>("stats");

    const QStringList flags0 = {"F 0 0", "F 0 1", "F 0 2", "F 0 3"};
    const QStringList prefixEvents = QStringList {"P 1 2 0", "P 3 4 1", "E 2 1 4 3"} + flags0;
    auto stats = [](int bytes, int points, int dropped, int broken, int marker, int sync) {
        return statsLine(DecoderStats {quint64(bytes), quint64(points), quint64(dropped),
                                       quint64(broken), quint64(marker), quint64(sync), 0});
    };

    QTest::newRow("worked example")
        << ::workedExample
        << QStringList {"P 16 100 0", "P 17 34 1", "P -16 5 2", "E 100 16 34 17 5 -16",
                        "F 128 0",    "F 0 1",     "F 0 2",     "F 1 3",
                        "P 1 1 0"}
        << "state 1000 sync 1 x 204 y 1 flags 4 count 1 samples 2" << stats(27, 4, 0, 0, 1, 0);
    QTest::newRow("cold start, one point")
        << hex("CC CC 00 10 00 64 CC") << QStringList {"P 16 100 0"}
        << "state 1000 sync 1 x 204 y 100 flags 0 count 1 samples 2" << stats(7, 1, 0, 0, 0, 0);
    QTest::newRow("point pending until the next byte")
        << hex("CC CC 00 10 00 64") << QStringList {}
        << "state 6 sync 0 x 16 y 100 flags 0 count 0 samples 0" << stats(6, 0, 0, 0, 0, 0);
    QTest::newRow("garbage before sync")
        << hex("01 CC 02 CC CC 00 01 00 02 CC") << QStringList {"P 1 2 0"}
        << "state 1000 sync 1 x 204 y 2 flags 0 count 1 samples 2" << stats(10, 1, 0, 0, 0, 0);
    QTest::newRow("no point without two CC")
        << hex("CC 00 01 00 02 00 03 00 04 CC 05") << QStringList {}
        << "state 0 sync 0 x 0 y 0 flags 0 count 0 samples 0" << stats(11, 0, 0, 0, 0, 0);
    QTest::newRow("y 0x0400 dropped, next byte starts x")
        << hex("CC CC 00 07 04 00 00 02 00 03 CC") << QStringList {"P 2 3 0"}
        << "state 1000 sync 1 x 204 y 3 flags 0 count 1 samples 2" << stats(11, 1, 1, 0, 0, 0);
    QTest::newRow("x 0x0400 is a reading")
        << hex("CC CC 04 00 00 09 CC") << QStringList {"P 1024 9 0"}
        << "state 1000 sync 1 x 204 y 9 flags 0 count 1 samples 2" << stats(7, 1, 0, 0, 0, 0);
    QTest::newRow("y 0xDDDD is ordinary")
        << hex("CC CC 00 05 DD DD CC") << QStringList {"P 5 -8739 0"}
        << "state 1000 sync 1 x 204 y -8739 flags 0 count 1 samples 2" << stats(7, 1, 0, 0, 0, 0);
    QTest::newRow("DD DD astride x and y")
        << hex("CC CC 00 DD DD 00 CC") << QStringList {"P 221 -8960 0"}
        << "state 1000 sync 1 x 204 y -8960 flags 0 count 1 samples 2" << stats(7, 1, 0, 0, 0, 0);
    QTest::newRow("y of 0 and below stay in the frame")
        << hex("CC CC 00 01 00 00 00 02 FF FF DD DD")
        << QStringList {"P 1 0 0", "P 2 -1 1", "E 0 1 -1 2"}
        << "state 7 sync 0 x -8739 y -1 flags 0 count 0 samples 0" << stats(12, 2, 0, 0, 1, 0);
    QTest::newRow("marker at once after sync: empty frame")
        << hex("CC CC DD DD 80 00 00 01")
        << (QStringList {"E", "F 128 0", "F 0 1", "F 0 2", "F 1 3"})
        << "state 7 sync 0 x -8739 y 0 flags 4 count 0 samples 0" << stats(8, 0, 0, 0, 1, 0);
    QTest::newRow("single CC between points")
        << hex("CC CC 00 01 00 02 CC 00 03 00 04 CC") << QStringList {"P 1 2 0", "P 3 4 1"}
        << "state 1000 sync 1 x 204 y 4 flags 0 count 2 samples 4" << stats(12, 2, 0, 0, 0, 0);
    QTest::newRow("7 CC after a point end a frame")
        << hex("CC CC 00 01 00 02") + repeated(7, '\xCC') << QStringList {"P 1 2 0", "E 2 1"}
        << "state 1000 sync 0 x 204 y 2 flags 0 count 0 samples 0" << stats(13, 1, 0, 0, 0, 1);
    QTest::newRow("6 CC after a point do not")
        << hex("CC CC 00 01 00 02") + repeated(6, '\xCC') << QStringList {"P 1 2 0"}
        << "state 1000 sync 6 x 204 y 2 flags 0 count 1 samples 2" << stats(12, 1, 0, 0, 0, 0);
    QTest::newRow("14 CC end two frames, the second empty")
        << hex("CC CC 00 01 00 02") + repeated(14, '\xCC') << QStringList {"P 1 2 0", "E 2 1", "E"}
        << "state 1000 sync 0 x 204 y 2 flags 0 count 0 samples 0" << stats(20, 1, 0, 0, 0, 2);
    QTest::newRow("y low byte CC: 6 CC end the frame")
        << hex("CC CC 00 01 00 CC") + repeated(6, '\xCC') << QStringList {"P 1 204 0", "E 204 1"}
        << "state 1000 sync 0 x 204 y 204 flags 0 count 0 samples 0" << stats(12, 1, 0, 0, 0, 1);
    QTest::newRow("x low byte CC is data")
        << hex("CC CC 00 CC 00 05 CC") << QStringList {"P 204 5 0"}
        << "state 1000 sync 1 x 204 y 5 flags 0 count 1 samples 2" << stats(7, 1, 0, 0, 0, 0);
    QTest::newRow("y high byte CC is data")
        << hex("CC CC 00 01 CC 05 CC") << QStringList {"P 1 -13307 0"}
        << "state 1000 sync 1 x 204 y -13307 flags 0 count 1 samples 2" << stats(7, 1, 0, 0, 0, 0);
    QTest::newRow("y CC CC: point broken")
        << hex("CC CC 00 01 CC CC 00 03 00 04 CC") << QStringList {"P 3 4 0"}
        << "state 1000 sync 1 x 204 y 4 flags 0 count 1 samples 2" << stats(11, 1, 0, 1, 0, 0);
    QTest::newRow("x CC then y CC: point broken")
        << hex("CC CC 00 CC CC 00 01 00 02 CC") << QStringList {"P 1 2 0"}
        << "state 1000 sync 1 x 204 y 2 flags 0 count 1 samples 2" << stats(10, 1, 0, 1, 0, 0);
    QTest::newRow("x low CC and y low CC are data")
        << hex("CC CC 00 CC 00 CC 00 02 00 03 CC") << QStringList {"P 204 204 0", "P 2 3 1"}
        << "state 1000 sync 1 x 204 y 3 flags 0 count 2 samples 4" << stats(11, 2, 0, 0, 0, 0);
    QTest::newRow("after the flags: single CC keeps skipping")
        << framePrefix + hex("CC 00 09 00 0A 00 CC") << prefixEvents
        << "state 701 sync 0 x -8739 y 4 flags 4 count 0 samples 0" << stats(23, 2, 0, 0, 1, 0);
    QTest::newRow("after the flags: CC in a tested place")
        << framePrefix + hex("CC 00 CC CC 00 09 00 0A CC")
        << prefixEvents + QStringList {"P 9 10 0"}
        << "state 1000 sync 1 x 204 y 10 flags 4 count 1 samples 2" << stats(25, 3, 0, 0, 1, 0);
    QTest::newRow("flag bytes DD DD CC CC are flags")
        << hex("CC CC 00 01 00 02 DD DD DD DD CC CC CC CC 00 09 00 0A CC")
        << QStringList {"P 1 2 0", "E 2 1", "F 221 0", "F 221 1", "F 204 2", "F 204 3", "P 9 10 0"}
        << "state 1000 sync 1 x 204 y 10 flags 4 count 1 samples 2" << stats(19, 2, 0, 0, 1, 0);
    QTest::newRow("flag bytes CC CC CC CC start no sync run")
        << hex("CC CC 00 01 00 02 DD DD CC CC CC CC DD DD CC CC 00 09 00 0A CC")
        << QStringList {"P 1 2 0", "E 2 1", "F 204 0", "F 204 1", "F 204 2", "F 204 3", "P 9 10 0"}
        << "state 1000 sync 1 x 204 y 10 flags 4 count 1 samples 2" << stats(21, 2, 0, 0, 1, 0);
    QTest::newRow("after the flags: marker is not seen")
        << framePrefix + hex("DD DD 80 00 00 01") << prefixEvents
        << "state 7 sync 0 x -8739 y 4 flags 4 count 0 samples 0" << stats(22, 2, 0, 0, 1, 0);
    for (int run : {2, 3, 8, 9, 15, 16}) {
        const int extra = run >= 16 ? 2 : run >= 9 ? 1 : 0;
        QStringList events = prefixEvents;
        for (int i = 0; i < extra; ++i)
            events << "E";
        events << "P 9 10 0";
        QTest::addRow("after the flags: run of %d CC", run)
            << framePrefix + repeated(run, '\xCC') + hex("00 09 00 0A CC") << events
            << "state 1000 sync 1 x 204 y 10 flags 4 count 1 samples 2"
            << stats(framePrefix.size() + run + 5, 3, 0, 0, 1, extra);
    }
}

void TestStreamDecoder::streams()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, events);
    QFETCH(QString, finalState);
    QFETCH(QString, stats);

    DecoderRecorder recorder;
    StreamDecoder decoder(&recorder);
    decoder.decode(stream.constData(), stream.size());
    QCOMPARE(recorder.events, events);
    QCOMPARE(stateLine(decoder), finalState);
    QCOMPARE(statsLine(decoder.stats()), stats);
}

void TestStreamDecoder::splitInvariance_data()
{
    streams_data();
}

// One read, one byte per read and random splits all give the same events, state and counters.
void TestStreamDecoder::splitInvariance()
{
    QFETCH(QByteArray, stream);

    DecoderRecorder whole;
    StreamDecoder wholeDecoder(&whole);
    wholeDecoder.decode(stream.constData(), stream.size());

    DecoderRecorder single;
    StreamDecoder singleDecoder(&single);
    for (char byte : stream)
        singleDecoder.decodeByte(quint8(byte));
    QCOMPARE(single.events, whole.events);
    QCOMPARE(stateLine(singleDecoder), stateLine(wholeDecoder));
    QCOMPARE(statsLine(singleDecoder.stats()), statsLine(wholeDecoder.stats()));

    for (quint32 seed = 1; seed <= 20; ++seed) {
        QRandomGenerator random(seed);
        DecoderRecorder split;
        StreamDecoder splitDecoder(&split);
        int at = 0;
        while (at < stream.size()) {
            const int size = random.bounded(0, 6);
            const int n = qMin(size, stream.size() - at);
            splitDecoder.decode(stream.constData() + at, n);
            at += n;
        }
        QCOMPARE(split.events, whole.events);
        QCOMPARE(stateLine(splitDecoder), stateLine(wholeDecoder));
        QCOMPARE(statsLine(splitDecoder.stats()), statsLine(wholeDecoder.stats()));
    }
}

void TestStreamDecoder::paintOnly_data()
{
    streams_data();
}

// Without a frame list the same points and flags come, without columns, and frames end empty.
void TestStreamDecoder::paintOnly()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, events);

    DecoderRecorder recorder;
    StreamDecoder decoder(&recorder, StreamDecoder::FrameMode::PaintOnly);
    decoder.decode(stream.constData(), stream.size());

    QStringList expected;
    for (const QString &event : events) {
        if (event.startsWith('P'))
            expected << event.section(' ', 0, 2) + " 0";
        else if (event.startsWith('E'))
            expected << "E";
        else
            expected << event;
    }
    QCOMPARE(recorder.events, expected);
    QCOMPARE(decoder.pointCount(), 0);
    QVERIFY(decoder.frameSamples().isEmpty());
}

void TestStreamDecoder::frameBound_data()
{
    QTest::addColumn<int>("bound"); // as asked of the decoder
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("kept"); // points that make it into the frame

    const int limit = StreamDecoder::maxFrameSamples / 2;
    QTest::newRow("one below the bound")
        << StreamDecoder::maxFrameSamples << limit - 1 << limit - 1;
    QTest::newRow("exactly at the bound") << StreamDecoder::maxFrameSamples << limit << limit;
    QTest::newRow("one over the bound") << StreamDecoder::maxFrameSamples << limit + 1 << limit;
    QTest::newRow("far over the bound") << StreamDecoder::maxFrameSamples << 3 * limit << limit;
    QTest::newRow("larger bounds are capped")
        << 4 * StreamDecoder::maxFrameSamples << limit + 5 << limit;
    QTest::newRow("bound of one frame of 27") << 54 << 28 << 27;
    QTest::newRow("odd bound holds whole points") << 55 << 28 << 27;
}

// A frame that never ends stops growing at the bound; the next frame starts fresh.
void TestStreamDecoder::frameBound()
{
    QFETCH(int, bound);
    QFETCH(int, points);
    QFETCH(int, kept);

    QByteArray stream = hex("CC CC");
    for (int i = 0; i < points; ++i)
        stream += hex("00 01 00 02");
    stream += hex("DD DD 00 00 00 00 CC CC 00 03 00 04 CC");

    struct Sink : DecoderSink
    {
        void pointDecoded(qint16, qint16, int column) override
        {
            lastColumn = column;
            ++calls;
        }
        void frameEnded(const QList<short> &frame) override { sizes << frame.size(); }
        int lastColumn = -1;
        int calls = 0;
        QList<int> sizes;
    } sink;
    StreamDecoder decoder(&sink, StreamDecoder::FrameMode::Collect, bound);
    decoder.decode(stream.constData(), stream.size());

    QCOMPARE(sink.sizes, QList<int> {2 * kept});
    QCOMPARE(sink.calls, kept + 1);
    QCOMPARE(sink.lastColumn, 0); // the point after the marker opens a new frame
    QCOMPARE(decoder.frameSamples(), (QList<short> {4, 3}));
    QCOMPARE(decoder.stats().points, quint64(kept + 1));
    QCOMPARE(decoder.stats().overflow, quint64(points - kept));
}

// A listener that keeps a frame keeps it as it was, while the decoder fills the next.
void TestStreamDecoder::keptFrameUntouched()
{
    DecoderRecorder recorder;
    StreamDecoder decoder(&recorder);
    const QByteArray stream = hex("CC CC 00 01 00 02 DD DD 00 00 00 00 CC CC 00 03 00 04 CC")
        + repeated(6, '\xCC') + hex("00 05 00 06 00 07 00 08 CC") + repeated(7, '\xCC');
    decoder.decode(stream.constData(), stream.size());
    QCOMPARE(recorder.kept, (QList<QList<short>> {{2, 1}, {4, 3}, {6, 5, 8, 7}}));
    QVERIFY(decoder.frameSamples().isEmpty());
}

QTEST_APPLESS_MAIN(TestStreamDecoder)
#include "tst_streamdecoder.moc"
