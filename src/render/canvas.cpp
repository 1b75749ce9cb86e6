#include "render/canvas.h"

#include <QFontMetricsF>
#include <QPixmap>
#include <QPointF>
#include <QString>
#include <QTextLayout>

#include <algorithm>

namespace {

// Distinct numbers whose layouts are kept; a stream that never ends a frame keeps raising the
// column, so the set must not grow without bound.
constexpr int maxKeptNumbers = 8192;
// Likewise for the places painted within one frame; past this many, the whole canvas counts.
constexpr int maxPaintedRects = 4096;

// A copy of the canvas pixmap the painter is on; a null image (the background then painted in
// full every frame) on any other device.
QImage imageOf(QPaintDevice *device)
{
    return device->devType() == QInternal::Pixmap ? static_cast<QPixmap *>(device)->toImage()
                                                  : QImage();
}

} // namespace

Canvas::Canvas(QPainter *painter, const CanvasStyle &style, Painting painting)
    : painter(painter)
    , canvasStyle(&style)
    , painting(painting)
{
}

void Canvas::drawBackground()
{
    drawBackground(paintedRects);
}

void Canvas::drawBackground(const QVector<QRect> &places)
{
    // The background's numbers follow the painter's font and hints; a change of either paints it
    // anew.
    if (painting == Painting::Fast && !background.isNull() && painter->font() == backgroundFont
        && painter->renderHints() == backgroundHints) {
        for (const QRect &rect : places)
            putBackBackground(rect);
        setPenAfterBackground();
    } else {
        paintBackground();
        if (painting == Painting::Fast) {
            // The scale's numbers mark where they painted; the lines are added.
            backgroundMarks = paintedRects;
            const CanvasStyle &s = *canvasStyle;
            for (int x = s.gridFirstX; x <= s.gridLastX; x += s.gridStep)
                backgroundMarks.append(QRect(x - 1, 0, 3, s.canvasSize.height() + 1));
            for (const QLine &line : s.outline)
                backgroundMarks.append(
                    QRect(line.p1(), line.p2()).normalized().adjusted(-1, -1, 1, 1));
            background = imageOf(painter->device());
            backgroundFont = painter->font();
            backgroundHints = painter->renderHints();
        }
    }
    paintedRects.clear();
}

// Away from the background's lines and numbers, its pixels are those of a white or band fill:
// filled again they need not be read from the copy, which, like the canvas, has left the caches
// since the frame before last.
void Canvas::putBackBackground(const QRect &rect)
{
    for (const QRect &mark : qAsConst(backgroundMarks)) {
        if (mark.intersects(rect)) {
            painter->drawImage(rect.topLeft(), background, rect);
            return;
        }
    }
    const CanvasStyle &s = *canvasStyle;
    int y = rect.top();
    while (y <= rect.bottom()) {
        // The band that holds y or the first below it.
        QColor colour = Qt::white;
        int end = rect.bottom();
        for (int top : s.bandTops) {
            if (y >= top && y < top + s.bandHeight) {
                colour = s.bandColor;
                end = qMin(end, top + s.bandHeight - 1);
                break;
            }
            if (top > y) {
                end = qMin(end, top - 1);
                break;
            }
        }
        painter->fillRect(QRect(QPoint(rect.left(), y), QPoint(rect.right(), end)), colour);
        y = end + 1;
    }
}

void Canvas::paintBackground()
{
    const CanvasStyle &s = *canvasStyle;
    const int w = s.canvasSize.width();
    const int h = s.canvasSize.height();

    // White everywhere, then the bands; the fast way fills each pixel once, white only between
    // the bands (they are listed top to bottom).
    int white = 0;
    if (painting == Painting::Plain)
        painter->fillRect(QRect(QPoint(0, 0), QPoint(w - 1, h - 1)), Qt::white);
    for (int top : s.bandTops) {
        if (painting == Painting::Fast && top > white)
            painter->fillRect(QRect(QPoint(0, white), QPoint(w - 1, top - 1)), Qt::white);
        painter->fillRect(QRect(QPoint(0, top), QPoint(w - 1, top + s.bandHeight - 1)),
                          s.bandColor);
        white = top + s.bandHeight;
    }
    if (painting == Painting::Fast && white < h)
        painter->fillRect(QRect(QPoint(0, white), QPoint(w - 1, h - 1)), Qt::white);

    painter->setPen(QColor(Qt::black));
    for (int x = s.gridFirstX; x <= s.gridLastX; x += s.gridStep)
        drawLine(QLine(x, 0, x, h));
    for (int k = 1; k <= s.scaleCount; ++k)
        drawNumber(QPointF(0, s.scaleBaseY - 100 * k), s.scaleStep * k);

    if (!s.outline.isEmpty()) {
        painter->setPen(QColor(Qt::blue));
        for (const QLine &line : s.outline)
            drawLine(line);
    }
    setPenAfterBackground();
}

// The pen that painting the background leaves, which the points of a frame may carry on with.
void Canvas::setPenAfterBackground()
{
    const CanvasStyle &s = *canvasStyle;
    if (s.penAfterBackground.isValid())
        painter->setPen(s.penAfterBackground);
    else
        painter->setPen(QColor(s.outline.isEmpty() ? Qt::black : Qt::blue));
}

void Canvas::markPainted(const QRect &rect)
{
    const QRect onCanvas = rect & QRect(QPoint(0, 0), canvasStyle->canvasSize);
    if (onCanvas.isEmpty())
        return;
    if (paintedRects.size() >= maxPaintedRects)
        paintedRects = {QRect(QPoint(0, 0), canvasStyle->canvasSize)};
    paintedRects.append(onCanvas);
}

void Canvas::paintPoint(qint16 x, qint16 y, int n)
{
    if (y <= 0)
        return;
    const CanvasStyle &s = *canvasStyle;

    // Scaled in floating point, then truncated toward zero like an int conversion does.
    const int top = int(double(s.squareBaseY) - double(s.squareYNum) * y / s.squareYDen);
    const int left = x + s.squareOffsetX;
    if (s.pointTexts)
        painter->setPen(QColor(Qt::red));
    drawRect(QRect(QPoint(left, top), QPoint(left + 3, top + 3)));
    if (!s.pointTexts)
        return;

    // The numbers read upwards: under -90 degrees a logical (u, v) lands on the canvas at (v, -u).
    // Positions in floating point: a stream that never ends a frame keeps raising n.
    const double v = double(s.columnPitch) * n;
    painter->setPen(QColor(Qt::black));
    painter->rotate(-90);
    drawNumber(QPointF(s.indexText.u, s.indexText.v + v), qint64(n) + s.indexBase);
    painter->setPen(s.xZones.colourFor(x));
    drawNumber(QPointF(s.xText.u, s.xText.v + v), x);
    painter->setPen(s.yZones.colourFor(y));
    drawNumber(QPointF(s.yText.u, s.yText.v + v), y);
    painter->rotate(90);
}

void Canvas::paintFlagByte(quint8 byte, int k)
{
    const CanvasStyle &s = *canvasStyle;
    if (!s.flags)
        return;
    painter->setPen(QColor(Qt::red));
    for (int j = 0; j < 8; ++j) {
        if (!(byte & (0x80 >> j)))
            continue;
        const int c = 8 * s.flagCellPitch * k + s.flagCellPitch * j;
        drawRect(QRect(QPoint(c, s.flagTop), QPoint(c + s.flagCellWidth - 1, s.flagBottom)));
        if (s.flagNumbers)
            drawNumber(QPointF(c + s.flagNumberDx, s.flagNumberY), c / s.flagCellPitch + 1);
    }
}

// Draws the line as drawLine does with the canvas' pens: opaque, one pixel wide, square caps, both
// ends included.
void Canvas::drawLine(const QLine &line)
{
    if (painting == Painting::Plain || (line.dx() != 0 && line.dy() != 0)) {
        painter->drawLine(line);
        return;
    }
    Q_ASSERT(painter->transform().isIdentity() && !painter->testRenderHint(QPainter::Antialiasing));
    painter->fillRect(QRect(line.p1(), line.p2()).normalized(), painter->pen().color());
}

// Outlines the rectangle as drawRect does with the canvas' pens: its left and top edges, and one
// pixel beyond its right and bottom edges. An outline that the canvas' edge cuts is left to the
// painter, whose clipping has quirks of its own (cut on the left, it leaves out a corner).
void Canvas::drawRect(const QRect &rect)
{
    const QRect outer(rect.topLeft(), rect.bottomRight() + QPoint(1, 1));
    // A pixel more on every side, for an antialiased painter.
    markPainted(outer.adjusted(-1, -1, 1, 1));
    if (painting == Painting::Plain
        || !QRect(QPoint(0, 0), canvasStyle->canvasSize).contains(outer)) {
        painter->drawRect(rect);
        return;
    }
    drawLine(QLine(outer.topLeft(), outer.topRight()));
    drawLine(QLine(outer.bottomLeft(), outer.bottomRight()));
    drawLine(QLine(outer.topLeft(), outer.bottomLeft()));
    drawLine(QLine(outer.topRight(), outer.bottomRight()));
}

// Draws the number as drawText does, with the left end of its baseline at `at`.
void Canvas::drawNumber(const QPointF &at, qint64 value)
{
    // Where the glyphs land, with two pixels more on every side for their antialiased edges.
    auto mark = [&](const QRectF &extent) {
        markPainted(painter->transform()
                        .mapRect(extent.translated(at))
                        .toAlignedRect()
                        .adjusted(-2, -2, 2, 2));
    };
    if (painting == Painting::Plain) {
        const QString text = QString::number(value);
        mark(QFontMetricsF(painter->font(), painter->device()).boundingRect(text));
        painter->drawText(at, text);
        return;
    }
    if (painter->font() != keptFont || kept.size() >= maxKeptNumbers) {
        kept.clear();
        keptFont = painter->font();
        sharedRunSet = false;
    }
    auto text = kept.constFind(value);
    if (text == kept.constEnd()) {
        const QString digits = QString::number(value);
        QTextLayout layout(digits, keptFont, painter->device());
        layout.beginLayout();
        const QTextLine line = layout.createLine();
        layout.endLayout();
        NumberText laidOut;
        laidOut.runs = layout.glyphRuns();
        laidOut.ascent = line.ascent();
        laidOut.extent = QFontMetricsF(keptFont, painter->device()).boundingRect(digits);
        if (laidOut.runs.size() == 1) {
            const QGlyphRun &run = laidOut.runs.constFirst();
            if (!sharedRunSet) {
                sharedRun.setRawFont(run.rawFont());
                sharedRun.setFlags(run.flags());
                sharedRunSet = true;
            }
            const QVector<quint32> indexes = run.glyphIndexes();
            const QVector<QPointF> positions = run.positions();
            if (run.rawFont() == sharedRun.rawFont() && run.flags() == sharedRun.flags()
                && indexes.size() <= maxOwnGlyphs && positions.size() == indexes.size()) {
                laidOut.glyphCount = indexes.size();
                std::copy(indexes.begin(), indexes.end(), laidOut.glyphIndexes);
                std::copy(positions.begin(), positions.end(), laidOut.glyphPositions);
                laidOut.runs.clear();
            }
        }
        text = kept.insert(value, laidOut);
    }
    mark(text->extent);
    // The runs are placed from the layout's top left; drawText places the baseline.
    const QPointF origin(at.x(), at.y() - text->ascent);
    if (text->glyphCount >= 0) {
        sharedRun.setRawData(text->glyphIndexes, text->glyphPositions, text->glyphCount);
        painter->drawGlyphRun(origin, sharedRun);
        return;
    }
    for (const QGlyphRun &run : text->runs)
        painter->drawGlyphRun(origin, run);
}
