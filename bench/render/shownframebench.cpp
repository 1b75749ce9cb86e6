// A frame from the module's bytes to the screen's backing store, as the windows show it (a label in
// a scroll area; envviewer_lite's own paint) but without the rest of the window, so that it also
// runs under valgrind (the window benchmarks link OpenCV, whose libraries use an instruction that
// valgrind 3.19 cannot run). Before each frame the caches are filled with other data, as the rest
// of the machine does between two frames at the line rate. Under
//   valgrind --tool=callgrind --cache-sim=yes --collect-atstart=no bench_shown_frame
// only the frames are counted: instructions and last-level cache misses, the same from run to run.

#include "link/streamdecoder.h"
#include "link/streamencoder.h"
#include "render/framerenderer.h"
#include "support/linefeeds.h"

#include <QApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>

#include <benchmark/benchmark.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <memory>
#include <vector>

namespace {

// envviewer_lite's way: the window paints the shown image itself.
class ImageWidget : public QWidget
{
public:
    explicit ImageWidget(const FrameRenderer &renderer)
        : renderer(renderer)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        resize(renderer.style().canvasSize);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).drawPixmap(0, 0, renderer.shownPixmap());
    }

private:
    const FrameRenderer &renderer;
};

void showFrames(benchmark::State &state, Deliverable program)
{
    const LineFeed kind = state.range(0) == 0 ? LineFeed::Steady : LineFeed::Scattered;
    state.SetLabel(lineFeedName(kind));
    FrameRenderer renderer(program);
    std::unique_ptr<QWidget> shown;
    if (program == Deliverable::Lite) {
        auto *widget = new ImageWidget(renderer);
        shown.reset(widget);
        renderer.frameShown
            = [widget](const QList<short> &, const QRegion &changed) { widget->update(changed); };
    } else {
        auto *area = new QScrollArea;
        shown.reset(area);
        area->resize(1100, 700);
        auto *label = new QLabel;
        label->setPixmap(renderer.shownPixmap());
        label->setAttribute(Qt::WA_OpaquePaintEvent);
        area->setWidget(label);
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        renderer.showIn(const_cast<QPixmap *>(label->pixmap()));
        QT_WARNING_POP
        renderer.frameShown
            = [label](const QList<short> &, const QRegion &changed) { label->update(changed); };
    }
    shown->show();

    StreamDecoder decoder(&renderer, renderer.frameMode());
    LineFeedFrames feed(kind, 7);
    StreamEncoder encoder;
    encoder.appendSync(2);
    QVector<QByteArray> frames;
    for (int f = 0; f < 64; ++f) {
        encoder.appendFrame(feed.next(), 0xA55AFF81u ^ quint32(f));
        frames.append(encoder.takeBytes());
    }
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

void showFramesViewer(benchmark::State &state)
{
    showFrames(state, Deliverable::Viewer);
}
void showFramesLite(benchmark::State &state)
{
    showFrames(state, Deliverable::Lite);
}

} // namespace

BENCHMARK(showFramesViewer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(showFramesLite)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
