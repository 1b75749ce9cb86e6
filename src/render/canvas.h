#pragma once

#include "render/canvasstyle.h"

#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QPoint>
#include <QRect>
#include <QVector>
#include <QtGlobal>

class QPointF;

// Where a number or a flag cell was drawn on the bare background, and what: the same drawn there
// on the bare background again comes out the same.
struct CanvasPatchKey
{
    QPoint at;
    qint64 value;
    QRgb colour;
    bool rotated;
    bool operator==(const CanvasPatchKey &o) const
    {
        return at == o.at && value == o.value && colour == o.colour && rotated == o.rotated;
    }
};

inline uint qHash(const CanvasPatchKey &key, uint seed = 0)
{
    uint h = seed;
    for (uint part : {uint(key.at.x()), uint(key.at.y()), qHash(key.value), uint(key.colour),
                      uint(key.rotated)})
        h = h * 31 + part;
    return h;
}

// Paints the background, the points and the flag cells of a frame through the one long-lived
// painter of the window's canvas. It owns neither the painter nor the pixmap; it keeps the
// painter's state as the painting rules leave it (the pen carries over between calls).
class Canvas
{
public:
    // Direct issues the plain painter calls of every rule. Cached gives the same pixels faster: the
    // background is restored from a snapshot only where a frame painted, number layouts are kept,
    // and outlines are filled as their edges.
    enum class Painting { Cached, Direct };

    // painter: the one long-lived painter, active on the canvas pixmap for the canvas' whole life
    Canvas(QPainter *painter, const CanvasStyle &style, Painting painting = Painting::Cached);

    // Clears the canvas and draws the bare background.
    void drawBackground();
    // Paints the point (x, y) of column n; a point with y of 0 or below paints nothing.
    void paintPoint(qint16 x, qint16 y, int n);
    // Paints the eight flag cells of flag byte k (0 to 3) after a frame marker.
    void paintFlagByte(quint8 byte, int k);

    // Copies the canvas into the shown image at (0, 0), as a frame end does. The canvas remembers
    // the last few images it copied into, by address: the first copy into one writes all of it,
    // later ones only what its last frame and this one painted. So an image it copied into must
    // not be changed by others, nor deleted and replaced at the same address, while copies go on.
    // Shown images used in turn (one shown while the next is written) cost no more than one.
    void copyTo(QPainter *displayPainter);

    // Which shortcuts of Cached painting were found exact here (after the first background).
    struct Shortcuts
    {
        bool glyphRuns; // numbers drawn from kept layouts
        bool inkBounds; // numbers stay within their reckoned bounds, so repairs can be partial
        bool edges; // outlines filled as four edges
    };
    Shortcuts shortcuts() const { return {glyphRunsExact, inkInBounds, edgesExact}; }

    const CanvasStyle &style() const { return *canvasStyle; }
    Painting painting() const { return mode; }

private:
    struct NumberText
    {
        QList<QGlyphRun> runs;
        qreal ascent = 0;
        QRectF ink; // relative to the left end of the baseline
    };

    void drawBackgroundDirect();
    bool takeSnapshot();
    void checkShortcuts();
    void followFont();
    void drawNumber(const QPointF &at, qint64 value);
    const NumberText &numberText(qint64 value);
    void drawOutlineRect(const QRect &rect);
    bool drawKeptCell(const QRect &cell, const QPointF &at, int number);
    void fillOutline(QPainter *target, const QRect &rect, const QColor &colour);
    bool edgesMatchPen() const;
    bool pristine(const QRect &rect) const;
    void markDirty(const QRect &rect);
    void markDirty(const QRectF &rect);

    QPainter *painter;
    const CanvasStyle *canvasStyle;
    Painting mode;

    // Cached painting only.
    QImage background;
    QFont textFont; // the painter's font and hints when the background was taken
    QPainter::RenderHints textHints;
    // Each shortcut is taken only where it was seen to give the painter's own pixels, on this
    // platform, font and pixmap format.
    bool glyphRunsExact = false;
    bool inkInBounds = false;
    bool edgesExact = false;
    QVector<QRect> dirty; // painted since the last background; empty with wholeDirty
    bool wholeDirty = true;
    // An image copied into, and where it differs from the bare background.
    struct ShownImage
    {
        const QPaintDevice *device;
        QVector<QRect> marks;
    };
    QVector<ShownImage> shown;
    QHash<qint64, NumberText> numbers;
    QHash<CanvasPatchKey, QImage> patches; // numbers as they came out on the bare background
    QHash<CanvasPatchKey, QImage> cellPatches; // numbered flag cells, with their outline
};
