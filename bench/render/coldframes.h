#pragma once

// A feed's frames shown one after another as at the line rate, where a window sleeps some 11 ms
// between two frames while other processes run: before each frame the caches are filled with
// other data, so that the frame's images come from memory as they do there. Under
//   valgrind --tool=callgrind --cache-sim=yes --collect-atstart=no
// only the frames are counted.

#include "link/streamdecoder.h"
#include "link/streamencoder.h"
#include "support/linefeeds.h"

#include <QCoreApplication>
#include <QVector>

#include <benchmark/benchmark.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <vector>

// The benchmark's argument picks the feed: 0 steady, 1 scattered.
inline void showFramesWithColdCaches(benchmark::State &state, StreamDecoder &decoder)
{
    const LineFeed kind = state.range(0) == 0 ? LineFeed::Steady : LineFeed::Scattered;
    state.SetLabel(lineFeedName(kind));
    LineFeedFrames feed(kind, 7);
    QVector<QByteArray> frames;
    StreamEncoder encoder;
    encoder.appendSync(2);
    for (int f = 0; f < 64; ++f) {
        encoder.appendFrame(feed.next(), 0xA55AFF81u ^ quint32(f));
        frames.append(encoder.takeBytes());
    }
    // As a window that has shown the feed for a while.
    for (int round = 0; round < 2; ++round) {
        for (const QByteArray &bytes : qAsConst(frames)) {
            decoder.decode(bytes.constData(), bytes.size());
            QCoreApplication::processEvents();
        }
    }
    // Larger than the machine's last-level cache.
    std::vector<char> other(64 << 20, 1);
    int f = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t at = 0; at < other.size(); at += 64)
            other[at] = char(other[at] + 1);
        state.ResumeTiming();
        CALLGRIND_TOGGLE_COLLECT;
        const QByteArray &bytes = frames.at(f++ % frames.size());
        decoder.decode(bytes.constData(), bytes.size());
        QCoreApplication::processEvents();
        CALLGRIND_TOGGLE_COLLECT;
    }
    benchmark::DoNotOptimize(other.data());
}
