#include "render/framerenderer.h"

namespace {

// An image in the format of the platform's opaque pixmaps, which a pixmap takes over as it is.
QImage pixmapLikeImage(const QSize &size)
{
    return QImage(size, QPixmap(1, 1).toImage().format());
}

} // namespace

FrameRenderer::FrameRenderer(Deliverable program)
    : canvas_(pixmapLikeImage(canvasStyle(program).canvasSize))
    , ownShown(canvasStyle(program).canvasSize)
    , canvasPainter(&canvas_)
    , canvas(&canvasPainter, canvasStyle(program))
{
    canvas.drawBackground();
    // Until the first frame ends, the shown image is the bare background rather than
    // uninitialised memory.
    QPainter(&ownShown).drawImage(0, 0, canvas_);
}

FrameRenderer::~FrameRenderer() = default;

StreamDecoder::FrameMode FrameRenderer::frameMode() const
{
    return style().keepsFrames ? StreamDecoder::FrameMode::Collect
                               : StreamDecoder::FrameMode::PaintOnly;
}

void FrameRenderer::pointDecoded(qint16 x, qint16 y, int column)
{
    catchUp();
    canvas.paintPoint(x, y, column);
}

void FrameRenderer::flagByteDecoded(quint8 byte, int index)
{
    // The flag bytes follow the frame marker in the same read: painted now, they would bring the
    // background's put-back with them.
    if (backgroundDue && heldFlags.size() < heldFlags.capacity()) {
        heldFlags.append({byte, index});
        return;
    }
    catchUp();
    canvas.paintFlagByte(byte, index);
}

// The background goes back where the frame before last painted, and the flag bytes after the
// frame marker are painted, only once the next frame's points come, a wake-up of the port later
// (or when the canvas is wanted): the canvas lines they write are then still in the caches when
// the points' squares and numbers land on them (a frame paints much where the one before last
// did), rather than read again from memory.
void FrameRenderer::catchUp()
{
    if (!backgroundDue)
        return;
    backgroundDue = false;
    canvas.drawBackground(paintedOnCanvas);
    for (const HeldFlagByte &held : qAsConst(heldFlags))
        canvas.paintFlagByte(held.byte, held.index);
    heldFlags.clear();
}

const QImage &FrameRenderer::canvasImage()
{
    catchUp();
    return canvas_;
}

void FrameRenderer::showIn(QPixmap *target)
{
    Q_ASSERT(target && target->size() == ownShown.size());
    if (target->cacheKey() != ownShown.cacheKey())
        QPainter(target).drawPixmap(0, 0, *shown);
    shown = target;
    // Kept, the own image would share its data with the target and make the first frame end
    // copy all of it.
    ownShown = QPixmap();
}

// The shown image holds the last frame. The canvas now holds this one, so the two trade places:
// no copy, and the image given back to be painted next differs from the bare background only
// where the last frame painted, which is put back when the next frame starts to paint.
void FrameRenderer::frameEnded(const QList<short> &frame)
{
    catchUp();
    const QVector<QRect> painted = canvas.painted();
    const QRegion changed = changedRegion(painted);
    // A painter on the image while it trades places would go on painting the shown one. The
    // pixmap takes over the image's pixels, and the image those of the pixmap it replaces.
    canvasPainter.end();
    QPixmap finished = QPixmap::fromImage(std::move(canvas_), Qt::NoFormatConversion);
    shown->swap(finished);
    canvas_ = finished.toImage();
    finished = QPixmap();
    canvasPainter.begin(&canvas_);
    if (frameShown)
        frameShown(frame, changed);
    paintedOnCanvas = paintedShown;
    paintedShown = painted;
    backgroundDue = true;
}

// Where the shown image changed: where this frame or the last one painted. With a tile size, the
// tiles that hold those places, each row's neighbours merged: a frame's places (some 110
// squares and numbers) are spread over the whole canvas, so one rectangle around them is the
// whole of it, and repainting them one by one costs more for each rectangle than it saves.
QRegion FrameRenderer::changedRegion(const QVector<QRect> &painted)
{
    const int tile = style().repaintTile;
    if (tile <= 0) {
        QRect bounds;
        for (const QVector<QRect> *rects : {&painted, &qAsConst(paintedShown)}) {
            for (const QRect &rect : *rects)
                bounds |= rect;
        }
        return bounds;
    }
    const QRect whole(QPoint(0, 0), style().canvasSize);
    const int columns = (whole.width() + tile - 1) / tile;
    const int rows = (whole.height() + tile - 1) / tile;
    tileMarks.fill(false, columns * rows);
    for (const QVector<QRect> *rects : {&painted, &qAsConst(paintedShown)}) {
        for (const QRect &rect : *rects) {
            for (int row = rect.top() / tile; row <= rect.bottom() / tile; ++row) {
                for (int column = rect.left() / tile; column <= rect.right() / tile; ++column)
                    tileMarks[row * columns + column] = true;
            }
        }
    }
    // One band per row of tiles, sorted top to bottom and left to right, as setRects wants.
    QVector<QRect> runs;
    for (int row = 0; row < rows; ++row) {
        const bool *marked = tileMarks.constData() + row * columns;
        for (int column = 0; column < columns;) {
            if (!marked[column]) {
                ++column;
                continue;
            }
            const int first = column;
            while (column < columns && marked[column])
                ++column;
            runs.append(QRect(first * tile, row * tile, (column - first) * tile, tile) & whole);
        }
    }
    QRegion region;
    region.setRects(runs.constData(), runs.size());
    return region;
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
            image = renderer.shownPixmap().toImage();
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
