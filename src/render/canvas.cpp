#include "render/canvas.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPixmap>
#include <QPointF>
#include <QString>
#include <QTextLayout>

#include <limits>

namespace {

// Rects painted in one frame before the whole canvas is restored instead; a stream that never
// ends a frame must not grow the list without bound.
constexpr int maxDirtyRects = 256;
// Distinct numbers whose layouts are kept; values come from 16-bit samples and column indexes.
constexpr int maxCachedNumbers = 8192;
// Margin around a number's ink, for antialiasing and hinting under rotation.
constexpr qreal inkMargin = 3;
// Two repairs become one when their union wastes no more than this many pixels: a blit of a few
// extra pixels costs less than the painter's overhead for another one.
constexpr int mergeSlack = 4096;

int area(const QRect &r)
{
    return r.width() * r.height();
}

// Adds rect to rects, merging it into a rect nearby; false when that would need more than limit.
bool addRect(QVector<QRect> &rects, const QRect &rect, int limit)
{
    for (QRect &r : rects) {
        const QRect both = r | rect;
        if (area(both) <= area(r) + area(rect) + mergeSlack) {
            r = both;
            return true;
        }
    }
    if (rects.size() >= limit)
        return false;
    rects.append(rect);
    return true;
}

// The state under which a snapshot or a filled edge lands on the pixels exactly as drawn.
bool plainState(const QPainter *painter)
{
    return painter->compositionMode() == QPainter::CompositionMode_SourceOver
        && painter->opacity() == 1.0 && !painter->hasClipping()
        && painter->transform().isIdentity();
}

QImage deviceImage(QPaintDevice *device)
{
    // Deep copies: the painter keeps drawing into the device.
    if (device->devType() == QInternal::Pixmap)
        return static_cast<QPixmap *>(device)->toImage().copy();
    if (device->devType() == QInternal::Image)
        return static_cast<QImage *>(device)->copy();
    return QImage();
}

} // namespace

Canvas::Canvas(QPainter *painter, const CanvasStyle &style, Painting painting)
    : painter(painter)
    , canvasStyle(&style)
    , mode(painting)
{
}

void Canvas::drawBackground()
{
    const CanvasStyle &s = *canvasStyle;
    if (mode == Painting::Direct || !plainState(painter)) {
        drawBackgroundDirect();
        wholeDirty = true;
        dirty.clear();
        return;
    }
    if (background.isNull()) {
        drawBackgroundDirect();
        if (!takeSnapshot()) {
            mode = Painting::Direct;
            return;
        }
    } else if (wholeDirty) {
        painter->drawImage(QPoint(0, 0), background);
    } else {
        for (const QRect &r : qAsConst(dirty))
            painter->drawImage(r.topLeft(), background, r);
    }
    wholeDirty = false;
    dirty.clear();

    // The pen the plain drawing leaves behind.
    if (s.penAfterBackground.isValid())
        painter->setPen(s.penAfterBackground);
    else if (!s.outline.isEmpty())
        painter->setPen(QColor(Qt::blue));
    else
        painter->setPen(QColor(Qt::black));
}

void Canvas::drawBackgroundDirect()
{
    const CanvasStyle &s = *canvasStyle;
    const int w = s.canvasSize.width();
    const int h = s.canvasSize.height();

    painter->fillRect(QRect(QPoint(0, 0), QPoint(w - 1, h - 1)), Qt::white);
    for (int top : s.bandTops)
        painter->fillRect(QRect(QPoint(0, top), QPoint(w - 1, top + s.bandHeight - 1)),
                          s.bandColor);

    painter->setPen(QColor(Qt::black));
    for (int x = s.gridFirstX; x <= s.gridLastX; x += s.gridStep)
        painter->drawLine(x, 0, x, h);
    for (int k = 1; k <= s.scaleCount; ++k)
        painter->drawText(QPointF(0, s.scaleBaseY - 100 * k), QString::number(s.scaleStep * k));

    if (!s.outline.isEmpty()) {
        painter->setPen(QColor(Qt::blue));
        for (const QLine &line : s.outline)
            painter->drawLine(line);
    }
    if (s.penAfterBackground.isValid())
        painter->setPen(s.penAfterBackground);
}

bool Canvas::takeSnapshot()
{
    QPaintDevice *device = painter->device();
    if (device->devicePixelRatioF() != 1.0
        || QSize(device->width(), device->height()) != canvasStyle->canvasSize)
        return false;
    background = deviceImage(device);
    return !background.isNull();
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
    drawOutlineRect(QRect(QPoint(left, top), QPoint(left + 3, top + 3)));
    if (!s.pointTexts)
        return;

    // The numbers read upwards: under -90 degrees a logical (u, v) lands on the canvas at (v, -u).
    // Positions in floating point: a stream that never ends a frame keeps raising n.
    const double v = double(s.columnPitch) * n;
    painter->setPen(QColor(Qt::black));
    painter->rotate(-90);
    drawNumber(QPointF(s.indexText.u, s.indexText.v + v), n + s.indexBase);
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
        drawOutlineRect(QRect(QPoint(c, s.flagTop), QPoint(c + s.flagCellWidth - 1, s.flagBottom)));
        if (s.flagNumbers)
            drawNumber(QPointF(c + s.flagNumberDx, s.flagNumberY), c / s.flagCellPitch + 1);
    }
}

void Canvas::copyTo(QPainter *displayPainter)
{
    QPaintDevice *device = painter->device();
    const bool partial
        = mode == Painting::Cached && !shownUnknown && !wholeDirty && plainState(displayPainter);
    QVector<QRect> rects;
    if (partial) {
        // The last frame's marks mostly lie where this frame's do.
        rects = shownDirty;
        for (const QRect &r : qAsConst(dirty))
            addRect(rects, r, std::numeric_limits<int>::max());
    } else
        rects = {QRect(QPoint(0, 0), canvasStyle->canvasSize)};

    for (const QRect &r : qAsConst(rects)) {
        if (device->devType() == QInternal::Pixmap)
            displayPainter->drawPixmap(r.topLeft(), *static_cast<QPixmap *>(device), r);
        else if (device->devType() == QInternal::Image)
            displayPainter->drawImage(r.topLeft(), *static_cast<QImage *>(device), r);
    }
    shownUnknown = false;
    if (wholeDirty)
        shownDirty = {QRect(QPoint(0, 0), canvasStyle->canvasSize)};
    else
        shownDirty = dirty;
}

void Canvas::drawNumber(const QPointF &at, int value)
{
    if (mode == Painting::Direct) {
        painter->drawText(at, QString::number(value));
        return;
    }
    // Laying the text out is most of what drawText costs; the glyphs it yields are drawn the same.
    const NumberText &text = numberText(value);
    const QPointF origin(at.x(), at.y() - text.ascent);
    for (const QGlyphRun &run : text.runs)
        painter->drawGlyphRun(origin, run);
    markDirty(painter->transform().mapRect(text.ink.translated(at)));
}

const Canvas::NumberText &Canvas::numberText(int value)
{
    auto found = numbers.constFind(value);
    if (found != numbers.constEnd())
        return *found;
    if (numbers.size() >= maxCachedNumbers)
        numbers.clear();

    const QString digits = QString::number(value);
    QTextLayout layout(digits, painter->font(), painter->device());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    NumberText text;
    text.runs = layout.glyphRuns();
    text.ascent = line.ascent();
    text.ink = QFontMetricsF(painter->font(), painter->device())
                   .boundingRect(digits)
                   .adjusted(-inkMargin, -inkMargin, inkMargin, inkMargin);
    return *numbers.insert(value, text);
}

bool Canvas::edgesMatchPen() const
{
    const QPen pen = painter->pen();
    return mode == Painting::Cached && pen.style() == Qt::SolidLine && pen.widthF() == 1.0
        && pen.brush().style() == Qt::SolidPattern && pen.color().alpha() == 255
        && !painter->testRenderHint(QPainter::Antialiasing) && plainState(painter);
}

void Canvas::drawOutlineRect(const QRect &rect)
{
    // A one-pixel pen outlines a QRect on its left and top edges and one pixel beyond its right
    // and bottom edges; an opaque pen just overwrites those pixels. Outlines that the canvas edge
    // cuts are left to the painter, whose clipping has quirks of its own (cut on the left, it
    // leaves out the bottom-right corner).
    const QRect outer(rect.topLeft(), rect.bottomRight() + QPoint(1, 1));
    if (!QRect(QPoint(0, 0), canvasStyle->canvasSize).contains(outer) || !edgesMatchPen()) {
        painter->drawRect(rect);
        if (mode == Painting::Cached)
            markDirty(outer);
        return;
    }
    const QColor colour = painter->pen().color();
    const int l = outer.left(), t = outer.top(), r = outer.right(), b = outer.bottom();
    painter->fillRect(QRect(QPoint(l, t), QPoint(r, t)), colour);
    painter->fillRect(QRect(QPoint(l, b), QPoint(r, b)), colour);
    if (b - t > 1) {
        painter->fillRect(QRect(QPoint(l, t + 1), QPoint(l, b - 1)), colour);
        painter->fillRect(QRect(QPoint(r, t + 1), QPoint(r, b - 1)), colour);
    }
    markDirty(outer);
}

void Canvas::markDirty(const QRectF &rect)
{
    markDirty(rect.toAlignedRect());
}

void Canvas::markDirty(const QRect &rect)
{
    if (wholeDirty)
        return;
    const QRect r = rect.intersected(QRect(QPoint(0, 0), canvasStyle->canvasSize));
    if (r.isEmpty())
        return;
    if (!addRect(dirty, r, maxDirtyRects)) {
        wholeDirty = true;
        dirty.clear();
    }
}
