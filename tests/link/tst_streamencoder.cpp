// The wire-format writer against the viewer's decoder: whatever the encoder writes must come back
// point for point, flag for flag, frame for frame; what it refuses is what the decoder would lose.

#include "link/streamdecoder.h"
#include "link/streamencoder.h"

#include <QtTest>

namespace {

struct Decoded : DecoderSink
{
    QList<QList<short>> frames;
    QByteArray flags;
    void flagByteDecoded(quint8 byte, int) override { flags.append(char(byte)); }
    void frameEnded(const QList<short> &frame) override { frames.append(frame); }
};

QList<short> samplesOf(const QVector<StreamPoint> &points)
{
    QList<short> samples;
    for (const StreamPoint &p : points)
        samples << p.y << p.x;
    return samples;
}

} // namespace

Q_DECLARE_METATYPE(QVector<StreamPoint>)

class TestStreamEncoder : public QObject
{
    Q_OBJECT

private slots:
    void carriedPointsDecodeBack_data();
    void carriedPointsDecodeBack();
    void framesDecodeBack_data();
    void framesDecodeBack();
    void everyCarriedValueOfAWordDecodesBack();
};

void TestStreamEncoder::carriedPointsDecodeBack_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("carried");

    QTest::newRow("plain") << 16 << 100 << true;
    QTest::newRow("negative") << -16 << -5 << true;
    QTest::newRow("x low byte 0xCC") << 0x12CC << 100 << true;
    QTest::newRow("y high byte 0xCC") << 5 << int(qint16(0xCC01)) << true;
    QTest::newRow("y low byte 0xCC") << 5 << 0x01CC << true;
    QTest::newRow("x low and y low 0xCC") << 0x01CC << 0x01CC << true;
    QTest::newRow("y of 0xDDDD") << 5 << int(qint16(0xDDDD)) << true;
    QTest::newRow("x of 0xDD00") << int(qint16(0xDD00)) << 5 << true;
    QTest::newRow("x high byte 0xCC") << int(qint16(0xCC01)) << 100 << false;
    QTest::newRow("x is the frame marker") << int(qint16(0xDDDD)) << 100 << false;
    QTest::newRow("y of no reading") << 5 << 0x0400 << false;
    QTest::newRow("x low and y high 0xCC") << 0x01CC << int(qint16(0xCC01)) << false;
    QTest::newRow("y of 0xCCCC") << 5 << int(qint16(0xCCCC)) << false;
}

void TestStreamEncoder::carriedPointsDecodeBack()
{
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(bool, carried);

    QCOMPARE(StreamEncoder::canCarry(qint16(x), qint16(y)), carried);
    StreamEncoder encoder;
    encoder.appendSync();
    QCOMPARE(encoder.appendPoint(qint16(x), qint16(y)), carried);
    encoder.appendFrameEnd(0);
    QCOMPARE(encoder.bytes().size(), 2 + (carried ? 4 : 0) + Wire::frameEndBytes);

    Decoded decoded;
    StreamDecoder decoder(&decoded);
    decoder.decode(encoder.bytes().constData(), encoder.bytes().size());
    QCOMPARE(decoded.frames.size(), 1);
    const QList<short> expected = carried ? QList<short> {short(y), short(x)} : QList<short> {};
    QCOMPARE(decoded.frames.first(), expected);
    QCOMPARE(decoder.stats().broken + decoder.stats().dropped, quint64(0));
}

void TestStreamEncoder::framesDecodeBack_data()
{
    QTest::addColumn<QVector<StreamPoint>>("points");
    QTest::addColumn<int>("syncAfterEachPoint");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<int>("frames");

    QVector<StreamPoint> full;
    for (int i = 0; i < 27; ++i)
        full.append({qint16(i * 7 - 90), qint16(300 + i)});
    QVector<StreamPoint> awkward {{0x01CC, 0x01CC}, {-52, 460}, {5, qint16(0xCC05)}, {0, 0}};

    QTest::newRow("27 points, flags 1 and 32") << full << 0 << 0x80000001u << 3;
    QTest::newRow("27 points, one 0xCC between points") << full << 1 << 0xFFFFFFFFu << 2;
    QTest::newRow("27 points, the longest quiet sync runs")
        << full << Wire::syncRunLimit << 0u << 2;
    QTest::newRow("0xCC bytes inside points, quiet runs after them")
        << awkward << Wire::syncRunLimit << 0x00CC00CCu << 4;
    QTest::newRow("empty frames") << QVector<StreamPoint>() << 0 << 0x12345678u << 3;
}

void TestStreamEncoder::framesDecodeBack()
{
    QFETCH(QVector<StreamPoint>, points);
    QFETCH(int, syncAfterEachPoint);
    QFETCH(quint32, flags);
    QFETCH(int, frames);

    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < frames; ++f) {
        for (const StreamPoint &p : points) {
            QVERIFY(encoder.appendPoint(p.x, p.y));
            encoder.appendSync(syncAfterEachPoint);
        }
        encoder.appendFrameEnd(flags + quint32(f));
    }
    const QByteArray stream = encoder.takeBytes();
    QVERIFY(encoder.bytes().isEmpty());

    // Split into reads of every size from one byte up: the decoder keeps its state across them.
    for (int split : {1, 3, 4096}) {
        Decoded decoded;
        StreamDecoder decoder(&decoded);
        for (int at = 0; at < stream.size(); at += split)
            decoder.decode(stream.constData() + at, qMin(split, int(stream.size()) - at));
        QCOMPARE(decoded.frames.size(), frames);
        for (const QList<short> &frame : qAsConst(decoded.frames))
            QCOMPARE(frame, samplesOf(points));
        QByteArray expectedFlags;
        for (int f = 0; f < frames; ++f) {
            const quint32 v = flags + quint32(f);
            expectedFlags += QByteArray::fromHex(QByteArray::number(v, 16).rightJustified(8, '0'));
        }
        QCOMPARE(decoded.flags.toHex(), expectedFlags.toHex());
        QCOMPARE(decoder.stats().framesBySync, quint64(0));
        QCOMPARE(decoder.stats().broken, quint64(0));
    }
}

// Every x and every y the encoder accepts, next to a plain partner, decodes to itself.
void TestStreamEncoder::everyCarriedValueOfAWordDecodesBack()
{
    StreamEncoder encoder;
    encoder.appendSync();
    QVector<StreamPoint> sent;
    for (int v = -32768; v <= 32767; ++v) {
        for (const StreamPoint p : {StreamPoint {qint16(v), 300}, StreamPoint {7, qint16(v)}}) {
            if (encoder.appendPoint(p.x, p.y))
                sent.append(p);
        }
    }
    encoder.appendFrameEnd(0);
    // Refused: x with 0xCC as high byte (256 values) and x = 0xDDDD; y = 0x0400 and y = 0xCCCC.
    QCOMPARE(sent.size(), 2 * 65536 - 257 - 2);

    Decoded decoded;
    StreamDecoder decoder(&decoded);
    decoder.decode(encoder.bytes().constData(), encoder.bytes().size());
    QCOMPARE(decoded.frames.size(), 1);
    // Larger than one frame of the viewer may hold: compare what it kept.
    const QList<short> expected = samplesOf(sent).mid(0, StreamDecoder::maxFrameSamples);
    QCOMPARE(decoded.frames.first(), expected);
}

QTEST_GUILESS_MAIN(TestStreamEncoder)
#include "tst_streamencoder.moc"
