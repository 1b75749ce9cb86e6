#pragma once

#include <QList>
#include <QtGlobal>

// Receives what the decoder finds in the module's stream. Every call happens inside decode() or
// decodeByte(), in stream order.
class DecoderSink
{
public:
    virtual ~DecoderSink() = default;
    // A complete point; column is the number of points of the frame delivered before it.
    virtual void pointDecoded(qint16 x, qint16 y, int column)
    {
        Q_UNUSED(x)
        Q_UNUSED(y)
        Q_UNUSED(column)
    }
    // One of the four bytes after a frame marker; index 0 to 3.
    virtual void flagByteDecoded(quint8 byte, int index)
    {
        Q_UNUSED(byte)
        Q_UNUSED(index)
    }
    // The frame that just ended: y then x of every point delivered since the previous end. The
    // decoder empties it after this call returns, so a listener that keeps it takes a copy.
    virtual void frameEnded(const QList<short> &frame) { Q_UNUSED(frame) }
};

// Plain counters for diagnosis; they never influence decoding.
struct DecoderStats
{
    quint64 bytes = 0; // bytes fed in
    quint64 points = 0; // points delivered to the sink
    quint64 dropped = 0; // points consumed but dropped because y was 0x0400
    quint64 broken = 0; // partial points broken off by 0xCC bytes meeting inside them
    quint64 framesByMarker = 0; // frames ended by 0xDD 0xDD
    quint64 framesBySync = 0; // frames ended inside a long run of 0xCC
    quint64 overflow = 0; // points discarded because their frame had reached its bound
};

// Turns the module's byte stream into points, flag bytes and frames.
//
// Wire format: runs of 0xCC synchronise; a point is x then y, each a big-endian signed 16-bit
// word; 0xDD 0xDD in the place of an x ends the frame and is followed by four flag bytes. The
// decoder keeps its whole state between calls, so how the stream is split into reads does not
// matter.
class StreamDecoder
{
public:
    // PaintOnly keeps no frame: points are reported with column 0 and frameEnded gets an empty
    // list.
    enum class FrameMode { Collect, PaintOnly };

    // A frame that never ends (no marker, no long sync run) stops growing at this many samples;
    // further points of that frame are discarded, counted in DecoderStats::overflow, and neither
    // reported nor given a column, until the next frame end. Far above the 54 samples of a
    // regular frame, small enough to bound memory.
    static constexpr int maxFrameSamples = 65536;

    // The state numbers as the module's documentation counts them; decodeState() reports these.
    enum State : int {
        Hunting = 0,
        OneSyncSeen = 1,
        XFirst = 2,
        XSecond = 3,
        YFirst = 4,
        YSecond = 400,
        PointComplete = 6,
        FlagBytes = 7,
        SkipTest = 701,
        SyncRun = 1000,
    };

    // frameBound: samples a frame may hold, at most maxFrameSamples, rounded down to whole points;
    // smaller bounds are for tests and fuzzing.
    explicit StreamDecoder(DecoderSink *sink = nullptr, FrameMode mode = FrameMode::Collect,
                           int frameBound = maxFrameSamples);

    void decodeByte(quint8 byte);
    void decode(const char *data, qsizetype size);
    // How many frames the bytes end when decoded from here; the decoder itself stays as it is.
    int frameEndsIn(const char *data, qsizetype size) const;

    const DecoderStats &stats() const { return counters; }
    FrameMode frameMode() const { return mode; }
    int frameBound() const { return bound; }

    int decodeState() const;
    int syncCount() const { return syncRun; }
    qint16 pointX() const { return x; }
    qint16 pointY() const { return y; }
    int flagByteCount() const { return flags; }
    int pointCount() const { return column; }
    const QList<short> &frameSamples() const { return frame; }

private:
    // The same states numbered densely, so that the per-byte switch is a jump table.
    enum Step : int {
        StepHunting,
        StepOneSyncSeen,
        StepXFirst,
        StepXSecond,
        StepYFirst,
        StepYSecond,
        StepPointComplete,
        StepFlagBytes,
        StepSkipTest,
        StepSyncRun,
    };

    void step(quint8 byte);
    void deliverPoint();
    void endFrame();

    DecoderSink *sink;
    FrameMode mode;
    int bound;
    Step state = StepHunting;
    int syncRun = 0;
    qint16 x = 0;
    qint16 y = 0;
    int flags = 0;
    int column = 0;
    QList<short> frame;
    DecoderStats counters;
};
