#include "render/canvas.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// One frame as the module sends it: 27 points spread over the target, then four flag bytes.
struct FramePoint
{
    qint16 x;
    qint16 y;
};

std::vector<FramePoint> framePoints()
{
    std::vector<FramePoint> points;
    for (int i = 0; i < 27; ++i)
        points.push_back({qint16(-195 + 15 * i), qint16(120 + (i * 37) % 110)});
    return points;
}

const quint8 frameFlags[4] = {0xA5, 0x5A, 0xFF, 0x81};

// Paints one frame, copies it to the shown image and redraws the background, as a frame end does.
void paintFrame(benchmark::State &state, Deliverable d, Canvas::Painting painting)
{
    const CanvasStyle &style = canvasStyle(d);
    QPixmap canvasPixmap(style.canvasSize);
    QPixmap displayPixmap(style.canvasSize);
    QPainter canvasPainter(&canvasPixmap);
    Canvas canvas(&canvasPainter, style, painting);
    canvas.drawBackground();
    const std::vector<FramePoint> points = framePoints();

    for (auto _ : state) {
        int n = 0;
        for (const FramePoint &p : points)
            canvas.paintPoint(p.x, p.y, n++);
        for (int k = 0; k < 4; ++k)
            canvas.paintFlagByte(frameFlags[k], k);
        QPainter displayPainter(&displayPixmap);
        canvas.copyTo(&displayPainter);
        canvas.drawBackground();
        displayPainter.end();
    }
    state.SetItemsProcessed(state.iterations());
}

void paintFrameViewer(benchmark::State &state)
{
    paintFrame(state, Deliverable::Viewer, Canvas::Painting::Cached);
}
void paintFrameCam(benchmark::State &state)
{
    paintFrame(state, Deliverable::Cam, Canvas::Painting::Cached);
}
void paintFrameQc(benchmark::State &state)
{
    paintFrame(state, Deliverable::Qc, Canvas::Painting::Cached);
}
void paintFrameLite(benchmark::State &state)
{
    paintFrame(state, Deliverable::Lite, Canvas::Painting::Cached);
}
// The plain painter calls, for comparison.
void paintFrameViewerDirect(benchmark::State &state)
{
    paintFrame(state, Deliverable::Viewer, Canvas::Painting::Direct);
}
void paintFrameQcDirect(benchmark::State &state)
{
    paintFrame(state, Deliverable::Qc, Canvas::Painting::Direct);
}

} // namespace

#define FRAME_BENCHMARK(name) \
    BENCHMARK(name)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true)
FRAME_BENCHMARK(paintFrameViewer);
FRAME_BENCHMARK(paintFrameCam);
FRAME_BENCHMARK(paintFrameQc);
FRAME_BENCHMARK(paintFrameLite);
FRAME_BENCHMARK(paintFrameViewerDirect);
FRAME_BENCHMARK(paintFrameQcDirect);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
