#include "render/canvas.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPixmap>
#include <QPointF>
#include <QString>
#include <QTextLayout>

#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>

namespace {

// Rects painted in one frame before the whole canvas is restored instead; a stream that never
// ends a frame must not grow the list without bound.
constexpr int maxDirtyRects = 256;
// Distinct numbers whose layouts are kept; values come from 16-bit samples and column indexes.
constexpr int maxCachedNumbers = 8192;
// Shown images whose contents the canvas keeps track of.
constexpr int maxShownImages = 4;
// Numbers kept as they came out on the bare background, by place, value and colour.
constexpr int maxPatches = 1024;
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

QImage devicePixels(QPaintDevice *device, const QRect &rect)
{
    if (device->devType() == QInternal::Pixmap)
        return static_cast<QPixmap *>(device)->copy(rect).toImage();
    if (device->devType() == QInternal::Image)
        return static_cast<QImage *>(device)->copy(rect);
    return QImage();
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
    followFont();
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
    if (background.isNull())
        return false;
    textFont = painter->font();
    textHints = painter->renderHints();
    checkShortcuts();
    // Shown images hold the background they were copied from, which may not be this one.
    shown.clear();
    return true;
}

// Everything kept of the numbers and the background was drawn with the painter's font and hints;
// should they change, it is all thrown away and made anew.
void Canvas::followFont()
{
    if (background.isNull() || (painter->font() == textFont && painter->renderHints() == textHints))
        return;
    numbers.clear();
    patches.clear();
    cellPatches.clear();
    textFont = painter->font();
    textHints = painter->renderHints();
    checkShortcuts();
    background = QImage(); // the scale texts change too: the next background is drawn anew
}

// Paints sample numbers and outlines on two scratch images of the canvas' kind, once the plain
// way and once through each shortcut, and keeps only the shortcuts whose pixels agree.
void Canvas::checkShortcuts()
{
    QPaintDevice *device = painter->device();
    const QSize size(260, 260);
    auto scratch = [&]() -> std::unique_ptr<QPaintDevice> {
        if (device->devType() == QInternal::Pixmap) {
            auto pixmap = std::make_unique<QPixmap>(size);
            pixmap->fill(Qt::white);
            return pixmap;
        }
        auto image = std::make_unique<QImage>(size, static_cast<QImage *>(device)->format());
        image->fill(Qt::white);
        return image;
    };
    auto pixels = [](QPaintDevice *d) {
        return d->devType() == QInternal::Pixmap ? static_cast<QPixmap *>(d)->toImage()
                                                 : *static_cast<QImage *>(d);
    };
    auto begin = [&](QPainter &p, QPaintDevice *d) {
        p.begin(d);
        p.setFont(painter->font());
        p.setRenderHints(painter->renderHints());
    };

    const qint64 samples[]
        = {0,     1,  7,    9,    10,   16,   27,  32,  99,  100,   146,    183,   1000,
           12345, -1, -101, -146, -184, -999, 191, 169, 599, 32767, -32768, 65537, 2395};
    const QColor colours[] = {QColor(Qt::black), QColor(Qt::red), QColor(Qt::blue)};
    // Every fourth sample upright, along the top; the others turned as a point's numbers are.
    auto upright = [](int i) { return i % 4 == 0; };
    auto place = [&](int i) {
        const int k = i / 4;
        return upright(i) ? QPointF(8 + 50 * (k % 5), 24 + 40 * (k / 5))
                          : QPointF(-130 - 40 * (i % 3), 14 + 9 * i);
    };

    std::unique_ptr<QPaintDevice> plain = scratch();
    std::unique_ptr<QPaintDevice> shortcut = scratch();
    QVector<QRect> inkRects;
    {
        QPainter p;
        begin(p, plain.get());
        for (int i = 0; i < int(std::size(samples)); ++i) {
            p.setPen(colours[i % 3]);
            p.rotate(upright(i) ? 0 : -90);
            p.drawText(place(i), QString::number(samples[i]));
            p.resetTransform();
        }
    }
    {
        QPainter p;
        begin(p, shortcut.get());
        for (int i = 0; i < int(std::size(samples)); ++i) {
            p.setPen(colours[i % 3]);
            p.rotate(upright(i) ? 0 : -90);
            const NumberText &text = numberText(samples[i]);
            const QPointF at = place(i);
            for (const QGlyphRun &run : text.runs)
                p.drawGlyphRun(QPointF(at.x(), at.y() - text.ascent), run);
            inkRects.append(p.transform().mapRect(text.ink.translated(at)).toAlignedRect());
            p.resetTransform();
        }
    }
    const QImage plainText = pixels(plain.get());
    glyphRunsExact = plainText == pixels(shortcut.get());
    inkInBounds = true;
    const QRgb white = plainText.pixel(size.width() - 1, size.height() - 1);
    for (int y = 0; y < plainText.height() && inkInBounds; ++y) {
        for (int x = 0; x < plainText.width() && inkInBounds; ++x) {
            if (plainText.pixel(x, y) == white)
                continue;
            inkInBounds = std::any_of(inkRects.cbegin(), inkRects.cend(),
                                      [&](const QRect &r) { return r.contains(x, y); });
        }
    }

    const QRect rects[] = {QRect(3, 4, 4, 4), QRect(0, 0, 37, 24), QRect(40, 30, 37, 49),
                           QRect(100, 100, 1, 1), QRect(120, 110, 2, 9)};
    plain = scratch();
    shortcut = scratch();
    {
        QPainter p;
        begin(p, plain.get());
        for (int i = 0; i < int(std::size(rects)); ++i) {
            p.setPen(colours[i % 3]);
            p.drawRect(rects[i]);
        }
    }
    {
        QPainter p;
        begin(p, shortcut.get());
        for (int i = 0; i < int(std::size(rects)); ++i)
            fillOutline(&p, rects[i], colours[i % 3]);
    }
    edgesExact = pixels(plain.get()) == pixels(shortcut.get());
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
        const QRect cell(QPoint(c, s.flagTop), QPoint(c + s.flagCellWidth - 1, s.flagBottom));
        if (!s.flagNumbers) {
            drawOutlineRect(cell);
            continue;
        }
        const QPointF at(c + s.flagNumberDx, s.flagNumberY);
        const int number = c / s.flagCellPitch + 1;
        if (!drawKeptCell(cell, at, number)) {
            drawOutlineRect(cell);
            drawNumber(at, number);
        }
    }
}

// A numbered cell drawn over the bare background always comes out the same: its outline
// overwrites what lies under it, and its number stands inside on untouched background. Draws the
// cell as it came out before, or draws it and keeps it; false where that cannot be done exactly.
bool Canvas::drawKeptCell(const QRect &cell, const QPointF &at, int number)
{
    if (mode != Painting::Cached || !edgesExact || !glyphRunsExact || !inkInBounds
        || !edgesMatchPen())
        return false;
    followFont();
    const QRect outer(cell.topLeft(), cell.bottomRight() + QPoint(1, 1));
    const QRect inside = outer.adjusted(1, 1, -1, -1);
    const QRect ink = numberText(number).ink.translated(at).toAlignedRect();
    if (!QRect(QPoint(0, 0), canvasStyle->canvasSize).contains(outer) || !inside.contains(ink)
        || !pristine(inside))
        return false;

    const CanvasPatchKey key {outer.topLeft(), number, painter->pen().color().rgba(), false};
    const auto found = cellPatches.constFind(key);
    if (found != cellPatches.constEnd() && found->size() == outer.size()) {
        painter->drawImage(outer.topLeft(), *found);
        markDirty(outer);
        return true;
    }
    drawOutlineRect(cell);
    drawNumber(at, number);
    if (cellPatches.size() >= maxPatches)
        cellPatches.clear();
    cellPatches.insert(key, devicePixels(painter->device(), outer));
    return true;
}

void Canvas::copyTo(QPainter *displayPainter)
{
    QPaintDevice *device = painter->device();
    const QRect whole(QPoint(0, 0), canvasStyle->canvasSize);
    const QPaintDevice *target = displayPainter->device();
    auto known = std::find_if(shown.begin(), shown.end(),
                              [&](const ShownImage &s) { return s.device == target; });
    if (known == shown.end()) {
        if (shown.size() >= maxShownImages)
            shown.removeFirst();
        shown.append({target, {whole}});
        known = shown.end() - 1;
    }

    QVector<QRect> rects = {whole};
    if (mode == Painting::Cached && !wholeDirty && plainState(displayPainter)) {
        // The image's last frame left its marks mostly where this frame has its own.
        rects = known->marks;
        for (const QRect &r : qAsConst(dirty))
            addRect(rects, r, std::numeric_limits<int>::max());
    }
    for (const QRect &r : qAsConst(rects)) {
        if (device->devType() == QInternal::Pixmap)
            displayPainter->drawPixmap(r.topLeft(), *static_cast<QPixmap *>(device), r);
        else if (device->devType() == QInternal::Image)
            displayPainter->drawImage(r.topLeft(), *static_cast<QImage *>(device), r);
    }
    known->marks = wholeDirty ? QVector<QRect> {whole} : dirty;
}

void Canvas::drawNumber(const QPointF &at, qint64 value)
{
    if (mode == Painting::Direct) {
        painter->drawText(at, QString::number(value));
        return;
    }
    // Laying the text out is most of what drawText costs; the glyphs it yields are drawn the same.
    followFont();
    const NumberText &text = numberText(value);
    if (glyphRunsExact && inkInBounds) {
        const QRect ink = painter->transform().mapRect(text.ink.translated(at)).toAlignedRect()
            & QRect(QPoint(0, 0), canvasStyle->canvasSize);
        if (ink.isEmpty())
            return; // none of it lands on the canvas
        if (pristine(ink)) {
            // Most numbers of a column's first text stand on the bare background: an index is
            // the same in its column every frame.
            const CanvasPatchKey key {ink.topLeft(), value, painter->pen().color().rgba(),
                                      !painter->transform().isIdentity()};
            const auto found = patches.constFind(key);
            if (found != patches.constEnd() && found->size() == ink.size()) {
                // The patch is in canvas pixels; the painter may be turned for the text.
                const QTransform turned = painter->transform();
                painter->resetTransform();
                painter->drawImage(ink.topLeft(), *found);
                painter->setTransform(turned);
            } else {
                const QPointF origin(at.x(), at.y() - text.ascent);
                for (const QGlyphRun &run : text.runs)
                    painter->drawGlyphRun(origin, run);
                if (patches.size() >= maxPatches)
                    patches.clear();
                patches.insert(key, devicePixels(painter->device(), ink));
            }
            markDirty(ink);
            return;
        }
    }
    if (glyphRunsExact) {
        const QPointF origin(at.x(), at.y() - text.ascent);
        for (const QGlyphRun &run : text.runs)
            painter->drawGlyphRun(origin, run);
    } else {
        painter->drawText(at, QString::number(value));
    }
    if (inkInBounds) {
        markDirty(painter->transform().mapRect(text.ink.translated(at)));
    } else {
        wholeDirty = true;
        dirty.clear();
    }
}

const Canvas::NumberText &Canvas::numberText(qint64 value)
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
                   .tightBoundingRect(digits)
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
    if (!edgesExact || !QRect(QPoint(0, 0), canvasStyle->canvasSize).contains(outer)
        || !edgesMatchPen()) {
        painter->drawRect(rect);
        if (mode == Painting::Cached)
            markDirty(outer);
        return;
    }
    fillOutline(painter, rect, painter->pen().color());
    markDirty(outer);
}

void Canvas::fillOutline(QPainter *target, const QRect &rect, const QColor &colour)
{
    const QRect outer(rect.topLeft(), rect.bottomRight() + QPoint(1, 1));
    const int l = outer.left(), t = outer.top(), r = outer.right(), b = outer.bottom();
    target->fillRect(QRect(QPoint(l, t), QPoint(r, t)), colour);
    target->fillRect(QRect(QPoint(l, b), QPoint(r, b)), colour);
    if (b - t > 1) {
        target->fillRect(QRect(QPoint(l, t + 1), QPoint(l, b - 1)), colour);
        target->fillRect(QRect(QPoint(r, t + 1), QPoint(r, b - 1)), colour);
    }
}

void Canvas::markDirty(const QRectF &rect)
{
    markDirty(rect.toAlignedRect());
}

// Whether the canvas still shows the bare background all over rect.
bool Canvas::pristine(const QRect &rect) const
{
    if (wholeDirty)
        return false;
    return std::none_of(dirty.cbegin(), dirty.cend(),
                        [&](const QRect &r) { return r.intersects(rect); });
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
