#pragma once

#include "common/deliverable.h"
#include "link/streamdecoder.h"
#include "render/canvas.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <QRegion>
#include <QVector>

#include <functional>

// A program's frames as its window shows them: the decoder's sink that paints each point and flag
// byte of a frame on the canvas and, at the frame end, shows the canvas and tells the window where
// it changed. The canvas is the shown image itself: a frame's painting reaches its pixels only
// at the frame end, so that the shown image holds a whole frame whenever the window paints it.
class FrameRenderer : public DecoderSink
{
public:
    explicit FrameRenderer(Deliverable program);
    ~FrameRenderer() override;
    FrameRenderer(const FrameRenderer &) = delete;
    FrameRenderer &operator=(const FrameRenderer &) = delete;

    const CanvasStyle &style() const { return canvas.style(); }
    // How the program's decoder runs: it keeps the frame's samples only for a program that hands
    // them on.
    StreamDecoder::FrameMode frameMode() const;

    void pointDecoded(qint16 x, qint16 y, int column) override;
    void flagByteDecoded(quint8 byte, int index) override;
    void frameEnded(const QList<short> &frame) override;

    // The next `count` frames are neither painted nor shown, for a later one replaces them before
    // the screen could show them; their ends are reported all the same.
    void skipFrames(int count) { framesToSkip = qMax(0, count); }

    // From now on the shown image is `target` (such as the label's own pixmap), which is made to
    // show the canvas' pixels, so that whoever shows it keeps the same pixmap and repaints only
    // what changed.
    void showIn(QPixmap *target);
    // The last frame; its pixels change at every frame end.
    const QPixmap &shownPixmap() const { return *shown; }
    // The canvas as the next frame finds it: the bare background and what came since the last
    // frame end.
    QImage canvasImage() { return canvas.frameSoFar(); }

    // At every frame end, once the shown image holds the frame: the frame's samples and where
    // the shown image changed, in canvas pixels, in pieces coarse enough that repainting them
    // costs less than repainting the whole; nowhere for a frame skipped.
    std::function<void(const QList<short> &frame, const QRegion &changed)> frameShown;

private:
    // The canvas' pixels, which the shown pixmap shares; the canvas and its painter write them
    // through an image of their own over the same memory, which therefore never detaches.
    QImage pixels;
    QImage canvasImage_;
    QPainter canvasPainter;
    Canvas canvas;
    QPixmap ownShown;
    QPixmap *shown = &ownShown;
    // Whether the platform's pixmaps show the pixels themselves; where not, each frame end hands
    // the shown pixmap a copy.
    bool sharesPixels = false;
    int framesToSkip = 0;
};

// The frame `index` (0-based; -1 for the last complete one) of the module's byte stream, painted
// as the program's window shows it; a null image when the stream has no such frame. Needs a
// QGuiApplication.
QImage renderFrame(const QByteArray &moduleBytes, Deliverable program, int index = -1);

// Hands the module's bytes from their start, piece by piece, to `take`, until their end or until
// `take` returns false; false when they cannot be read.
using ModuleByteStream
    = std::function<bool(const std::function<bool(const char *, qsizetype)> &take)>;
// The same frame of a stream too long to hold: read once to count its frames when the last is
// wanted, and once to paint the frame, so that memory stays that of one piece and one frame.
QImage renderFrame(const ModuleByteStream &stream, Deliverable program, int index = -1);
