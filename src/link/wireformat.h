#pragma once

#include <QtGlobal>

// The module's wire format, read by StreamDecoder and written by StreamEncoder: runs of the sync
// byte, points as big-endian x then y, and the frame marker in the place of an x, followed by
// four flag bytes.
namespace Wire {

constexpr quint8 syncByte = 0xCC;
constexpr quint8 markerByte = 0xDD;
constexpr quint16 frameMarker = 0xDDDD;
// The module's "no reading": a point with this y is dropped.
constexpr quint16 noReading = 0x0400;

constexpr int pointBytes = 4;
constexpr int flagBytes = 4;
// The marker, the flags, and the two sync bytes the decoder needs after them before it reads
// points again.
constexpr int frameEndBytes = 2 + flagBytes + 2;
// The decoder counts a sync run up to this; one sync byte more ends the frame inside the run. A
// run of this many between points therefore never ends a frame, even when the point before it
// ended in a sync byte.
constexpr int syncRunLimit = 5;

} // namespace Wire
