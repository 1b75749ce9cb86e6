#pragma once

#include "render/canvas.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QVector>

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
    explicit CanvasRig(const CanvasStyle &style,
                       Canvas::Painting painting = Canvas::Painting::Plain)
        : canvasPixels(style.canvasSize, QImage::Format_RGB32)
        , displayPixmap(style.canvasSize)
        , painter(&canvasPixels)
        , canvas(&painter, style, painting)
    {
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
        canvas.show();
        QPainter displayPainter(&displayPixmap);
        displayPainter.drawImage(0, 0, canvasPixels);
        canvas.drawBackground();
    }

    // The canvas brought up to date, in a copy of its own: the painter goes on painting the
    // pixels it began on.
    QImage canvasImage()
    {
        canvas.show();
        return canvasPixels.copy();
    }
    QImage displayImage() const { return displayPixmap.toImage(); }

    // An image, as the frame renderer's canvas is.
    QImage canvasPixels;
    QPixmap displayPixmap;
    QPainter painter;
    Canvas canvas;
};
