#pragma once

#include "common/deliverable.h"

#include <QColor>
#include <QLine>
#include <QSize>
#include <QVector>

// A closed range of values, both ends included.
struct ValueRange
{
    int low;
    int high;
    bool contains(int v) const { return v >= low && v <= high; }
};

// The colour of a vertical number: black inside any of the ranges, `outside` elsewhere. An empty
// range list means the number is always black.
struct ColourZones
{
    QVector<ValueRange> blackRanges;
    QColor outside;

    QColor colourFor(int value) const;
};

// One vertical number of a point's column: drawn under a -90 degree rotation at the logical point
// (u, v + pitch * n).
struct ColumnText
{
    int u;
    int v;
};

// Everything that differs between the programs' canvases. The painters in Canvas read only this
// table, so a program's look is one row of it.
struct CanvasStyle
{
    QSize canvasSize;
    QColor bandColor;

    // Background: bands bandHeight pixels high starting at each top, across the whole width.
    QVector<int> bandTops;
    int bandHeight;
    // Vertical grid lines at gridFirstX, gridFirstX + gridStep, ... gridLastX, from y 0 to h.
    int gridFirstX;
    int gridLastX;
    int gridStep;
    // Scale texts: the text scaleStep * k at (0, scaleBaseY - 100 * k) for k = 1 .. scaleCount.
    int scaleStep;
    int scaleCount;
    int scaleBaseY;
    // The target outline, drawn in blue; empty where the program has none.
    QVector<QLine> outline;
    // The pen the background leaves on the painter; invalid where it leaves the black one.
    QColor penAfterBackground;

    // Point squares: 4 x 4 outline from (x + squareOffsetX, top), where top is
    // squareBaseY - y * squareYNum / squareYDen computed in floating point and truncated toward
    // zero.
    int squareOffsetX;
    int squareBaseY;
    int squareYNum;
    int squareYDen;
    // Whether paintPoint sets its own pens and draws the column of numbers; without it the square
    // is drawn with whatever pen the painter holds.
    bool pointTexts;
    int columnPitch;
    int indexBase; // the index text shows n + indexBase
    ColumnText indexText;
    ColumnText xText;
    ColumnText yText;
    ColourZones xZones;
    ColourZones yZones;

    // Flag cells: rectangle (c, flagTop) to (c + flagCellWidth - 1, flagBottom) for a set bit,
    // c = flagBytePitch * k + flagCellPitch * j; with numbers, the text 8k + j + 1 at
    // (c + flagNumberDx, flagNumberY).
    bool flags;
    int flagTop;
    int flagBottom;
    int flagCellPitch;
    int flagCellWidth;
    bool flagNumbers;
    int flagNumberDx;
    int flagNumberY;

    // Whether the program hands each frame's samples on (the decoder keeps them only then).
    bool keepsFrames;
};

const CanvasStyle &canvasStyle(Deliverable d);
