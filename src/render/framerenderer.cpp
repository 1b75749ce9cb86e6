#include "render/framerenderer.h"

namespace {

// An image in the format of the platform's opaque pixmaps, which a pixmap takes over as it is.
QImage pixmapLikeImage(const QSize &size)
{
    return QImage(size, QPixmap(1, 1).toImage().format());
}

} // namespace

FrameRenderer::FrameRenderer(Deliverable program)
    : pixels(pixmapLikeImage(canvasStyle(program).canvasSize))
    , canvasImage_(pixels.bits(), pixels.width(), pixels.height(), pixels.bytesPerLine(),
                   pixels.format())
    , canvasPainter(&canvasImage_)
    , canvas(&canvasPainter, canvasStyle(program))
{
    canvas.drawBackground();
    canvas.show();
    ownShown = QPixmap::fromImage(pixels, Qt::NoFormatConversion);
    sharesPixels = ownShown.toImage().constBits() == pixels.constBits();
}

FrameRenderer::~FrameRenderer() = default;

StreamDecoder::FrameMode FrameRenderer::frameMode() const
{
    return style().keepsFrames ? StreamDecoder::FrameMode::Collect
                               : StreamDecoder::FrameMode::PaintOnly;
}

void FrameRenderer::pointDecoded(qint16 x, qint16 y, int column)
{
    if (!framesToSkip)
        canvas.paintPoint(x, y, column);
}

void FrameRenderer::flagByteDecoded(quint8 byte, int index)
{
    if (!framesToSkip)
        canvas.paintFlagByte(byte, index);
}

void FrameRenderer::showIn(QPixmap *target)
{
    Q_ASSERT(target && target->size() == ownShown.size());
    *target = *shown;
    shown = target;
}

// The canvas shows the frame where it changed, and the next frame starts on the bare background.
void FrameRenderer::frameEnded(const QList<short> &frame)
{
    if (framesToSkip) {
        --framesToSkip;
        if (frameShown)
            frameShown(frame, QRegion());
        canvas.drawBackground();
        return;
    }
    const QRegion changed = canvas.show();
    if (!sharesPixels)
        *shown = QPixmap::fromImage(canvasImage_.copy(), Qt::NoFormatConversion);
    if (frameShown)
        frameShown(frame, changed);
    canvas.drawBackground();
}

namespace {

// Passes on to the renderer only the frame wanted: the flag bytes after the marker before it, its
// points and its end, which is all the window's canvas holds when that frame ends.
class OneFrame : public DecoderSink
{
public:
    OneFrame(FrameRenderer &renderer, int index)
        : renderer(renderer)
        , index(index)
    {
    }
    void pointDecoded(qint16 x, qint16 y, int column) override
    {
        if (ended == index)
            renderer.pointDecoded(x, y, column);
    }
    void flagByteDecoded(quint8 byte, int k) override
    {
        if (ended == index)
            renderer.flagByteDecoded(byte, k);
    }
    void frameEnded(const QList<short> &frame) override
    {
        if (ended == index) {
            renderer.frameEnded(frame);
            // A copy: the shown pixels change with the next frame.
            image = renderer.shownPixmap().toImage().copy();
        }
        ++ended;
    }

    int ended = 0;
    QImage image;

private:
    FrameRenderer &renderer;
    const int index;
};

} // namespace

QImage renderFrame(const ModuleByteStream &stream, Deliverable program, int index)
{
    FrameRenderer renderer(program);
    if (index < 0) {
        OneFrame counter(renderer, -1);
        StreamDecoder decoder(&counter, renderer.frameMode());
        if (!stream([&](const char *data, qsizetype size) {
                decoder.decode(data, size);
                return true;
            }))
            return QImage();
        index = counter.ended - 1;
        if (index < 0)
            return QImage();
    }
    OneFrame one(renderer, index);
    StreamDecoder decoder(&one, renderer.frameMode());
    // In pieces, so that an early frame of a long stream does not wait for the rest of it.
    constexpr qsizetype piece = 65536;
    stream([&](const char *data, qsizetype size) {
        for (qsizetype at = 0; at < size && one.image.isNull(); at += piece)
            decoder.decode(data + at, qMin(piece, size - at));
        return one.image.isNull();
    });
    return one.image;
}

QImage renderFrame(const QByteArray &moduleBytes, Deliverable program, int index)
{
    return renderFrame(
        [&](const std::function<bool(const char *, qsizetype)> &take) {
            take(moduleBytes.constData(), moduleBytes.size());
            return true;
        },
        program, index);
}
