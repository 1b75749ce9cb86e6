// A frame from the module's bytes to the screen's backing store, as the windows show it (a label in
// a scroll area; envviewer_lite's own paint) but without the rest of the window, so that it also
// runs under valgrind (coldframes.h): the window benchmarks link OpenCV, whose libraries use an
// instruction that valgrind 3.19 cannot run.

#include "coldframes.h"
#include "render/framerenderer.h"

#include <QApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>

#include <benchmark/benchmark.h>

#include <memory>

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
    showFramesWithColdCaches(state, decoder);
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
