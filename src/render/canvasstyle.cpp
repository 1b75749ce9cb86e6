#include "render/canvasstyle.h"

#include <QtGlobal>

QColor ColourZones::colourFor(int value) const
{
    if (blackRanges.isEmpty())
        return QColor(Qt::black);
    for (const ValueRange &r : blackRanges) {
        if (r.contains(value))
            return QColor(Qt::black);
    }
    return outside;
}

namespace {

CanvasStyle viewerStyle()
{
    CanvasStyle s;
    s.canvasSize = QSize(1001, 601);
    s.bandColor = QColor(225, 225, 225, 255);
    s.bandTops = {0, 200, 400};
    s.bandHeight = 100;
    s.gridFirstX = 100;
    s.gridLastX = 900;
    s.gridStep = 100;
    s.scaleStep = 10;
    s.scaleCount = 5;
    s.scaleBaseY = 600;
    // A bar from x 317 to 683 between the heights 408 and 431, with legs down to 520.
    s.outline = {
        QLine(353, 408, 353, 520), QLine(317, 408, 317, 520), QLine(317, 408, 683, 408),
        QLine(317, 520, 353, 520), QLine(647, 408, 647, 520), QLine(683, 408, 683, 520),
        QLine(317, 431, 683, 431), QLine(683, 520, 647, 520),
    };
    s.penAfterBackground = QColor();

    s.squareOffsetX = 498;
    s.squareBaseY = 598;
    s.squareYNum = 1;
    s.squareYDen = 1;
    s.pointTexts = true;
    s.columnPitch = 37;
    s.indexBase = 1;
    s.indexText = {-550, 16};
    s.xText = {-599, 12};
    s.yText = {-574, 24};
    // Black where x lies under the outline's legs or in the middle, black for y on the bar.
    s.xZones = {{{-183, -147}, {-100, 100}, {147, 183}}, QColor(Qt::blue)};
    s.yZones = {{{169, 191}}, QColor(Qt::red)};

    s.flags = true;
    s.flagTop = 300;
    s.flagBottom = 323;
    s.flagCellPitch = 37;
    s.flagCellWidth = 37;
    s.flagNumbers = true;
    s.flagNumberDx = 10;
    s.flagNumberY = 316;

    s.keepsFrames = true;
    return s;
}

CanvasStyle qcStyle()
{
    CanvasStyle s = viewerStyle();
    s.canvasSize = QSize(1801, 801);
    s.bandTops = {0, 200, 400, 600};
    s.scaleStep = 30;
    s.scaleCount = 7;
    s.scaleBaseY = 800;
    s.outline.clear();

    s.squareBaseY = 798;
    s.squareYNum = 10;
    s.squareYDen = 3;
    s.columnPitch = 30;
    s.indexBase = 0;
    s.indexText = {-799, 12};
    s.xText = {-779, 12};
    s.yText = {-759, 20};
    s.xZones = {{}, QColor(Qt::black)};
    s.yZones = {{}, QColor(Qt::black)};

    s.flagTop = 750;
    s.flagBottom = 798;
    s.flagNumbers = false;
    return s;
}

CanvasStyle liteStyle()
{
    CanvasStyle s = qcStyle();
    s.canvasSize = QSize(1001, 801);
    // The lite program's points are drawn with this pen; nothing else sets one.
    s.penAfterBackground = QColor(Qt::red);
    s.squareYNum = 1;
    s.squareYDen = 3;
    s.pointTexts = false;
    s.flags = false;
    s.keepsFrames = false;
    return s;
}

} // namespace

const CanvasStyle &canvasStyle(Deliverable d)
{
    static const CanvasStyle viewer = viewerStyle();
    static const CanvasStyle qc = qcStyle();
    static const CanvasStyle lite = liteStyle();
    switch (d) {
    case Deliverable::Viewer:
    case Deliverable::Cam:
        return viewer;
    case Deliverable::Qc:
        return qc;
    case Deliverable::Lite:
        return lite;
    }
    Q_UNREACHABLE();
}
