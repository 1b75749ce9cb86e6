#pragma once

#include "render/canvas.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// One painting call: a point (x, y, column) or a flag byte (byte, index).
struct CanvasOp
{
    enum Kind { Point, Flags } kind;
    int a;
    int b;
    int c;
};

// Parses "p x y n; f byte k": points and flag bytes in painting order; numbers in C notation.
inline QVector<CanvasOp> parseOps(const QString &script)
{
    QVector<CanvasOp> ops;
    for (const QString &part : script.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList f = part.simplified().split(QLatin1Char(' '));
        if (f.isEmpty() || f.first().isEmpty())
            continue;
        auto number = [&](int i) { return i < f.size() ? f.at(i).toInt(nullptr, 0) : 0; };
        if (f.first() == QLatin1String("p"))
            ops.append({CanvasOp::Point, number(1), number(2), number(3)});
        else if (f.first() == QLatin1String("f"))
            ops.append({CanvasOp::Flags, number(1), number(2), 0});
    }
    return ops;
}

// The canvas as the window holds it: a canvas pixmap with its one long-lived painter and a shown
// pixmap that a frame end copies into.
class CanvasRig
{
public:
    // displays: how many shown images a frame end writes in turn.
    CanvasRig(const CanvasStyle &style, Canvas::Painting painting, int displays = 1)
        : canvasPixmap(style.canvasSize)
        , painter(&canvasPixmap)
        , canvas(&painter, style, painting)
    {
        for (int i = 0; i < displays; ++i)
            displayPixmaps.append(QPixmap(style.canvasSize));
        canvas.drawBackground();
    }

    void run(const CanvasOp &op)
    {
        if (op.kind == CanvasOp::Point)
            canvas.paintPoint(qint16(op.a), qint16(op.b), op.c);
        else
            canvas.paintFlagByte(quint8(op.a), op.b);
    }
    void run(const QVector<CanvasOp> &ops)
    {
        for (const CanvasOp &op : ops)
            run(op);
    }

    // Copy to the shown image, then the bare background, as a frame end does.
    void endFrame()
    {
        shownIndex = (shownIndex + 1) % displayPixmaps.size();
        QPainter displayPainter(&displayPixmaps[shownIndex]);
        canvas.copyTo(&displayPainter);
        canvas.drawBackground();
    }

    QImage canvasImage() const { return canvasPixmap.toImage(); }
    // The shown image the last frame end wrote.
    QImage displayImage() const { return displayPixmaps.at(shownIndex).toImage(); }

    QPixmap canvasPixmap;
    QVector<QPixmap> displayPixmaps;
    int shownIndex = -1;
    QPainter painter;
    Canvas canvas;
};
