#pragma once

#include "render/canvasstyle.h"

#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QRect>
#include <QRegion>
#include <QVector>
#include <QtGlobal>

class QLine;
class QPointF;

// Paints the background, the points and the flag cells of a frame through the one long-lived
// painter of the window's canvas. It owns neither the painter nor the image; it keeps the
// painter's state as the painting rules leave it (the pen carries over between calls).
class Canvas
{
public:
    // Plain paints with the painter's calls the painting rules name (drawText, drawLine,
    // drawRect) as each point and flag byte comes. Fast gives the same pixels for less CPU time:
    // it notes what each call would paint (a fill, a glyph blended from a stamp of what the
    // painter's glyph covers, or, where that cannot be done, the painter's own call) and paints
    // the canvas only when asked to show it, and then only in the tiles whose list of what lies
    // on them differs from what the canvas holds: a frame mostly paints what the last one did
    // (the column numbers, most digits), and a frame's pixels cost more than their drawing.
    enum class Painting { Fast, Plain };

    // painter: the one long-lived painter, active on the canvas image whenever the canvas paints
    // (it may end and begin again on the same image in between), the image in the format of the
    // platform's opaque pixmaps. Its transform and render hints stay as a new painter has them,
    // except while the plain canvas turns it for a point's numbers.
    Canvas(QPainter *painter, const CanvasStyle &style, Painting painting = Painting::Fast);

    // Starts a frame on the bare background: the plain canvas paints it at once, the fast one
    // when it next shows the canvas.
    void drawBackground();
    // Paints the point (x, y) of column n; a point with y of 0 or below paints nothing.
    void paintPoint(qint16 x, qint16 y, int n);
    // Paints the eight flag cells of flag byte k (0 to 3) after a frame marker.
    void paintFlagByte(quint8 byte, int k);
    // Brings the canvas image up to date with what the frame painted so far and gives where it
    // changed, in canvas pixels: runs of 8-pixel tiles, those of a row that lie near each other
    // joined.
    QRegion show();
    // The frame painted so far on the bare background, in an image of its own, leaving the
    // canvas image as it is.
    QImage frameSoFar();

    const CanvasStyle &style() const { return *canvasStyle; }

private:
    // A number's layout. Most numbers are one run in the font of all the others: their glyphs
    // are kept here, and each is blended from its stamp.
    static constexpr int maxOwnGlyphs = 12;
    struct NumberText
    {
        qreal ascent = 0;
        // The glyphs' extent, with the left end of the baseline at (0, 0).
        QRectF extent;
        int glyphCount = -1; // -1: the runs below
        quint32 glyphIndexes[maxOwnGlyphs];
        QPointF glyphPositions[maxOwnGlyphs];
        QList<QGlyphRun> runs;
    };

    // A glyph as the painter blends it into an image: the pixels it covers, relative to the whole
    // pixel at or before its place on the canvas. The painter places a glyph by the fraction of
    // that place, so a stamp holds for one glyph, one fraction and one turn of the painter. Near
    // the canvas' left or top edge, where the painter cuts and rounds a glyph otherwise, it holds
    // for that whole pixel too (edgeX, edgeY; else notAtEdge).
    static constexpr int notAtEdge = -(1 << 30);
    struct StampKey
    {
        quint32 glyph;
        bool turned;
        double fractionX;
        double fractionY;
        int edgeX;
        int edgeY;
        bool operator==(const StampKey &o) const
        {
            return glyph == o.glyph && turned == o.turned && fractionX == o.fractionX
                && fractionY == o.fractionY && edgeX == o.edgeX && edgeY == o.edgeY;
        }
    };
    friend uint qHash(const StampKey &key, uint seed);
    struct Stamp
    {
        bool usable = false;
        QRect bounds; // of the covered pixels, relative to the place's pixel
        // The coverage of each pixel of the bounds, line by line, in stampCoverage, where all
        // stamps lie together so that a frame's glyphs read few lines of memory; 0 where the
        // glyph does not cover it.
        int first = 0;
    };

    // What one painting call puts on the canvas, in the order of the calls.
    struct Mark
    {
        enum Kind : quint8 { Fill, Glyph, Outline, Text } kind = Fill;
        bool turned = false; // Text: drawn under the quarter turn
        quint32 colour = 0;
        QRect bounds; // every pixel it may touch, inside the canvas
        QPoint pixel; // Glyph: where its stamp is placed
        int stamp = -1; // Glyph: in stampStore
        QRect rect; // Outline: the rectangle drawRect is given
        qint64 value = 0; // Text
        QPointF at; // Text: the left end of the baseline, before the turn
        QPainter::RenderHints hints; // Outline, Text: the painter's
        quint64 signature = 0;
    };

    // A number as noted: where, what and in which colour, under the quarter turn or not.
    struct NumberPlace
    {
        qint64 value;
        double x;
        double y;
        quint32 colour;
        bool turned;
        bool operator==(const NumberPlace &o) const
        {
            return value == o.value && x == o.x && y == o.y && colour == o.colour
                && turned == o.turned;
        }
    };
    // Its marks in notedMarks, in a table found by open addressing: one line of memory a number.
    struct NotedNumber
    {
        NumberPlace place;
        int first = -1; // -1: a free slot
        int count = 0;
    };

    void note(Mark &&mark);
    void noteNewNumber(const QPointF &at, qint64 value, bool turned);
    void takePen();
    void setPen(const QColor &colour);
    void leavePen();
    void spill();
    bool markDirtyTiles();
    QVector<QRect> restoreDirtyTiles(QImage &image);
    void paintMark(const Mark &mark, QImage &image, QPainter *onImage, const quint8 *dirty);
    void fillWithin(QImage &image, const QRect &rect, quint32 colour, const quint8 *dirty);
    // Calls paint for each part of the rectangle in a dirty tile, or for all of it without them.
    template<typename Paint>
    void inDirtyTiles(const QRect &rect, const quint8 *dirty, Paint &&paint) const;
    void noteNumber(const QPointF &at, qint64 value, bool turned);
    NotedNumber &notedSlot(const NumberPlace &place);
    void forgetNotedNumbers();
    int glyphStamp(const NumberText &text, int g, const QPointF &origin, bool turned,
                   const QTransform &transform, QPoint *pixel, quint64 *signature);
    int stampFor(const StampKey &key, const QPoint &pixel, const QPointF &origin,
                 const NumberText &text, int glyph, const QTransform &transform);
    Stamp makeStamp(const StampKey &key, const QPoint &pixel, const QPointF &origin,
                    const NumberText &text, int glyph, const QTransform &transform);
    const NumberText &layoutOf(qint64 value);
    void makeBackground();
    void paintBackground();
    void setPenAfterBackground();
    void drawRect(const QRect &rect);
    void drawNumber(const QPointF &at, qint64 value, bool turned);
    QRect onCanvas(const QRect &rect) const;

    QPainter *painter;
    const CanvasStyle *canvasStyle;
    Painting painting;

    // The fast canvas' caches: layouts of the numbers drawn so far and the stamps of their
    // glyphs, made with keptFont and stampHints.
    QHash<qint64, NumberText> kept;
    QFont keptFont;
    QPainter::RenderHints stampHints;
    QHash<StampKey, int> stampIndex;
    QVector<Stamp> stampStore;
    QVector<quint8> stampCoverage;
    // Raised whenever the stamps are made anew, so that a mark of the old ones differs.
    quint32 stampGeneration = 0;
    QGlyphRun sharedRun;
    bool sharedRunSet = false;
    // The marks of each number noted so far.
    QVector<NotedNumber> noted;
    int notedCount = 0;
    QVector<Mark> notedMarks;
    // The pen through a painting call of the fast canvas.
    quint32 penColour = 0;
    bool penSolid = true;
    bool penChanged = false;
    // Where stamps are made: white, painted with the canvas' transform.
    QImage stampSheet;

    // The bare background, painted by the plain calls, and the font and hints it was painted
    // with.
    QImage background;
    // Per tile, the one colour of the background there, or 0 where it has more (its pixels are
    // opaque).
    QVector<quint32> backgroundFill;
    QFont backgroundFont;
    QPainter::RenderHints backgroundHints;

    // This frame's marks and, per tile, the running signature of those on it; a frame with more
    // marks than kept is painted as they come onto an image of its own, spilled.
    QVector<Mark> marks;
    QImage spilled;
    static constexpr int tileShift = 3;
    static constexpr int tile = 1 << tileShift;
    int tileColumns = 0;
    int tileRows = 0;
    struct TileState
    {
        quint64 frame; // the signature of this frame's marks on it
        quint64 shown; // of what the canvas image holds there, 0 for the bare background
        quint32 seen; // the frame serial of the last mark on it
    };
    QVector<TileState> tiles;
    quint32 frameSerial = 1;
    QVector<int> frameTiles; // the tiles this frame's marks lie on
    QVector<int> shownTiles; // the tiles where the canvas image holds marks
    // The canvas image is unknown before it was first shown, and after a spilled frame or a new
    // background.
    bool shownUnknown = true;
    // Per tile, and per row of tiles: whether show() paints it.
    QVector<quint8> dirtyRows;
    QVector<quint8> dirtyTiles;
};
