#pragma once

#include "render/canvasstyle.h"

#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QList>
#include <QtGlobal>

class QLine;
class QPainter;
class QPointF;
class QRect;

// Paints the background, the points and the flag cells of a frame through the one long-lived
// painter of the window's canvas. It owns neither the painter nor the pixmap; it keeps the
// painter's state as the painting rules leave it (the pen carries over between calls).
class Canvas
{
public:
    // Plain paints with the painter's calls the painting rules name: drawText, drawLine, drawRect.
    // Fast paints the same pixels for less CPU time, where that pays: each number's glyphs from a
    // layout made once (laying a text out is most of what drawText costs), and lines along an
    // axis, outlines too, as one-pixel-wide filled rectangles (the painter's line drawing steps
    // through a line pixel by pixel).
    enum class Painting { Fast, Plain };

    // painter: the one long-lived painter, active on the canvas pixmap for the canvas' whole life.
    // Its transform and render hints stay as a new painter has them, except while the canvas
    // turns it for a point's numbers.
    Canvas(QPainter *painter, const CanvasStyle &style, Painting painting = Painting::Fast);

    // Clears the canvas and draws the bare background.
    void drawBackground();
    // Paints the point (x, y) of column n; a point with y of 0 or below paints nothing.
    void paintPoint(qint16 x, qint16 y, int n);
    // Paints the eight flag cells of flag byte k (0 to 3) after a frame marker.
    void paintFlagByte(quint8 byte, int k);

    const CanvasStyle &style() const { return *canvasStyle; }

private:
    struct NumberText
    {
        QList<QGlyphRun> runs;
        qreal ascent = 0;
    };

    void drawLine(const QLine &line);
    void drawRect(const QRect &rect);
    void drawNumber(const QPointF &at, qint64 value);

    QPainter *painter;
    const CanvasStyle *canvasStyle;
    Painting painting;
    // Layouts of the numbers drawn so far, made with keptFont.
    QHash<qint64, NumberText> kept;
    QFont keptFont;
};
