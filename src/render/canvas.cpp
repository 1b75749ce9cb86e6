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
// Likewise for a frame's marks; a frame with more is painted as they come (spilled).
constexpr int maxMarks = 8192;
// Likewise for the marks of the numbers noted so far, and for the numbers, in a table twice as
// long as them.
constexpr int maxNotedMarks = 16384;
constexpr int maxNotedNumbers = 4096;
// The widest gap, in pixels, between two changed runs of a row that show() reports as one.
constexpr int showGap = 256;

// The image the painter is on, where the canvas can write pixels itself; null elsewhere.
QImage *writableImage(QPainter *painter)
{
    QPaintDevice *device = painter->device();
    if (!device || device->devType() != QInternal::Image)
        return nullptr;
    auto *image = static_cast<QImage *>(device);
    return image->format() == QImage::Format_RGB32
            || image->format() == QImage::Format_ARGB32_Premultiplied
        ? image
        : nullptr;
}

// The pixels of an image written in place: the painter draws into the pixels it began on,
// shared or not, and so does the canvas.
inline quint32 *pixelsOf(QImage &image)
{
    return reinterpret_cast<quint32 *>(const_cast<uchar *>(image.constBits()));
}

// One step of a signature that depends on the order of its parts.
inline quint64 mixed(quint64 h, quint64 part)
{
    h ^= part + 0x9e3779b97f4a7c15ULL + (h << 12) + (h >> 4);
    h *= 0xff51afd7ed558ccdULL;
    return h ^ (h >> 33);
}

inline quint64 bitsOf(double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline quint64 pointBits(int x, int y)
{
    return (quint64(quint32(x)) << 32) | quint32(y);
}

const QTransform &quarterTurn()
{
    static const QTransform turn = QTransform().rotate(-90);
    return turn;
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
        ^ uint(key.turned) ^ (uint(key.edgeX) << 8) ^ (uint(key.edgeY) << 16);
}

Canvas::Canvas(QPainter *painter, const CanvasStyle &style, Painting painting)
    : painter(painter)
    , canvasStyle(&style)
    , painting(writableImage(painter) ? painting : Painting::Plain)
    , tileColumns((style.canvasSize.width() + tile - 1) >> tileShift)
    , tileRows((style.canvasSize.height() + tile - 1) >> tileShift)
{
    if (this->painting == Painting::Fast) {
        tiles.fill({0, 0, 0}, tileColumns * tileRows);
        dirtyTiles.fill(0, tileColumns * tileRows);
        dirtyRows.fill(0, tileRows);
    }
}

void Canvas::drawBackground()
{
    if (painting == Painting::Plain) {
        paintBackground();
        return;
    }
    marks.clear();
    spilled = QImage();
    frameTiles.clear();
    if (++frameSerial == 0) {
        for (TileState &state : tiles)
            state.seen = 0;
        frameSerial = 1;
    }
    // The background's numbers follow the painter's font and hints.
    if (background.isNull() || painter->font() != backgroundFont
        || painter->renderHints() != backgroundHints)
        makeBackground();
    setPenAfterBackground();
}

// The bare background in an image of its own, painted by the plain calls with the painter's
// font and hints; the canvas image is then unknown until shown whole.
void Canvas::makeBackground()
{
    background = QImage(canvasStyle->canvasSize, writableImage(painter)->format());
    QPainter onBackground(&background);
    onBackground.setFont(painter->font());
    onBackground.setRenderHints(painter->renderHints());
    Canvas(&onBackground, *canvasStyle, Painting::Plain).paintBackground();
    onBackground.end();
    backgroundFill.fill(0, tileColumns * tileRows);
    for (int t = 0; t < tileColumns * tileRows; ++t) {
        const QRect area = QRect((t % tileColumns) * tile, (t / tileColumns) * tile, tile, tile)
            & background.rect();
        const quint32 first
            = reinterpret_cast<const quint32 *>(background.constScanLine(area.top()))[area.left()];
        bool one = true;
        for (int y = area.top(); y <= area.bottom() && one; ++y) {
            const auto *line = reinterpret_cast<const quint32 *>(background.constScanLine(y));
            one = std::all_of(line + area.left(), line + area.right() + 1,
                              [first](quint32 pixel) { return pixel == first; });
        }
        backgroundFill[t] = one ? first : 0;
    }
    backgroundFont = painter->font();
    backgroundHints = painter->renderHints();
    shownUnknown = true;
}

void Canvas::paintBackground()
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
        painter->drawLine(QLine(x, 0, x, h));
    for (int k = 1; k <= s.scaleCount; ++k)
        drawNumber(QPointF(0, s.scaleBaseY - 100 * k), s.scaleStep * k, false);

    if (!s.outline.isEmpty()) {
        painter->setPen(QColor(Qt::blue));
        for (const QLine &line : s.outline)
            painter->drawLine(line);
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

void Canvas::paintPoint(qint16 x, qint16 y, int n)
{
    if (y <= 0)
        return;
    const CanvasStyle &s = *canvasStyle;

    // Scaled in floating point, then truncated toward zero like an int conversion does.
    const int top = int(double(s.squareBaseY) - double(s.squareYNum) * y / s.squareYDen);
    const int left = x + s.squareOffsetX;
    takePen();
    if (s.pointTexts)
        setPen(QColor(Qt::red));
    drawRect(QRect(QPoint(left, top), QPoint(left + 3, top + 3)));
    if (!s.pointTexts)
        return;

    // The numbers read upwards: under -90 degrees a logical (u, v) lands on the canvas at (v, -u).
    // Positions in floating point: a stream that never ends a frame keeps raising n.
    const double v = double(s.columnPitch) * n;
    if (painting == Painting::Plain)
        painter->rotate(-90);
    setPen(QColor(Qt::black));
    drawNumber(QPointF(s.indexText.u, s.indexText.v + v), qint64(n) + s.indexBase, true);
    setPen(s.xZones.colourFor(x));
    drawNumber(QPointF(s.xText.u, s.xText.v + v), x, true);
    setPen(s.yZones.colourFor(y));
    drawNumber(QPointF(s.yText.u, s.yText.v + v), y, true);
    if (painting == Painting::Plain)
        painter->rotate(90);
    leavePen();
}

void Canvas::paintFlagByte(quint8 byte, int k)
{
    const CanvasStyle &s = *canvasStyle;
    if (!s.flags)
        return;
    takePen();
    setPen(QColor(Qt::red));
    for (int j = 0; j < 8; ++j) {
        if (!(byte & (0x80 >> j)))
            continue;
        const int c = 8 * s.flagCellPitch * k + s.flagCellPitch * j;
        drawRect(QRect(QPoint(c, s.flagTop), QPoint(c + s.flagCellWidth - 1, s.flagBottom)));
        if (s.flagNumbers)
            drawNumber(QPointF(c + s.flagNumberDx, s.flagNumberY), c / s.flagCellPitch + 1, false);
    }
    leavePen();
}

// The fast canvas keeps the pen's colour itself through a painting call and sets the painter's
// pen once at its end: setting it costs more than a glyph.
void Canvas::takePen()
{
    if (painting == Painting::Plain)
        return;
    const QPen &pen = painter->pen();
    penColour = pen.color().rgba();
    penSolid = pen.style() == Qt::SolidLine && pen.brush().style() == Qt::SolidPattern
        && pen.color().alpha() == 255;
    penChanged = false;
}

void Canvas::setPen(const QColor &colour)
{
    if (painting == Painting::Plain) {
        painter->setPen(colour);
        return;
    }
    penColour = colour.rgba();
    penSolid = colour.alpha() == 255;
    penChanged = true;
}

void Canvas::leavePen()
{
    if (painting == Painting::Fast && penChanged
        && painter->pen() != QPen(QColor::fromRgba(penColour)))
        painter->setPen(QColor::fromRgba(penColour));
}

QRect Canvas::onCanvas(const QRect &rect) const
{
    return rect & QRect(QPoint(0, 0), canvasStyle->canvasSize);
}

// Outlines the rectangle as drawRect does with the canvas' pens: its left and top edges, and one
// pixel beyond its right and bottom edges, each a one-pixel fill. An outline that the canvas'
// edge cuts is left to the painter, whose clipping has quirks of its own (cut on the left, it
// leaves out a corner).
void Canvas::drawRect(const QRect &rect)
{
    if (painting == Painting::Plain) {
        painter->drawRect(rect);
        return;
    }
    const QRect outer(rect.topLeft(), rect.bottomRight() + QPoint(1, 1));
    const quint32 colour = penColour;
    if (onCanvas(outer) != outer || !penSolid) {
        Mark outline;
        outline.kind = Mark::Outline;
        outline.colour = colour;
        // A pixel more on every side, for an antialiased painter.
        outline.bounds = onCanvas(outer.adjusted(-1, -1, 1, 1));
        outline.rect = rect;
        outline.hints = painter->renderHints();
        outline.signature = mixed(
            mixed(pointBits(rect.left(), rect.top()), pointBits(rect.right(), rect.bottom())),
            outline.hints);
        note(std::move(outline));
        return;
    }
    for (const QRect &edge :
         {QRect(outer.topLeft(), outer.topRight()), QRect(outer.bottomLeft(), outer.bottomRight()),
          QRect(outer.topLeft(), outer.bottomLeft()),
          QRect(outer.topRight(), outer.bottomRight())}) {
        Mark fill;
        fill.kind = Mark::Fill;
        fill.colour = colour;
        fill.bounds = edge;
        note(std::move(fill));
    }
}

// Draws the number as drawText does, with the left end of its baseline at `at`, under the
// canvas' quarter turn where `turned`.
void Canvas::drawNumber(const QPointF &at, qint64 value, bool turned)
{
    if (painting == Painting::Plain)
        painter->drawText(at, QString::number(value));
    else
        noteNumber(at, value, turned);
}

const Canvas::NumberText &Canvas::layoutOf(qint64 value)
{
    auto text = kept.constFind(value);
    if (text != kept.constEnd())
        return *text;
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
    return *kept.insert(value, laidOut);
}

// Notes the number's glyphs, each blended from its stamp, where every one of them can be: a
// solid opaque pen, and every glyph inside the canvas; else the number as the painter draws it.
void Canvas::noteNumber(const QPointF &at, qint64 value, bool turned)
{
    // The layouts and stamps follow the painter's font and hints. The marks noted so far use the
    // stamps there are, so they are painted before those go.
    if (painter->font() != keptFont || painter->renderHints() != stampHints
        || kept.size() >= maxKeptNumbers || stampStore.size() + maxOwnGlyphs > maxKeptStamps) {
        if (!marks.isEmpty())
            spill();
        kept.clear();
        stampIndex.clear();
        stampStore.clear();
        stampCoverage.clear();
        forgetNotedNumbers();
        ++stampGeneration;
        keptFont = painter->font();
        stampHints = painter->renderHints();
        sharedRunSet = false;
    }
    // A number at the same place as before gives the same marks (a frame's column numbers are
    // those of the last one, and many of its other numbers too).
    const NumberPlace place {value, at.x(), at.y(), penColour, turned};
    // Noting a new number leaves the table as it is, so its free slot stays the one to fill.
    NotedNumber *slot = nullptr;
    if (penSolid) {
        if (notedMarks.size() >= maxNotedMarks || notedCount >= maxNotedNumbers)
            forgetNotedNumbers();
        slot = &notedSlot(place);
        if (slot->first >= 0) {
            for (int i = slot->first; i < slot->first + slot->count; ++i)
                note(Mark(notedMarks.at(i)));
            return;
        }
    }
    const int first = notedMarks.size();
    noteNewNumber(at, value, turned);
    if (slot) {
        *slot = {place, first, int(notedMarks.size()) - first};
        ++notedCount;
    }
    for (int i = first; i < notedMarks.size(); ++i)
        note(Mark(notedMarks.at(i)));
}

// The slot of the number at the place, or the free one where it would go.
Canvas::NotedNumber &Canvas::notedSlot(const NumberPlace &place)
{
    if (noted.isEmpty())
        noted.resize(2 * maxNotedNumbers);
    const int mask = noted.size() - 1;
    int slot = int(mixed(mixed(mixed(quint64(place.value), bitsOf(place.x)), bitsOf(place.y)),
                         (quint64(place.colour) << 1) | place.turned)
                   & quint64(mask));
    while (noted[slot].first >= 0 && !(noted[slot].place == place))
        slot = (slot + 1) & mask;
    return noted[slot];
}

void Canvas::forgetNotedNumbers()
{
    std::fill(noted.begin(), noted.end(), NotedNumber());
    notedCount = 0;
    notedMarks.clear();
}

// Adds the number's marks to notedMarks.
void Canvas::noteNewNumber(const QPointF &at, qint64 value, bool turned)
{
    const NumberText &text = layoutOf(value);
    const QTransform &transform = turned ? quarterTurn() : QTransform();
    const quint32 colour = penColour;

    Mark number;
    number.kind = Mark::Text;
    number.turned = turned;
    number.colour = colour;
    // Where the glyphs land, with two pixels more on every side for their antialiased edges.
    number.bounds = onCanvas(
        transform.mapRect(text.extent.translated(at)).toAlignedRect().adjusted(-2, -2, 2, 2));
    number.value = value;
    number.at = at;
    if (number.bounds.isEmpty())
        return;

    // The runs are placed from the layout's top left; drawText places the baseline.
    const QPointF origin(at.x(), at.y() - text.ascent);
    int stampOf[maxOwnGlyphs];
    QPoint pixelOf[maxOwnGlyphs];
    quint64 keyOf[maxOwnGlyphs];
    bool stamped = text.glyphCount >= 0 && penSolid;
    for (int g = 0; stamped && g < text.glyphCount; ++g) {
        stampOf[g] = glyphStamp(text, g, origin, turned, transform, &pixelOf[g], &keyOf[g]);
        stamped = stampOf[g] >= 0;
    }
    if (!stamped) {
        number.hints = painter->renderHints();
        number.signature
            = mixed(mixed(mixed(mixed(bitsOf(at.x()), bitsOf(at.y())), quint64(value)), turned),
                    mixed(stampGeneration, number.hints));
        notedMarks.append(number);
        return;
    }
    for (int g = 0; g < text.glyphCount; ++g) {
        const Stamp &stamp = stampStore.at(stampOf[g]);
        if (stamp.bounds.isEmpty())
            continue;
        Mark glyph;
        glyph.kind = Mark::Glyph;
        glyph.colour = colour;
        glyph.bounds = stamp.bounds.translated(pixelOf[g]);
        glyph.pixel = pixelOf[g];
        glyph.stamp = stampOf[g];
        glyph.signature = keyOf[g];
        notedMarks.append(glyph);
    }
}

// The stamp of the number's glyph g, and the whole pixel and signature of its place; -1 where the
// painter must draw the number.
int Canvas::glyphStamp(const NumberText &text, int g, const QPointF &origin, bool turned,
                       const QTransform &transform, QPoint *pixel, quint64 *signature)
{
    // The painter places each glyph by its own position on the canvas.
    const QPointF place = transform.map(origin + text.glyphPositions[g]);
    *pixel = QPoint(qFloor(place.x()), qFloor(place.y()));
    // Left of or above the canvas' fourth pixels, or where what it covers reaches the canvas'
    // left or top edge, the painter may cut the glyph at that edge: its stamp is one made at the
    // edge.
    StampKey key {text.glyphIndexes[g],
                  turned,
                  place.x() - pixel->x(),
                  place.y() - pixel->y(),
                  place.x() < 4 ? pixel->x() : notAtEdge,
                  place.y() < 4 ? pixel->y() : notAtEdge};
    int index = stampFor(key, *pixel, origin, text, g, transform);
    QRect reach = stampStore.at(index).bounds.translated(*pixel).adjusted(-1, -1, 1, 1);
    if (!stampStore.at(index).bounds.isNull() && (reach.left() < 0 || reach.top() < 0)) {
        key.edgeX = reach.left() < 0 ? pixel->x() : key.edgeX;
        key.edgeY = reach.top() < 0 ? pixel->y() : key.edgeY;
        index = stampFor(key, *pixel, origin, text, g, transform);
        reach = stampStore.at(index).bounds.translated(*pixel).adjusted(-1, -1, 1, 1);
    }
    const Stamp &stamp = stampStore.at(index);
    const QRect inside
        = QRect(QPoint(0, 0), canvasStyle->canvasSize)
              .adjusted(key.edgeX == notAtEdge ? 0 : -1, key.edgeY == notAtEdge ? 0 : -1, 0, 0);
    if (!stamp.usable || (!stamp.bounds.isNull() && !inside.contains(reach)))
        return -1;
    // The stamp by what it is made of: its index is given again once the stamps are made anew.
    *signature = mixed(mixed(mixed(mixed(mixed(key.glyph, key.turned), bitsOf(key.fractionX)),
                                   bitsOf(key.fractionY)),
                             pointBits(key.edgeX, key.edgeY)),
                       stampGeneration);
    return index;
}

int Canvas::stampFor(const StampKey &key, const QPoint &pixel, const QPointF &origin,
                     const NumberText &text, int glyph, const QTransform &transform)
{
    auto found = stampIndex.constFind(key);
    if (found != stampIndex.constEnd())
        return *found;
    stampStore.append(makeStamp(key, pixel, origin, text, glyph, transform));
    stampIndex.insert(key, stampStore.size() - 1);
    return stampStore.size() - 1;
}

// Adds a mark to the frame, and its signature to that of every tile it lies on; in a spilled
// frame, paints it at once.
void Canvas::note(Mark &&mark)
{
    if (!spilled.isNull()) {
        paintMark(mark, spilled, nullptr, nullptr);
        return;
    }
    const QRect &b = mark.bounds;
    mark.signature = mixed(mixed(mixed(mixed(mark.kind, mark.colour), pointBits(b.left(), b.top())),
                                 pointBits(b.right(), b.bottom())),
                           mark.signature);
    for (int row = b.top() >> tileShift; row <= b.bottom() >> tileShift; ++row) {
        for (int column = b.left() >> tileShift; column <= b.right() >> tileShift; ++column) {
            const int t = row * tileColumns + column;
            TileState &state = tiles[t];
            if (state.seen != frameSerial) {
                state.seen = frameSerial;
                state.frame = 0x243f6a8885a308d3ULL;
                frameTiles.append(t);
            }
            state.frame = mixed(state.frame, mark.signature);
        }
    }
    marks.append(std::move(mark));
    if (marks.size() >= maxMarks)
        spill();
}

// From now on the frame is painted as it comes, onto an image of its own.
void Canvas::spill()
{
    spilled = frameSoFar();
    marks.clear();
}

QImage Canvas::frameSoFar()
{
    if (painting == Painting::Plain)
        return writableImage(painter) ? writableImage(painter)->copy() : QImage();
    if (!spilled.isNull())
        return spilled.copy();
    QImage image = background.copy();
    for (const Mark &mark : qAsConst(marks))
        paintMark(mark, image, nullptr, nullptr);
    return image;
}

QRegion Canvas::show()
{
    const QRect whole(QPoint(0, 0), canvasStyle->canvasSize);
    if (painting == Painting::Plain)
        return whole;
    QImage &image = *writableImage(painter);
    const int rowBytes = whole.width() * 4;
    if (!spilled.isNull()) {
        for (int y = 0; y < whole.height(); ++y)
            std::memcpy(pixelsOf(image) + y * (image.bytesPerLine() / 4), spilled.constScanLine(y),
                        rowBytes);
        shownUnknown = true;
        return whole;
    }

    if (!markDirtyTiles())
        return QRegion();
    const QVector<QRect> runs = restoreDirtyTiles(image);
    for (const Mark &mark : qAsConst(marks)) {
        const QRect &b = mark.bounds;
        bool onDirty = false;
        for (int row = b.top() >> tileShift; row <= b.bottom() >> tileShift && !onDirty; ++row) {
            const quint8 *dirty = dirtyTiles.constData() + row * tileColumns;
            for (int column = b.left() >> tileShift; column <= b.right() >> tileShift; ++column)
                onDirty = onDirty || dirty[column];
        }
        if (onDirty)
            paintMark(mark, image, painter, dirtyTiles.constData());
    }
    for (int row = 0; row < tileRows; ++row) {
        if (dirtyRows[row]) {
            dirtyRows[row] = 0;
            std::fill_n(dirtyTiles.data() + row * tileColumns, tileColumns, 0);
        }
    }
    QRegion region;
    region.setRects(runs.constData(), runs.size());
    return region;
}

// Marks the tiles whose marks differ from those the image holds; false when there are none.
bool Canvas::markDirtyTiles()
{
    bool anyDirty = false;
    auto consider = [&](int t) {
        TileState &state = tiles[t];
        const quint64 now = state.seen == frameSerial ? state.frame : 0;
        if (shownUnknown || now != state.shown) {
            dirtyTiles[t] = 1;
            dirtyRows[t / tileColumns] = 1;
            anyDirty = true;
        }
        state.shown = now;
    };
    if (shownUnknown) {
        for (int t = 0; t < tileColumns * tileRows; ++t)
            consider(t);
    } else {
        for (int t : qAsConst(frameTiles))
            consider(t);
        for (int t : qAsConst(shownTiles))
            consider(t);
    }
    shownUnknown = false;
    shownTiles = frameTiles;
    return anyDirty;
}

// Puts the background back in each run of neighbouring dirty tiles; gives the runs, for whoever
// shows the image.
QVector<QRect> Canvas::restoreDirtyTiles(QImage &image)
{
    const QRect whole(QPoint(0, 0), canvasStyle->canvasSize);
    QVector<QRect> runs;
    const qsizetype stride = image.bytesPerLine() / 4;
    quint32 *bits = pixelsOf(image);
    const auto *bare = reinterpret_cast<const quint32 *>(background.constBits());
    const qsizetype bareStride = background.bytesPerLine() / 4;
    for (int row = 0; row < tileRows; ++row) {
        if (!dirtyRows[row])
            continue;
        const quint8 *dirty = dirtyTiles.constData() + row * tileColumns;
        for (int column = 0; column < tileColumns; ++column) {
            const void *next = std::memchr(dirty + column, 1, tileColumns - column);
            if (!next)
                break;
            column = int(static_cast<const quint8 *>(next) - dirty);
            const int first = column;
            while (column < tileColumns && dirty[column])
                ++column;
            const QRect run
                = QRect(first * tile, row * tile, (column - first) * tile, tile) & whole;
            // A tile of one colour is filled, which leaves the background's lines unread.
            const quint32 *fills = backgroundFill.constData() + row * tileColumns;
            for (int y = run.top(); y <= run.bottom(); ++y) {
                for (int t = first; t < column; ++t) {
                    const int left = t * tile;
                    const int width = qMin(tile, whole.width() - left);
                    if (fills[t])
                        std::fill_n(bits + y * stride + left, width, fills[t]);
                    else
                        std::memcpy(bits + y * stride + left, bare + y * bareStride + left,
                                    width * sizeof(quint32));
                }
            }
            // Whoever shows the image copies it a line of a rectangle at a time, at a cost for
            // each line that exceeds that of a few hundred pixels: a run near the last one on
            // the row joins it.
            if (!runs.isEmpty() && runs.last().top() == run.top()
                && run.left() - runs.last().right() <= showGap)
                runs.last().setRight(run.right());
            else
                runs.append(run);
        }
    }
    return runs;
}

template<typename Paint>
void Canvas::inDirtyTiles(const QRect &rect, const quint8 *dirty, Paint &&paint) const
{
    if (!dirty) {
        paint(rect);
        return;
    }
    for (int row = rect.top() >> tileShift; row <= rect.bottom() >> tileShift; ++row) {
        for (int column = rect.left() >> tileShift; column <= rect.right() >> tileShift; ++column) {
            if (dirty[row * tileColumns + column])
                paint(rect & QRect(column * tile, row * tile, tile, tile));
        }
    }
}

// Fills the rectangle as fillRect does with an opaque colour, only in the dirty tiles if given.
void Canvas::fillWithin(QImage &image, const QRect &rect, quint32 colour, const quint8 *dirty)
{
    const qsizetype stride = image.bytesPerLine() / 4;
    quint32 *bits = pixelsOf(image);
    inDirtyTiles(rect, dirty, [&](const QRect &part) {
        for (int y = part.top(); y <= part.bottom(); ++y)
            std::fill_n(bits + y * stride + part.left(), part.width(), colour);
    });
}

// Paints the mark into the image, only in the dirty tiles if given. A painter's call goes through
// `onImage`, a painter on the image whose state it leaves as it was, or a painter of its own.
void Canvas::paintMark(const Mark &mark, QImage &image, QPainter *onImage, const quint8 *dirty)
{
    switch (mark.kind) {
    case Mark::Fill:
        fillWithin(image, mark.bounds, mark.colour, dirty);
        return;
    case Mark::Glyph: {
        const Stamp &stamp = stampStore.at(mark.stamp);
        const qsizetype stride = image.bytesPerLine() / 4;
        const quint8 *coverage = stampCoverage.constData() + stamp.first;
        const QRect &b = mark.bounds;
        inDirtyTiles(b, dirty, [&](const QRect &part) {
            for (int y = part.top(); y <= part.bottom(); ++y) {
                quint32 *line = pixelsOf(image) + y * stride;
                const quint8 *covered = coverage + (y - b.top()) * b.width() - b.left();
                for (int x = part.left(); x <= part.right(); ++x) {
                    if (covered[x])
                        line[x] = blendGlyph(mark.colour, covered[x], line[x]);
                }
            }
        });
        return;
    }
    case Mark::Outline:
    case Mark::Text:
        break;
    }
    QPainter own;
    if (!onImage) {
        own.begin(&image);
        onImage = &own;
    }
    onImage->save();
    onImage->setPen(QColor::fromRgba(mark.colour));
    onImage->setFont(keptFont);
    onImage->setRenderHints(~mark.hints, false);
    onImage->setRenderHints(mark.hints, true);
    if (dirty) {
        QRegion within;
        inDirtyTiles(mark.bounds, dirty, [&](const QRect &part) { within += part; });
        onImage->setClipRegion(within);
    }
    if (mark.kind == Mark::Outline) {
        onImage->drawRect(mark.rect);
    } else {
        // The number's kept layout, which drawText would make again.
        if (mark.turned)
            onImage->rotate(-90);
        const NumberText &text = layoutOf(mark.value);
        const QPointF origin(mark.at.x(), mark.at.y() - text.ascent);
        if (text.glyphCount >= 0) {
            sharedRun.setRawData(text.glyphIndexes, text.glyphPositions, text.glyphCount);
            onImage->drawGlyphRun(origin, sharedRun);
        }
        for (const QGlyphRun &run : text.runs)
            onImage->drawGlyphRun(origin, run);
    }
    onImage->restore();
}

// Paints the glyph alone on a white sheet, with the transform and moved by whole pixels from its
// place on the canvas to the sheet's middle, and reads back what it covers. A glyph at the
// canvas' left or top edge keeps its distance from that edge of the sheet, so that the sheet cuts
// it as the canvas does. A glyph the painter colours channel by channel (subpixel antialiasing),
// or one larger than the sheet, gives no usable stamp.
Canvas::Stamp Canvas::makeStamp(const StampKey &key, const QPoint &pixel, const QPointF &at,
                                const NumberText &text, int glyph, const QTransform &transform)
{
    constexpr int middle = 128;
    if (stampSheet.isNull()) {
        stampSheet = QImage(2 * middle, 2 * middle, QImage::Format_RGB32);
        stampSheet.fill(Qt::white);
    }
    QPainter sheet(&stampSheet);
    sheet.setRenderHints(stampHints);
    sheet.setFont(keptFont);
    sheet.setTransform(transform);
    sheet.setPen(QColor(Qt::black));
    // Whole pixels on the sheet are whole units before the transform (a quarter turn at most).
    const QPoint onSheet(key.edgeX == notAtEdge ? middle : pixel.x(),
                         key.edgeY == notAtEdge ? middle : pixel.y());
    const QPointF origin = at + transform.inverted().map(QPointF(onSheet - pixel));
    sharedRun.setRawData(text.glyphIndexes + glyph, text.glyphPositions + glyph, 1);
    QRect reach = transform.mapRect(sharedRun.boundingRect().translated(origin))
                      .toAlignedRect()
                      .adjusted(-3, -3, 3, 3);
    if (key.edgeX != notAtEdge)
        reach.setLeft(qMax(reach.left(), 0));
    if (key.edgeY != notAtEdge)
        reach.setTop(qMax(reach.top(), 0));
    Stamp stamp;
    stamp.usable = stampSheet.rect().contains(reach);
    if (!stamp.usable)
        return stamp;
    sheet.drawGlyphRun(origin, sharedRun);
    auto coverageAt = [&](int x, int y) {
        return 255 - int(reinterpret_cast<const quint32 *>(stampSheet.constScanLine(y))[x] & 0xff);
    };
    QRect covered;
    for (int y = reach.top(); y <= reach.bottom(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(stampSheet.constScanLine(y));
        for (int x = reach.left(); x <= reach.right(); ++x) {
            const quint32 pixel = line[x] & 0xffffff;
            if (pixel == 0xffffff)
                continue;
            const quint32 blue = pixel & 0xff;
            stamp.usable = stamp.usable && ((pixel >> 8) & 0xff) == blue && (pixel >> 16) == blue;
            covered |= QRect(x, y, 1, 1);
        }
    }
    stamp.bounds = covered.translated(-onSheet);
    stamp.first = stampCoverage.size();
    for (int y = covered.top(); y <= covered.bottom(); ++y) {
        for (int x = covered.left(); x <= covered.right(); ++x)
            stampCoverage.append(quint8(coverageAt(x, y)));
    }
    // The blending assumed must be the painter's: the glyph in a colour over another colour gives
    // what the stamp gives, pixel by pixel, and nothing beside.
    const quint32 ground = 0xff807060;
    const QColor ink(40, 160, 220);
    sheet.resetTransform();
    sheet.fillRect(reach, QColor::fromRgb(ground));
    sheet.setTransform(transform);
    sheet.setPen(ink);
    sheet.drawGlyphRun(origin, sharedRun);
    for (int y = reach.top(); y <= reach.bottom() && stamp.usable; ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(stampSheet.constScanLine(y));
        for (int x = reach.left(); x <= reach.right(); ++x) {
            const int coverage = covered.contains(x, y)
                ? stampCoverage.at(stamp.first + (y - covered.top()) * covered.width() + x
                                   - covered.left())
                : 0;
            const quint32 expected
                = coverage ? blendGlyph(ink.rgba(), quint32(coverage), ground) : ground;
            stamp.usable = stamp.usable && (line[x] & 0xffffff) == (expected & 0xffffff);
        }
    }
    sheet.resetTransform();
    sheet.fillRect(reach, Qt::white);
    return stamp;
}
