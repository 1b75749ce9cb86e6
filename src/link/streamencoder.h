#pragma once

#include "link/wireformat.h"

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

// One point of a frame as the module measures it.
struct StreamPoint
{
    qint16 x = 0;
    qint16 y = 0;
};

// Writes the module's wire format (link/wireformat.h), the counterpart of StreamDecoder. It writes
// only what the decoder reads back unchanged, so a simulator or a test cannot produce a stream that
// silently loses points.
class StreamEncoder
{
public:
    // Whether the decoder reads the point back as itself. It cannot when x starts with 0xCC or
    // is 0xDDDD (the frame marker), when two 0xCC bytes meet inside the point, or when y is
    // 0x0400 (the module's "no reading").
    static bool canCarry(qint16 x, qint16 y);

    // `count` bytes of 0xCC. A stream opens with two; between points, runs of 1 to
    // Wire::syncRunLimit cost nothing, and longer runs end frames inside the decoder.
    void appendSync(int count = 2);
    // Appends the point's four bytes and returns true, or writes nothing and returns false when
    // the point cannot be carried.
    bool appendPoint(qint16 x, qint16 y);
    // Ends the frame: the marker, the flags (flag 1 is bit 31, sent first), then the two 0xCC
    // the decoder needs after the flag bytes before it reads points again.
    void appendFrameEnd(quint32 flags);
    // The points in column order and the frame end. Returns how many points were written; a
    // point that cannot be carried is left out.
    int appendFrame(const QVector<StreamPoint> &points, quint32 flags);

    const QByteArray &bytes() const { return out; }
    // Hands over what was written so far and starts empty.
    QByteArray takeBytes();

private:
    QByteArray out;
};
