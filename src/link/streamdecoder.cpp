#include "link/streamdecoder.h"

#include "link/wireformat.h"

namespace {

using Wire::frameMarker;
using Wire::noReading;
using Wire::syncByte;

// The second byte of a word joins the low byte of the first, big-endian.
inline qint16 joinWord(qint16 first, quint8 second)
{
    return qint16(quint16((quint16(first) & 0xFFu) << 8 | second));
}

} // namespace

StreamDecoder::StreamDecoder(DecoderSink *sink, FrameMode mode, int frameBound)
    : sink(sink)
    , mode(mode)
    , bound(qBound(0, frameBound, maxFrameSamples) & ~1)
{
}

int StreamDecoder::decodeState() const
{
    static constexpr int numbers[] = {Hunting, OneSyncSeen,   XFirst,    XSecond,  YFirst,
                                      YSecond, PointComplete, FlagBytes, SkipTest, SyncRun};
    return numbers[state];
}

inline void StreamDecoder::step(quint8 b)
{
    switch (state) {
    case StepHunting:
        state = b == syncByte ? StepOneSyncSeen : StepHunting;
        return;
    case StepOneSyncSeen:
        state = b == syncByte ? StepXFirst : StepHunting;
        return;
    case StepXFirst:
    xFirst:
        x = b;
        if (b == syncByte) {
            ++syncRun;
            state = StepSyncRun;
        } else {
            syncRun = 0;
            state = StepXSecond;
        }
        return;
    case StepXSecond:
        if (b == syncByte) {
            ++syncRun;
            x = joinWord(x, b);
            if (syncRun <= 1) {
                state = StepYFirst;
            } else {
                ++counters.broken;
                state = StepSyncRun;
            }
        } else {
            syncRun = 0;
            x = joinWord(x, b);
            if (quint16(x) == frameMarker) {
                flags = 0;
                state = StepFlagBytes;
                ++counters.framesByMarker;
                endFrame();
            } else {
                state = StepYFirst;
            }
        }
        return;
    case StepYFirst:
        y = b;
        if (b == syncByte) {
            ++syncRun;
            if (syncRun <= 1) {
                state = StepYSecond;
            } else {
                ++counters.broken;
                state = StepSyncRun;
            }
        } else {
            syncRun = 0;
            state = StepYSecond;
        }
        return;
    case StepYSecond:
        y = joinWord(y, b);
        if (b == syncByte) {
            ++syncRun;
            if (syncRun > 1) {
                ++counters.broken;
                state = StepSyncRun;
            } else {
                state = StepPointComplete;
            }
        } else {
            syncRun = 0;
            if (quint16(y) == noReading) {
                ++counters.dropped;
                state = StepXFirst;
            } else {
                state = StepPointComplete;
            }
        }
        return;
    case StepPointComplete:
        // The byte after a point's fourth delivers it and is then read as a new point's start.
        deliverPoint();
        state = StepXFirst;
        goto xFirst;
    case StepFlagBytes:
        if (flags <= 3) {
            if (sink)
                sink->flagByteDecoded(b, flags);
            ++flags;
        } else {
            state = StepSkipTest;
        }
        return;
    case StepSkipTest:
        state = b == syncByte ? StepSyncRun : StepFlagBytes;
        return;
    case StepSyncRun:
        if (b == syncByte) {
            if (syncRun <= Wire::syncRunLimit) {
                ++syncRun;
            } else {
                syncRun = 0;
                ++counters.framesBySync;
                endFrame();
            }
            return;
        }
        syncRun = 0;
        state = StepXFirst;
        goto xFirst;
    default:
        return;
    }
}

void StreamDecoder::deliverPoint()
{
    if (mode == FrameMode::PaintOnly) {
        ++counters.points;
        if (sink)
            sink->pointDecoded(x, y, 0);
        return;
    }
    if (frame.size() >= bound) {
        ++counters.overflow;
        return;
    }
    frame.append(y);
    frame.append(x);
    ++counters.points;
    if (sink)
        sink->pointDecoded(x, y, column);
    ++column;
}

void StreamDecoder::endFrame()
{
    if (sink)
        sink->frameEnded(frame);
    // Keep the list's storage for the next frame; if a listener still shares it, start a new
    // one of the same capacity rather than growing it point by point.
    if (frame.isDetached()) {
        frame.erase(frame.begin(), frame.end());
    } else {
        const int size = frame.size();
        frame.clear();
        frame.reserve(size);
    }
    column = 0;
}

void StreamDecoder::decodeByte(quint8 byte)
{
    ++counters.bytes;
    step(byte);
}

int StreamDecoder::frameEndsIn(const char *data, qsizetype size) const
{
    StreamDecoder ahead(*this);
    ahead.sink = nullptr;
    // Neither the samples nor the columns decide where a frame ends.
    ahead.mode = FrameMode::PaintOnly;
    ahead.frame = QList<short>();
    ahead.decode(data, size);
    return int(ahead.counters.framesByMarker + ahead.counters.framesBySync - counters.framesByMarker
               - counters.framesBySync);
}

void StreamDecoder::decode(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    counters.bytes += quint64(size);
    const auto *bytes = reinterpret_cast<const quint8 *>(data);
    for (qsizetype i = 0; i < size; ++i)
        step(bytes[i]);
}
