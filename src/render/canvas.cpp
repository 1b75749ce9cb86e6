#include "render/canvas.h"

#include <QFontMetricsF>
#include <QPointF>
#include <QString>
#include <QTextLayout>
#include <QtMath>

#include <algorithm>
#include <cstring>

namespace {

// Distinct numbers whose layouts are kept; a stream that never ends a frame keeps raising the
// column, so the set must not grow without bound.
constexpr int maxKeptNumbers = 8192;
// Likewise for the glyphs' stamps, one for each glyph and fraction of a pixel it stood at.
constexpr int maxKeptStamps = 8192;
// Likewise for the places painted within one frame; past this many, the whole canvas counts.
constexpr int maxPaintedRects = 4096;

// A copy of the canvas image the painter is on; a null image (the background then painted in
// full every frame) on any other device.
QImage imageOf(QPaintDevice *device)
{
    return device->devType() == QInternal::Image ? static_cast<QImage *>(device)->copy() : QImage();
}

// The painter's blend of a solid, opaque colour into an opaque pixel by a glyph's coverage: each
// channel times the coverage over 255, rounded as the painter rounds it.
inline quint32 byteMul(quint32 x, quint32 a)
{
    quint64 t = ((quint64(x) | (quint64(x) << 24)) & 0x00ff00ff00ff00ffULL) * a;
    t = (t + ((t >> 8) & 0x00ff00ff00ff00ffULL) + 0x0080008000800080ULL) >> 8;
    t &= 0x00ff00ff00ff00ffULL;
    return quint32(t) | quint32(t >> 24);
}

// A glyph's pixel in a solid, opaque colour over `under`, as the painter blends it.
inline quint32 blendGlyph(quint32 colour, quint32 coverage, quint32 under)
{
    if (coverage == 255)
        return colour;
    const quint32 source = byteMul(colour, coverage);
    return source + byteMul(under, 255 - (source >> 24));
}

} // namespace

uint qHash(const Canvas::StampKey &key, uint seed)
{
    return qHash(key.glyph, seed) ^ qHash(key.fractionX, seed) ^ (qHash(key.fractionY, seed) << 1)
        ^ uint(key.turned);
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
        fill(QRect(QPoint(rect.left(), y), QPoint(rect.right(), end)), colour);
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
    fill(QRect(line.p1(), line.p2()).normalized(), painter->pen().color());
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
        stamps.clear();
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
    if (stampNumber(origin, *text))
        return;
    if (text->glyphCount >= 0) {
        sharedRun.setRawData(text->glyphIndexes, text->glyphPositions, text->glyphCount);
        painter->drawGlyphRun(origin, sharedRun);
        return;
    }
    for (const QGlyphRun &run : text->runs)
        painter->drawGlyphRun(origin, run);
}

// The canvas image, where the painter's state lets the canvas write its pixels as the painter
// would: opaque pixels, plain blending, no clip. The painter draws into the pixels it began on,
// shared or not, and so does the canvas.
QImage *Canvas::pixelsToWrite(QRect *area) const
{
    QPaintDevice *device = painter->device();
    if (painting == Painting::Plain || device->devType() != QInternal::Image)
        return nullptr;
    auto *image = static_cast<QImage *>(device);
    if ((image->format() != QImage::Format_RGB32
         && image->format() != QImage::Format_ARGB32_Premultiplied)
        || painter->hasClipping()
        || painter->compositionMode() != QPainter::CompositionMode_SourceOver
        || painter->opacity() != 1.0)
        return nullptr;
    *area = image->rect() & QRect(QPoint(0, 0), canvasStyle->canvasSize);
    return image;
}

// Fills the rectangle as fillRect does, with an opaque colour; straight into the canvas' pixels
// where that can be done, which saves the painter's work for each of a frame's many small ones.
void Canvas::fill(const QRect &rect, const QColor &colour)
{
    QRect area;
    QImage *image = pixelsToWrite(&area);
    if (!image || colour.alpha() != 255 || !painter->transform().isIdentity() || rect.isEmpty()
        || !area.contains(rect)) {
        painter->fillRect(rect, colour);
        return;
    }
    const qsizetype stride = image->bytesPerLine() / 4;
    quint32 *first = reinterpret_cast<quint32 *>(const_cast<uchar *>(image->constBits()))
        + rect.top() * stride + rect.left();
    const quint32 pixel = colour.rgba();
    const int width = rect.width();
    std::fill_n(first, width, pixel);
    // Further lines copied from the first: the library's copy is wider than a loop's stores.
    for (int y = 1; y < rect.height(); ++y) {
        if (width < 8)
            std::fill_n(first + y * stride, width, pixel);
        else
            std::memcpy(first + y * stride, first, width * sizeof(quint32));
    }
}

// Draws the number by blending the stamps of its glyphs into the canvas image, as the painter
// would blend the glyphs there, where the painter's state allows: a solid opaque pen, plain
// blending, no clip, a transform that is the identity or the canvas' quarter turn, and every
// glyph inside the canvas. Laying out and blending through the painter's calls costs several
// times more for each number, and a frame draws a hundred.
bool Canvas::stampNumber(const QPointF &origin, const NumberText &text)
{
    QRect inside;
    QImage *image = text.glyphCount >= 0 ? pixelsToWrite(&inside) : nullptr;
    if (!image)
        return false;
    const QTransform &transform = painter->transform();
    static const QTransform quarterTurn = QTransform().rotate(-90);
    const bool turned = transform == quarterTurn;
    const QPen &pen = painter->pen();
    if ((!turned && !transform.isIdentity()) || pen.style() != Qt::SolidLine
        || pen.brush().style() != Qt::SolidPattern || pen.color().alpha() != 255)
        return false;

    const qsizetype stride = image->bytesPerLine() / 4;
    if (painter->renderHints() != stampHints || stride != stampStride
        || stamps.size() + text.glyphCount > maxKeptStamps) {
        stamps.clear();
        stampHints = painter->renderHints();
        stampStride = stride;
    }
    auto *bits = reinterpret_cast<quint32 *>(const_cast<uchar *>(image->constBits()));
    // Every glyph's stamp and place first: a glyph that cannot be stamped leaves the whole number
    // to the painter.
    const Stamp *placed[maxOwnGlyphs];
    quint32 *at[maxOwnGlyphs];
    for (int g = 0; g < text.glyphCount; ++g) {
        // The painter places each glyph by its own position on the canvas.
        const QPointF onCanvas = transform.map(origin + text.glyphPositions[g]);
        // At a place left of or above the canvas' first pixels the painter rounds otherwise.
        if (onCanvas.x() < 4 || onCanvas.y() < 4)
            return false;
        const QPoint pixel(qFloor(onCanvas.x()), qFloor(onCanvas.y()));
        const StampKey key {text.glyphIndexes[g], turned, onCanvas.x() - pixel.x(),
                            onCanvas.y() - pixel.y()};
        auto stamp = stamps.constFind(key);
        if (stamp == stamps.constEnd())
            stamp = stamps.insert(key, makeStamp(pixel, origin, text, g, stride));
        if (!stamp->usable
            || (!stamp->bounds.isNull()
                && !inside.contains(stamp->bounds.translated(pixel).adjusted(-1, -1, 1, 1))))
            return false;
        placed[g] = &*stamp;
        at[g] = bits + pixel.y() * stride + pixel.x();
    }

    const quint32 colour = pen.color().rgba();
    for (int g = 0; g < text.glyphCount; ++g) {
        const qint32 *offset = placed[g]->offsets.constData();
        const quint8 *coverage = placed[g]->coverages.constData();
        for (int i = 0, n = placed[g]->offsets.size(); i < n; ++i) {
            quint32 &dst = at[g][offset[i]];
            dst = blendGlyph(colour, coverage[i], dst);
        }
    }
    return true;
}

// Paints the glyph alone on a white sheet, with the canvas' transform and moved by whole pixels
// from its place on the canvas to the sheet's middle, and reads back what it covers. A glyph the
// painter colours channel by channel (subpixel antialiasing), or one larger than the sheet, gives
// no usable stamp.
Canvas::Stamp Canvas::makeStamp(const QPoint &pixel, const QPointF &at, const NumberText &text,
                                int glyph, qsizetype stride)
{
    constexpr int middle = 128;
    if (stampSheet.isNull()) {
        stampSheet = QImage(2 * middle, 2 * middle, QImage::Format_RGB32);
        stampSheet.fill(Qt::white);
    }
    QPainter sheet(&stampSheet);
    sheet.setRenderHints(painter->renderHints());
    sheet.setFont(keptFont);
    sheet.setTransform(painter->transform());
    sheet.setPen(QColor(Qt::black));
    // Whole pixels on the sheet are whole units before the transform (a quarter turn at most).
    const QPoint onSheet(middle, middle);
    const QPointF origin = at + painter->transform().inverted().map(QPointF(onSheet - pixel));
    sharedRun.setRawData(text.glyphIndexes + glyph, text.glyphPositions + glyph, 1);
    const QRect reach = sheet.transform()
                            .mapRect(sharedRun.boundingRect().translated(origin))
                            .toAlignedRect()
                            .adjusted(-3, -3, 3, 3);
    Stamp stamp;
    stamp.usable = stampSheet.rect().contains(reach);
    if (!stamp.usable)
        return stamp;
    sheet.drawGlyphRun(origin, sharedRun);
    for (int y = reach.top(); y <= reach.bottom(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(stampSheet.constScanLine(y));
        for (int x = reach.left(); x <= reach.right(); ++x) {
            const quint32 covered = line[x] & 0xffffff;
            if (covered == 0xffffff)
                continue;
            const quint32 blue = covered & 0xff;
            stamp.usable
                = stamp.usable && ((covered >> 8) & 0xff) == blue && (covered >> 16) == blue;
            const QPoint d = QPoint(x, y) - onSheet;
            stamp.offsets.append(qint32(d.y() * stride + d.x()));
            stamp.coverages.append(quint8(255 - blue));
            stamp.bounds |= QRect(d, QSize(1, 1));
        }
    }
    // The blending assumed must be the painter's: the glyph in a colour over another colour gives
    // what the stamp gives, pixel by pixel, and nothing beside.
    const quint32 ground = 0xff807060;
    const QColor ink(40, 160, 220);
    const QTransform turn = sheet.transform();
    sheet.resetTransform();
    sheet.fillRect(reach, QColor::fromRgb(ground));
    sheet.setTransform(turn);
    sheet.setPen(ink);
    sheet.drawGlyphRun(origin, sharedRun);
    int next = 0;
    for (int y = reach.top(); y <= reach.bottom() && stamp.usable; ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(stampSheet.constScanLine(y));
        for (int x = reach.left(); x <= reach.right(); ++x) {
            const QPoint d = QPoint(x, y) - onSheet;
            quint32 expected = ground;
            if (next < stamp.offsets.size() && stamp.offsets.at(next) == d.y() * stride + d.x())
                expected = blendGlyph(ink.rgba(), stamp.coverages.at(next++), ground);
            stamp.usable = stamp.usable && (line[x] & 0xffffff) == (expected & 0xffffff);
        }
    }
    sheet.resetTransform();
    sheet.fillRect(reach, Qt::white);
    return stamp;
}
