#include "link/streamencoder.h"

#include <utility>

namespace {
constexpr char syncByte = char(0xCC);
constexpr char markerByte = char(0xDD);
constexpr quint16 frameMarker = 0xDDDD;
constexpr quint16 noReading = 0x0400;
constexpr quint8 sync = 0xCC;

void appendWord(QByteArray &out, qint16 value)
{
    out.append(char(quint16(value) >> 8));
    out.append(char(quint16(value) & 0xFF));
}
} // namespace

bool StreamEncoder::canCarry(qint16 x, qint16 y)
{
    const quint8 b[pointBytes]
        = {quint8(quint16(x) >> 8), quint8(x), quint8(quint16(y) >> 8), quint8(y)};
    if (b[0] == sync || quint16(x) == frameMarker || quint16(y) == noReading)
        return false;
    // A single 0xCC in the second, third or fourth byte is data; two in a row start a sync run.
    for (int i = 1; i + 1 < pointBytes; ++i) {
        if (b[i] == sync && b[i + 1] == sync)
            return false;
    }
    return true;
}

void StreamEncoder::appendSync(int count)
{
    if (count > 0)
        out.append(count, syncByte);
}

bool StreamEncoder::appendPoint(qint16 x, qint16 y)
{
    if (!canCarry(x, y))
        return false;
    appendWord(out, x);
    appendWord(out, y);
    return true;
}

void StreamEncoder::appendFrameEnd(quint32 flags)
{
    out.append(markerByte);
    out.append(markerByte);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((flags >> shift) & 0xFF));
    // The decoder skips the byte after the flags and tests the next one for 0xCC.
    appendSync(2);
}

int StreamEncoder::appendFrame(const QVector<StreamPoint> &points, quint32 flags)
{
    out.reserve(out.size() + points.size() * pointBytes + frameEndBytes);
    int written = 0;
    for (const StreamPoint &p : points)
        written += appendPoint(p.x, p.y) ? 1 : 0;
    appendFrameEnd(flags);
    return written;
}

QByteArray StreamEncoder::takeBytes()
{
    return std::exchange(out, QByteArray());
}
