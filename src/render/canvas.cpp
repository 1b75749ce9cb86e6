#include "render/canvas.h"

#include <QFontMetricsF>
#include <QPixmap>
#include <QPointF>
#include <QString>
#include <QTextLayout>
#include <QtMath>

#include <algorithm>
#include <cstring>
#include <utility>

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
    if (device->devType() == QInternal::Image)
        return static_cast<QImage *>(device)->copy();
    return device->devType() == QInternal::Pixmap ? static_cast<QPixmap *>(device)->toImage()
                                                  : QImage();
}

// The image the painter paints on, where a glyph's coverage can be blended into it directly.
QImage *blendableImage(QPainter *painter)
{
    QPaintDevice *device = painter->device();
    if (device->devType() != QInternal::Image)
        return nullptr;
    auto *image = static_cast<QImage *>(device);
    const QImage::Format format = image->format();
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied
        ? image
        : nullptr;
}

// How far from the number's origin its glyphs may reach to be taken.
constexpr int shapeReach = 64;
// How far from a device's edge a number's glyphs must stay for the painter to paint them whole,
// not cut (it blends the two otherwise).
constexpr int unclippedMargin = 16;
// Pictures kept of a number: a colour for each zone, over a background colour or two.
constexpr int maxPictures = 6;

} // namespace

QImage paintablePixels(QPixmap &pixmap)
{
    // Alone with its pixels, so that nobody else sees them change.
    pixmap.detach();
    const QImage shared = pixmap.toImage();
    // A pixmap that keeps its pixels in memory hands out its own image, the same pixels each time.
    if (shared.isNull() || shared.constBits() != pixmap.toImage().constBits())
        return QImage();
    if (shared.format() != QImage::Format_RGB32
        && shared.format() != QImage::Format_ARGB32_Premultiplied)
        return QImage();
    QImage pixels(const_cast<uchar *>(shared.constBits()), shared.width(), shared.height(),
                  shared.bytesPerLine(), shared.format());
    pixels.setDotsPerMeterX(qRound(pixmap.logicalDpiX() / 0.0254));
    pixels.setDotsPerMeterY(qRound(pixmap.logicalDpiY() / 0.0254));
    if (pixels.logicalDpiX() != pixmap.logicalDpiX()
        || pixels.logicalDpiY() != pixmap.logicalDpiY())
        return QImage();
    return pixels;
}

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
            painter->drawImage(rect.topLeft(), background, rect);
        setPenAfterBackground();
    } else {
        paintBackground();
        if (painting == Painting::Fast) {
            background = imageOf(painter->device());
            backgroundFont = painter->font();
            backgroundHints = painter->renderHints();
        }
    }
    paintedRects.clear();
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
    }
    auto text = kept.find(value);
    if (text == kept.end()) {
        const QString digits = QString::number(value);
        QTextLayout layout(digits, keptFont, painter->device());
        layout.beginLayout();
        const QTextLine line = layout.createLine();
        layout.endLayout();
        text = kept.insert(value,
                           {layout.glyphRuns(), line.ascent(),
                            QFontMetricsF(keptFont, painter->device()).boundingRect(digits)});
    }
    mark(text->extent);
    // The runs are placed from the layout's top left; drawText places the baseline.
    const QPointF origin(at.x(), at.y() - text->ascent);
    if (pasteNumber(*text, origin))
        return;
    for (const QGlyphRun &run : text->runs)
        painter->drawGlyphRun(origin, run);
}

// Puts the number in place as the painter painted it over the colour its pixels have: the
// painter paints glyphs the same wherever they land with the same position within a pixel, and
// blends each pixel of them with the pixel beneath alone. False where the number is left to the
// painter: another device, pen, mode or transform, a clip, the glyphs beyond the image's edge or
// over pixels of more than one colour.
bool Canvas::pasteNumber(NumberText &text, const QPointF &origin)
{
    QImage *image = blendableImage(painter);
    const QTransform &transform = painter->transform();
    const QPen &pen = painter->pen();
    if (!image || transform.type() > QTransform::TxRotate || painter->hasClipping()
        || painter->opacity() != 1.0
        || painter->compositionMode() != QPainter::CompositionMode_SourceOver
        || pen.style() == Qt::NoPen || pen.brush().style() != Qt::SolidPattern
        || pen.color().alpha() != 255)
        return false;

    const QTransform turn(transform.m11(), transform.m12(), transform.m21(), transform.m22(), 0, 0);
    const QPointF onDevice = transform.map(origin);
    const QPoint wholePixel(qFloor(onDevice.x()), qFloor(onDevice.y()));
    NumberShape &shape = text.shapes[turn.isIdentity() ? 0 : 1];
    if (!shape.taken || shape.turn != turn || shape.withinPixel != onDevice - QPointF(wholePixel)
        || shape.hints != painter->renderHints())
        takeShape(text, shape, origin, wholePixel);
    if (!shape.usable)
        return false;
    const QRect box = shape.box.translated(wholePixel);
    if (box.isEmpty())
        return true;
    // The painter blends a glyph cut by the device's edge otherwise than a whole one.
    if (!image->rect().contains(
            box.adjusted(-unclippedMargin, -unclippedMargin, unclippedMargin, unclippedMargin)))
        return false;

    const qsizetype stride = image->bytesPerLine();
    uchar *first = image->bits() + box.top() * stride + box.left() * 4;
    const QRgb under = *reinterpret_cast<const QRgb *>(first);
    for (int row = 0; row < box.height(); ++row) {
        const auto *line = reinterpret_cast<const QRgb *>(first + row * stride);
        for (int column = 0; column < box.width(); ++column) {
            if (line[column] != under)
                return false;
        }
    }
    const QRgb penColour = pen.color().rgba();
    auto picture
        = std::find_if(shape.pictures.begin(), shape.pictures.end(), [&](const NumberPicture &p) {
              return p.pen == penColour && p.under == under;
          });
    if (picture == shape.pictures.end()) {
        if (shape.pictures.size() >= maxPictures)
            shape.pictures.removeFirst();
        shape.pictures.append(
            {penColour, under,
             paintAlone(text, origin, box.topLeft(), box.size(), under, penColour)});
        picture = shape.pictures.end() - 1;
    }
    for (int row = 0; row < box.height(); ++row)
        std::memcpy(first + row * stride, picture->pixels.constScanLine(row),
                    size_t(box.width()) * 4);
    return true;
}

// The pixels from `topLeft` (on the painter's device) of `size`, all `under`, after the painter
// paints the number there in `pen` as the canvas painter would, its origin moved by whole pixels
// only.
QImage Canvas::paintAlone(const NumberText &text, const QPointF &origin, const QPoint &topLeft,
                          const QSize &size, QRgb under, QRgb pen) const
{
    constexpr int margin = unclippedMargin;
    const QImage *image = blendableImage(painter);
    QImage scratch(size + QSize(2 * margin, 2 * margin), image->format());
    // The resolution too: the painter sizes glyphs by it.
    scratch.setDotsPerMeterX(image->dotsPerMeterX());
    scratch.setDotsPerMeterY(image->dotsPerMeterY());
    scratch.fill(under);
    {
        QPainter alone(&scratch);
        alone.setRenderHints(painter->renderHints());
        alone.setTransform(painter->transform()
                           * QTransform::fromTranslate(margin - topLeft.x(), margin - topLeft.y()));
        alone.setPen(QColor::fromRgba(pen));
        for (const QGlyphRun &run : text.runs)
            alone.drawGlyphRun(origin, run);
    }
    return scratch.copy(QRect(QPoint(margin, margin), size));
}

// Finds where the glyphs reach: every pixel that white over black or black over white changes.
void Canvas::takeShape(const NumberText &text, NumberShape &shape, const QPointF &origin,
                       const QPoint &wholePixel) const
{
    const QTransform &transform = painter->transform();
    shape.turn
        = QTransform(transform.m11(), transform.m12(), transform.m21(), transform.m22(), 0, 0);
    shape.withinPixel = transform.map(origin) - QPointF(wholePixel);
    shape.hints = painter->renderHints();
    shape.taken = true;
    shape.usable = false;
    shape.pictures.clear();

    const QPoint reach(shapeReach, shapeReach);
    const QSize size(2 * shapeReach, 2 * shapeReach);
    QRect box;
    for (const auto &[under, pen] : {std::pair<QRgb, QRgb>(0xff000000, 0xffffffff),
                                     std::pair<QRgb, QRgb>(0xffffffff, 0xff000000)}) {
        const QImage alone = paintAlone(text, origin, wholePixel - reach, size, under, pen);
        for (int y = 0; y < alone.height(); ++y) {
            const auto *line = reinterpret_cast<const QRgb *>(alone.constScanLine(y));
            for (int x = 0; x < alone.width(); ++x) {
                if (line[x] != under)
                    box |= QRect(x, y, 1, 1);
            }
        }
    }
    // Glyphs that reach the edge may reach further.
    if (!box.isEmpty() && !QRect(QPoint(1, 1), size - QSize(2, 2)).contains(box))
        return;
    shape.box = box.translated(-reach);
    shape.usable = true;
}
