// A frame on the canvas alone: its flags and 27 points painted, the canvas shown and copied where
// it changed into a shown image, for each program and for both ways of painting.

#include "render/canvas.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

namespace {

struct FramePoint
{
    qint16 x;
    qint16 y;
};

struct Frame
{
    QVector<FramePoint> points;
    quint8 flags[4];
};

// Frames of 27 points spread over the target with a little noise, as a module looking at its
// target sends them: the numbers change from frame to frame.
QVector<Frame> moduleFrames()
{
    QRandomGenerator random(7);
    QVector<Frame> frames;
    for (int f = 0; f < 64; ++f) {
        Frame frame;
        for (int i = 0; i < 27; ++i) {
            frame.points.append({qint16(-195 + 15 * i + random.bounded(-3, 4)),
                                 qint16(120 + (i * 37) % 110 + random.bounded(-3, 4))});
        }
        const quint8 flags[4] = {0xA5, 0x5A, 0xFF, 0x81};
        for (int k = 0; k < 4; ++k)
            frame.flags[k] = flags[k] ^ quint8(random.bounded(2));
        frames.append(frame);
    }
    return frames;
}

void paint(Canvas &canvas, const Frame &frame)
{
    // After a frame marker come the flag bytes, then the frame's points.
    for (int k = 0; k < 4; ++k)
        canvas.paintFlagByte(frame.flags[k], k);
    int n = 0;
    for (const FramePoint &p : frame.points)
        canvas.paintPoint(p.x, p.y, n++);
}

// Paints one frame and brings the shown image up to date, as a frame end does: the fast way only
// where the canvas changed, the plain way whole.
void paintFrame(benchmark::State &state, Deliverable d, Canvas::Painting painting)
{
    const CanvasStyle &style = canvasStyle(d);
    // An image, as the frame renderer's canvas is: the canvas writes some pixels itself there.
    QImage canvasImage(style.canvasSize, QImage::Format_RGB32);
    QPixmap displayPixmap(style.canvasSize);
    QPainter canvasPainter(&canvasImage);
    Canvas canvas(&canvasPainter, style, painting);
    canvas.drawBackground();
    const QVector<Frame> frames = moduleFrames();

    int f = 0;
    for (auto _ : state) {
        paint(canvas, frames.at(f++ % frames.size()));
        QPainter displayPainter(&displayPixmap);
        const QRegion changed = canvas.show();
        if (painting == Canvas::Painting::Plain) {
            displayPainter.drawImage(0, 0, canvasImage);
        } else {
            for (const QRect &rect : changed)
                displayPainter.drawImage(rect.topLeft(), canvasImage, rect);
        }
        displayPainter.end();
        canvas.drawBackground();
    }
}

void paintFrameViewer(benchmark::State &state)
{
    paintFrame(state, Deliverable::Viewer, Canvas::Painting::Fast);
}
void paintFrameCam(benchmark::State &state)
{
    paintFrame(state, Deliverable::Cam, Canvas::Painting::Fast);
}
void paintFrameQc(benchmark::State &state)
{
    paintFrame(state, Deliverable::Qc, Canvas::Painting::Fast);
}
void paintFrameLite(benchmark::State &state)
{
    paintFrame(state, Deliverable::Lite, Canvas::Painting::Fast);
}
// The plain painter calls, for comparison.
void paintFrameViewerPlain(benchmark::State &state)
{
    paintFrame(state, Deliverable::Viewer, Canvas::Painting::Plain);
}
void paintFrameQcPlain(benchmark::State &state)
{
    paintFrame(state, Deliverable::Qc, Canvas::Painting::Plain);
}

} // namespace

#define FRAME_BENCHMARK(name) \
    BENCHMARK(name)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true)
FRAME_BENCHMARK(paintFrameViewer);
FRAME_BENCHMARK(paintFrameCam);
FRAME_BENCHMARK(paintFrameQc);
FRAME_BENCHMARK(paintFrameLite);
FRAME_BENCHMARK(paintFrameViewerPlain);
FRAME_BENCHMARK(paintFrameQcPlain);
