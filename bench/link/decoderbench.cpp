// Decoder throughput on the stream a module sends: frames of 27 points, each frame opened by the
// marker and its four flag bytes and a short sync run, a single 0xCC after every point.
//
// Besides bytes per second, "x_line" is the throughput as a multiple of what a 115200 baud line
// can deliver (11,520 bytes per second).

#include "link/streamdecoder.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QRandomGenerator>

namespace {

constexpr double lineBytesPerSecond = 11520.0;
constexpr int pointsPerFrame = 27;
constexpr int readSize = 4096;

QByteArray moduleStream(int frames)
{
    QRandomGenerator random(7);
    QByteArray stream("\xCC\xCC", 2);
    for (int f = 0; f < frames; ++f) {
        stream += QByteArray::fromHex("DDDD");
        for (int k = 0; k < 4; ++k)
            stream += char(random.bounded(256) == 0xCC ? 0 : random.bounded(256));
        stream += QByteArray::fromHex("CCCC");
        for (int p = 0; p < pointsPerFrame; ++p) {
            QByteArray point;
            do {
                const auto x = quint16(qint16(random.bounded(-300, 301)));
                const auto y = quint16(qint16(random.bounded(1, 700)));
                const char bytes[] = {char(x >> 8), char(x), char(y >> 8), char(y)};
                point = QByteArray(bytes, 4);
            } while (point.contains('\xCC') || point.at(2) == 0x04);
            stream += point;
            stream += '\xCC';
        }
    }
    return stream;
}

const QByteArray &stream()
{
    static const QByteArray bytes = moduleStream(2000);
    return bytes;
}

// Stands in for the window: every point reaches a painter call, every frame is handed on as a
// copy that a listener keeps until the next one, as frameDone does.
class WindowLikeSink : public DecoderSink
{
public:
    void pointDecoded(qint16 x, qint16 y, int column) override
    {
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(y);
        benchmark::DoNotOptimize(column);
    }
    void flagByteDecoded(quint8 byte, int index) override
    {
        benchmark::DoNotOptimize(byte);
        benchmark::DoNotOptimize(index);
    }
    void frameEnded(const QList<short> &frame) override
    {
        lastFrame = frame;
        ++frames;
    }

    QList<short> lastFrame;
    long frames = 0;
};

void run(benchmark::State &state, DecoderSink *sink, StreamDecoder::FrameMode mode)
{
    const QByteArray &bytes = stream();
    StreamDecoder decoder(sink, mode);
    for (auto _ : state) {
        for (int at = 0; at < bytes.size(); at += readSize)
            decoder.decode(bytes.constData() + at, qMin(readSize, bytes.size() - at));
        benchmark::ClobberMemory();
    }
    const double total = double(state.iterations()) * bytes.size();
    state.SetBytesProcessed(int64_t(total));
    state.counters["x_line"]
        = benchmark::Counter(total / lineBytesPerSecond, benchmark::Counter::kIsRate);
    state.counters["points"] = double(decoder.stats().points) / double(state.iterations());
    if (decoder.stats().framesByMarker == 0)
        state.SkipWithError("no frames decoded");
}

// The state machine alone: no frame list, nobody listening.
void decoderAlone(benchmark::State &state)
{
    run(state, nullptr, StreamDecoder::FrameMode::PaintOnly);
}

// The state machine keeping the frame list (frameSamples), nobody listening.
void decoderWithFrameList(benchmark::State &state)
{
    run(state, nullptr, StreamDecoder::FrameMode::Collect);
}

// As in the window: frame list kept, every point and flag reported, every frame handed on.
void decoderLikeWindow(benchmark::State &state)
{
    WindowLikeSink sink;
    run(state, &sink, StreamDecoder::FrameMode::Collect);
}

} // namespace

BENCHMARK(decoderAlone);
BENCHMARK(decoderWithFrameList);
BENCHMARK(decoderLikeWindow);

BENCHMARK_MAIN();
