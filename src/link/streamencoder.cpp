#include "link/streamencoder.h"

#include "link/wireformat.h"

#include <utility>

namespace {
using Wire::frameEndBytes;
using Wire::pointBytes;

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
    if (b[0] == Wire::syncByte || quint16(x) == Wire::frameMarker || quint16(y) == Wire::noReading)
        return false;
    // A single 0xCC in the second, third or fourth byte is data; two in a row start a sync run.
    for (int i = 1; i + 1 < pointBytes; ++i) {
        if (b[i] == Wire::syncByte && b[i + 1] == Wire::syncByte)
            return false;
    }
    return true;
}

void StreamEncoder::appendSync(int count)
{
    if (count > 0)
        out.append(count, char(Wire::syncByte));
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
    out.append(char(Wire::markerByte));
    out.append(char(Wire::markerByte));
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
