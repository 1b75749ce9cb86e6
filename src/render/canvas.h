#pragma once

#include "render/canvasstyle.h"

#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QRect>
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
    // Plain paints with the painter's calls the painting rules name: drawText, drawLine, drawRect.
    // Fast paints the same pixels for less CPU time, where that pays: each number's glyphs from a
    // layout made once (laying a text out is most of what drawText costs); lines along an axis,
    // outlines too, as one-pixel-wide filled rectangles (the painter's line drawing steps through
    // a line pixel by pixel); and the background put back only where a frame painted, from a copy
    // kept of it (the whole canvas is megabytes, a frame's points cover a few percent of it). On a
    // canvas image it also writes pixels itself where the painter would write the
    // same: small fills, and each glyph of a number blended from a stamp of what the painter's
    // glyph covers (the painter's calls for each of a frame's hundred numbers and three hundred
    // small rectangles cost more than their pixels).
    enum class Painting { Fast, Plain };

    // painter: the one long-lived painter, active on the canvas image whenever the canvas paints
    // (it may end and begin again on the same image in between); on another device the canvas
    // leaves every pixel to the painter and paints the background whole. Its transform and
    // render hints stay as a new painter has them, except while the canvas turns it for a point's
    // numbers.
    Canvas(QPainter *painter, const CanvasStyle &style, Painting painting = Painting::Fast);

    // Clears the canvas to the bare background.
    void drawBackground();
    // The same, putting the background back over `places` (which must cover everything painted
    // since the background was last drawn) rather than over the places themselves: fewer, larger
    // rectangles can cost less.
    void drawBackground(const QVector<QRect> &places);
    // Where the canvas has been painted since the background was last drawn, in canvas pixels:
    // a rectangle for each square and each number, holding every pixel it may have touched.
    const QVector<QRect> &painted() const { return paintedRects; }
    // Paints the point (x, y) of column n; a point with y of 0 or below paints nothing.
    void paintPoint(qint16 x, qint16 y, int n);
    // Paints the eight flag cells of flag byte k (0 to 3) after a frame marker.
    void paintFlagByte(quint8 byte, int k);

    const CanvasStyle &style() const { return *canvasStyle; }

private:
    // A number's layout. Most numbers are one run in the font of all the others: their glyphs
    // are kept here, in one piece of memory, and drawn through one run that points at them
    // (a run of its own for each number is several blocks of memory apart, which the frames'
    // numbers find out of the caches).
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
    // that place, so a stamp holds for one glyph, one fraction and one turn of the painter.
    struct StampKey
    {
        quint32 glyph;
        bool turned;
        double fractionX;
        double fractionY;
        bool operator==(const StampKey &o) const
        {
            return glyph == o.glyph && turned == o.turned && fractionX == o.fractionX
                && fractionY == o.fractionY;
        }
    };
    friend uint qHash(const StampKey &key, uint seed);
    struct Stamp
    {
        bool usable = false;
        QRect bounds; // of the pixels, relative to the place's pixel
        // Each covered pixel's place, as an offset in the canvas image from the place's pixel,
        // and the coverage there.
        QVector<qint32> offsets;
        QVector<quint8> coverages;
    };

    // The canvas image and, in `area`, the part of it the canvas covers; null where the canvas
    // leaves the pixels to the painter.
    QImage *pixelsToWrite(QRect *area) const;
    void fill(const QRect &rect, const QColor &colour);
    bool stampNumber(const QPointF &origin, const NumberText &text);
    Stamp makeStamp(const QPoint &pixel, const QPointF &origin, const NumberText &text, int glyph,
                    qsizetype stride);
    void paintBackground();
    void putBackBackground(const QRect &rect);
    void setPenAfterBackground();
    void drawLine(const QLine &line);
    void drawRect(const QRect &rect);
    void drawNumber(const QPointF &at, qint64 value);
    void markPainted(const QRect &rect);

    QPainter *painter;
    const CanvasStyle *canvasStyle;
    Painting painting;
    // Layouts of the numbers drawn so far, made with keptFont.
    QHash<qint64, NumberText> kept;
    QFont keptFont;
    // The run that draws a number whose glyphs are kept in its NumberText; its font and flags are
    // those of the first number laid out.
    QGlyphRun sharedRun;
    bool sharedRunSet = false;
    // Stamps of the glyphs drawn so far, made with keptFont and these hints, for an image of
    // this many pixels a line.
    QHash<StampKey, Stamp> stamps;
    QPainter::RenderHints stampHints;
    qsizetype stampStride = 0;
    // Where stamps are made: white, painted with the canvas' transform.
    QImage stampSheet;
    QVector<QRect> paintedRects;
    // The bare background as last painted in full, and the painter state it was painted with.
    QImage background;
    // Where its lines and numbers lie.
    QVector<QRect> backgroundMarks;
    QFont backgroundFont;
    QPainter::RenderHints backgroundHints;
};
