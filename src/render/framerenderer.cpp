#include "render/framerenderer.h"

FrameRenderer::FrameRenderer(Deliverable program)
    : canvasImage(canvasStyle(program).canvasSize)
    , ownShown(canvasStyle(program).canvasSize)
    , canvasPainter(&canvasImage)
    , canvas(&canvasPainter, canvasStyle(program))
{
    canvas.drawBackground();
    // Until the first frame ends, the shown image is the bare background rather than
    // uninitialised memory.
    QPainter(&ownShown).drawPixmap(0, 0, canvasImage);
}

FrameRenderer::~FrameRenderer() = default;

StreamDecoder::FrameMode FrameRenderer::frameMode() const
{
    return style().keepsFrames ? StreamDecoder::FrameMode::Collect
                               : StreamDecoder::FrameMode::PaintOnly;
}

void FrameRenderer::pointDecoded(qint16 x, qint16 y, int column)
{
    canvas.paintPoint(x, y, column);
}

void FrameRenderer::flagByteDecoded(quint8 byte, int index)
{
    canvas.paintFlagByte(byte, index);
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

// The shown image holds the last frame: it differs from this one only where either painted.
void FrameRenderer::frameEnded(const QList<short> &frame)
{
    if (style().repaintTile > 0) {
        endFrameInTiles(frame);
        return;
    }
    const QVector<QRect> &painted = canvas.painted();
    QRect changed;
    {
        QPainter painter(shown);
        for (const QVector<QRect> *rects : {&painted, &qAsConst(paintedLastFrame)}) {
            for (const QRect &rect : *rects) {
                painter.drawPixmap(rect.topLeft(), canvasImage, rect);
                changed |= rect;
            }
        }
    }
    paintedLastFrame = painted;
    if (frameShown)
        frameShown(frame, changed);
    canvas.drawBackground();
}

// A frame's places (some 110 squares and columns of numbers) are spread over the whole canvas, so
// one rectangle around them is the whole of it, and they are too many and too small to repaint
// or copy one by one: each copy and each rectangle of a repaint has a cost of its own. The tiles
// that hold them, each row's neighbours merged, cost less than either.
void FrameRenderer::endFrameInTiles(const QList<short> &frame)
{
    const int tile = style().repaintTile;
    const QRect whole(QPoint(0, 0), style().canvasSize);
    const int columns = (whole.width() + tile - 1) / tile;
    const int rows = (whole.height() + tile - 1) / tile;
    tileMarks.fill(0, columns * rows);
    for (const QRect &rect : canvas.painted()) {
        for (int row = rect.top() / tile; row <= rect.bottom() / tile; ++row) {
            for (int column = rect.left() / tile; column <= rect.right() / tile; ++column)
                tileMarks[row * columns + column] |= 1;
        }
    }
    for (const QRect &run : qAsConst(paintedLastFrame)) {
        for (int column = run.left() / tile; column <= run.right() / tile; ++column)
            tileMarks[run.top() / tile * columns + column] |= 2;
    }
    // The runs of tiles that hold any of the marks, top to bottom and left to right in each row.
    auto runsOf = [&](quint8 marks) {
        QVector<QRect> runs;
        for (int row = 0; row < rows; ++row) {
            const quint8 *mark = tileMarks.constData() + row * columns;
            for (int column = 0; column < columns;) {
                if (!(mark[column] & marks)) {
                    ++column;
                    continue;
                }
                const int first = column;
                while (column < columns && (mark[column] & marks))
                    ++column;
                runs.append(QRect(first * tile, row * tile, (column - first) * tile, tile) & whole);
            }
        }
        return runs;
    };
    const QVector<QRect> changed = runsOf(1 | 2);
    {
        QPainter painter(shown);
        for (const QRect &run : changed)
            painter.drawPixmap(run.topLeft(), canvasImage, run);
    }
    paintedLastFrame = runsOf(1);
    if (frameShown) {
        // One band per row of tiles, sorted as setRects wants.
        QRegion region;
        region.setRects(changed.constData(), changed.size());
        frameShown(frame, region);
    }
    canvas.drawBackground(paintedLastFrame);
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

QImage renderFrame(const QByteArray &moduleBytes, Deliverable program, int index)
{
    FrameRenderer renderer(program);
    if (index < 0) {
        OneFrame counter(renderer, -1);
        StreamDecoder(&counter, renderer.frameMode())
            .decode(moduleBytes.constData(), moduleBytes.size());
        index = counter.ended - 1;
        if (index < 0)
            return QImage();
    }
    OneFrame one(renderer, index);
    StreamDecoder decoder(&one, renderer.frameMode());
    // In pieces, so that an early frame of a long stream does not wait for the rest of it.
    constexpr qsizetype piece = 65536;
    for (qsizetype at = 0; at < moduleBytes.size() && one.image.isNull(); at += piece)
        decoder.decode(moduleBytes.constData() + at, qMin(piece, moduleBytes.size() - at));
    return one.image;
}
