// Feeds arbitrary bytes to the stream decoder, split into reads in arbitrary ways, and checks what
// must hold for any input: frames of even length within the bound, columns counting up from 0 in
// every frame, flag bytes numbered 0 to 3 after a marker, counters that add up, state in range,
// the same result however the bytes were split, and as many frame ends foreseen in each read as
// it brings.
//
// Input: byte 0 chooses the frame bound (small ones are reached by short inputs), bytes 1 to 4 seed
// the split sizes, the remaining bytes are the stream.

#include "link/streamdecoder.h"
#include "link/wireformat.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "decoder invariant broken: %s\n", what);
        std::abort();
    }
}

// Checks every report as it comes and folds it into a fingerprint of the whole run.
class CheckingSink : public DecoderSink
{
public:
    CheckingSink(StreamDecoder::FrameMode mode, int bound)
        : mode(mode)
        , bound(bound)
    {
    }

    void pointDecoded(qint16 x, qint16 y, int column) override
    {
        if (mode == StreamDecoder::FrameMode::Collect)
            check(column == pointsInFrame, "column counts the frame's points");
        else
            check(column == 0, "no columns without a frame list");
        check(quint16(y) != Wire::noReading, "y 0x0400 is never delivered");
        ++pointsInFrame;
        ++points;
        mix(1, quint16(x), quint16(y));
    }
    void flagByteDecoded(quint8 byte, int index) override
    {
        check(index == flagsAfterMarker, "flag bytes numbered in order");
        check(index >= 0 && index <= 3, "flag index 0 to 3");
        ++flagsAfterMarker;
        mix(2, byte, quint32(index));
    }
    void frameEnded(const QList<short> &frame) override
    {
        check(frame.size() % 2 == 0, "frame length even");
        check(frame.size() <= bound, "frame within the bound");
        if (mode == StreamDecoder::FrameMode::Collect)
            check(frame.size() == 2 * pointsInFrame, "frame holds every point of the frame");
        else
            check(frame.isEmpty(), "no frame list kept");
        samples += quint64(frame.size());
        largest = qMax(largest, frame.size());
        ++frames;
        pointsInFrame = 0;
        flagsAfterMarker = 0;
        mix(3, quint32(frame.size()), 0);
    }

    StreamDecoder::FrameMode mode;
    int bound;
    int pointsInFrame = 0;
    int flagsAfterMarker = 0;
    quint64 points = 0;
    quint64 samples = 0;
    int largest = 0;
    quint64 frames = 0;
    quint64 fingerprint = 1469598103934665603ull;

private:
    void mix(quint32 kind, quint32 a, quint32 b)
    {
        for (quint32 v : {kind, a, b}) {
            fingerprint ^= v;
            fingerprint *= 1099511628211ull;
        }
    }
};

struct Run
{
    Run(StreamDecoder::FrameMode mode, int bound)
        : sink(mode, bound)
        , decoder(&sink, mode, bound)
    {
    }
    CheckingSink sink;
    StreamDecoder decoder;
};

void checkFinal(const Run &run, quint64 bytes)
{
    const StreamDecoder &d = run.decoder;
    const DecoderStats &s = d.stats();
    check(s.bytes == bytes, "every byte counted once");
    check(s.points == run.sink.points, "points counted as delivered");
    check(s.framesByMarker + s.framesBySync == run.sink.frames, "frame ends counted");
    check(d.frameSamples().size() == 2 * d.pointCount(), "frame list and column agree");
    check(d.frameSamples().size() <= d.frameBound(), "frame list bounded");
    // Points are discarded only when a frame is full.
    check(s.overflow == 0 || qMax(run.sink.largest, d.frameSamples().size()) == d.frameBound(),
          "points discarded only at the bound");
    if (run.sink.mode == StreamDecoder::FrameMode::Collect)
        check(run.sink.samples + quint64(d.frameSamples().size()) == 2 * s.points,
              "every delivered point is in exactly one frame");
    else
        check(d.frameSamples().isEmpty() && d.pointCount() == 0, "no frame list kept");
    check(d.syncCount() >= 0 && d.syncCount() <= 6, "sync count in range");
    check(d.flagByteCount() >= 0 && d.flagByteCount() <= 4, "flag count in range");
    switch (d.decodeState()) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 400:
    case 6:
    case 7:
    case 701:
    case 1000:
        break;
    default:
        check(false, "state is one of the table's");
    }
}

bool sameState(const StreamDecoder &a, const StreamDecoder &b)
{
    return a.decodeState() == b.decodeState() && a.syncCount() == b.syncCount()
        && a.pointX() == b.pointX() && a.pointY() == b.pointY()
        && a.flagByteCount() == b.flagByteCount() && a.pointCount() == b.pointCount()
        && a.frameSamples() == b.frameSamples()
        && std::memcmp(&a.stats(), &b.stats(), sizeof(DecoderStats)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const int bound = data[0] < 0x80 ? data[0] & ~1 : StreamDecoder::maxFrameSamples;
    quint32 seed;
    std::memcpy(&seed, data + 1, sizeof seed);
    const char *stream = reinterpret_cast<const char *>(data + 5);
    const qsizetype length = qsizetype(size - 5);
    const quint64 total = quint64(length);

    Run whole(StreamDecoder::FrameMode::Collect, bound);
    Run split(StreamDecoder::FrameMode::Collect, bound);
    Run paintOnly(StreamDecoder::FrameMode::PaintOnly, bound);

    whole.decoder.decode(stream, length);
    paintOnly.decoder.decode(stream, length);
    qsizetype at = 0;
    while (at < length) {
        seed = seed * 1664525u + 1013904223u; // the split sizes follow the input's seed
        const qsizetype n = qMin<qsizetype>(length - at, (seed >> 24) % 9);
        const quint64 framesBefore = split.sink.frames;
        const int foreseen = split.decoder.frameEndsIn(stream + at, n);
        if (n == 1 && (seed & 0x100))
            split.decoder.decodeByte(quint8(stream[at]));
        else
            split.decoder.decode(stream + at, n);
        check(split.sink.frames - framesBefore == quint64(foreseen), "frame ends foreseen");
        at += n;
    }

    checkFinal(whole, total);
    checkFinal(split, total);
    checkFinal(paintOnly, total);
    check(whole.sink.fingerprint == split.sink.fingerprint, "split into reads, same reports");
    check(sameState(whole.decoder, split.decoder), "split into reads, same state");
    // Without a frame list the state machine runs the same: same frame ends and flags, and the
    // same points (only their columns are missing) unless the frame bound discarded some.
    check(paintOnly.sink.frames == whole.sink.frames, "same frame ends without a frame list");
    check(paintOnly.decoder.decodeState() == whole.decoder.decodeState(),
          "same state without a frame list");
    check(paintOnly.decoder.stats().overflow == 0, "nothing discarded without a frame list");
    check(paintOnly.decoder.stats().points
              == whole.decoder.stats().points + whole.decoder.stats().overflow,
          "same points without a frame list");
    return 0;
}
