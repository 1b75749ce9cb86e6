#include "link/streamdecoder.h"

namespace {

constexpr quint8 syncByte = 0xCC;
constexpr quint16 frameMarker = 0xDDDD;
constexpr quint16 noReading = 0x0400;

// The second byte of a word joins the low byte of the first, big-endian.
inline qint16 joinWord(qint16 first, quint8 second)
{
    return qint16(quint16((quint16(first) & 0xFFu) << 8 | second));
}

} // namespace

StreamDecoder::StreamDecoder(DecoderSink *sink, FrameMode mode)
    : sink(sink)
    , mode(mode)
{
}

void StreamDecoder::decodeByte(quint8 byte)
{
    ++counters.bytes;
    step(byte);
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

void StreamDecoder::step(quint8 b)
{
    switch (state) {
    case Hunting:
        state = b == syncByte ? OneSyncSeen : Hunting;
        return;
    case OneSyncSeen:
        state = b == syncByte ? XFirst : Hunting;
        return;
    case XFirst:
    xFirst:
        x = b;
        if (b == syncByte) {
            ++syncRun;
            state = SyncRun;
        } else {
            syncRun = 0;
            state = XSecond;
        }
        return;
    case XSecond:
        if (b == syncByte) {
            ++syncRun;
            x = joinWord(x, b);
            if (syncRun <= 1) {
                state = YFirst;
            } else {
                ++counters.broken;
                state = SyncRun;
            }
        } else {
            syncRun = 0;
            x = joinWord(x, b);
            if (quint16(x) == frameMarker) {
                flags = 0;
                state = FlagBytes;
                ++counters.framesByMarker;
                endFrame();
            } else {
                state = YFirst;
            }
        }
        return;
    case YFirst:
        y = b;
        if (b == syncByte) {
            ++syncRun;
            if (syncRun <= 1) {
                state = YSecond;
            } else {
                ++counters.broken;
                state = SyncRun;
            }
        } else {
            syncRun = 0;
            state = YSecond;
        }
        return;
    case YSecond:
        y = joinWord(y, b);
        if (b == syncByte) {
            ++syncRun;
            if (syncRun > 1) {
                ++counters.broken;
                state = SyncRun;
            } else {
                state = PointComplete;
            }
        } else {
            syncRun = 0;
            if (quint16(y) == noReading) {
                ++counters.dropped;
                state = XFirst;
            } else {
                state = PointComplete;
            }
        }
        return;
    case PointComplete:
        // The byte after a point's fourth delivers it and is then read as a new point's start.
        deliverPoint();
        state = XFirst;
        goto xFirst;
    case FlagBytes:
        if (flags <= 3) {
            if (sink)
                sink->flagByteDecoded(b, flags);
            ++flags;
        } else {
            state = SkipTest;
        }
        return;
    case SkipTest:
        state = b == syncByte ? SyncRun : FlagBytes;
        return;
    case SyncRun:
        if (b == syncByte) {
            if (syncRun <= 5) {
                ++syncRun;
            } else {
                syncRun = 0;
                ++counters.framesBySync;
                endFrame();
            }
            return;
        }
        syncRun = 0;
        state = XFirst;
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
    if (frame.size() >= maxFrameSamples) {
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
    // Keep the list's storage for the next frame unless a listener still shares it.
    if (frame.isDetached())
        frame.erase(frame.begin(), frame.end());
    else
        frame.clear();
    column = 0;
}
