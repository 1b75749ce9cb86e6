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
#include <QVarLengthArray>
#include <QVector>

#include <functional>

// A program's frames as its window shows them: the decoder's sink that paints each point and flag
// byte on the canvas, and the frame end that brings the shown image up to date where the frame
// changed it and tells the window where that was; the canvas is cleared for the next frame when
// that frame starts to paint.
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

    // From now on the shown image is `target` (a pixmap that already holds it, such as the
    // label's own), which the frame end trades with the canvas, so that whoever shows it keeps
    // the same pixmap and repaints only what changed.
    void showIn(QPixmap *target);
    const QPixmap &shownPixmap() const { return *shown; }
    // The canvas as the next frame finds it.
    const QImage &canvasImage();

    // At every frame end, once the shown image holds the frame and before the canvas is cleared:
    // the frame's samples and where the shown image changed, in canvas pixels, in pieces coarse
    // enough that repainting them costs less than repainting the whole.
    std::function<void(const QList<short> &frame, const QRegion &changed)> frameShown;

private:
    QRegion changedRegion(const QVector<QRect> &painted);
    void catchUp();

    // An image rather than a pixmap, so that the canvas can stamp numbers into its pixels; it
    // trades places with the shown pixmap without a copy.
    QImage canvas_;
    QPixmap ownShown;
    QPixmap *shown = &ownShown;
    QPainter canvasPainter;
    Canvas canvas;
    // Where the frame on show was painted, and where the one before it was, which the canvas
    // still holds until the background is put back there (when backgroundDue).
    QVector<QRect> paintedShown;
    QVector<QRect> paintedOnCanvas;
    bool backgroundDue = false;
    // The flag bytes that came after the frame marker, painted once the background is back.
    struct HeldFlagByte
    {
        quint8 byte;
        int index;
    };
    QVarLengthArray<HeldFlagByte, 4> heldFlags;
    // Per tile: whether it holds a place that changed.
    QVector<bool> tileMarks;
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
