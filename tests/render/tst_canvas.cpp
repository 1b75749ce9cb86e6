#include "canvasharness.h"
#include "link/streamencoder.h"
#include "render/framerenderer.h"
#include "support/linefeeds.h"

#include <QRandomGenerator>
#include <QtTest>

Q_DECLARE_METATYPE(Deliverable)
Q_DECLARE_METATYPE(Canvas::Painting)

namespace {

// How a row's area is judged.
enum class Check {
    Exact, // every pixel of the area has the colour
    Ink, // text of the colour: some pixel has it nearly, every changed pixel blends towards it
    Bare, // the area is as the bare background leaves it
};

QImage bareBackground(const CanvasStyle &style)
{
    static QHash<const CanvasStyle *, QImage> images;
    if (!images.contains(&style)) {
        CanvasRig rig(style);
        images.insert(&style, rig.canvasImage());
    }
    return images.value(&style);
}

bool blendsTowards(QRgb pixel, QRgb background, const QColor &ink)
{
    // Antialiased text mixes the background with the pen colour, channel by channel.
    const int channels[3][3] = {
        {qRed(pixel), qRed(background), ink.red()},
        {qGreen(pixel), qGreen(background), ink.green()},
        {qBlue(pixel), qBlue(background), ink.blue()},
    };
    double share = -1;
    for (const auto &ch : channels) {
        const int span = ch[2] - ch[1];
        if (span == 0) {
            if (qAbs(ch[0] - ch[1]) > 1)
                return false;
            continue;
        }
        const double s = double(ch[0] - ch[1]) / span;
        if (s < -0.02 || s > 1.02)
            return false;
        if (share >= 0 && qAbs(s - share) > 0.05)
            return false;
        share = s;
    }
    return true;
}

bool nearly(QRgb pixel, const QColor &colour)
{
    return qAbs(qRed(pixel) - colour.red()) <= 48 && qAbs(qGreen(pixel) - colour.green()) <= 48
        && qAbs(qBlue(pixel) - colour.blue()) <= 48;
}

QString describe(const QImage &image, const QPoint &p)
{
    return QStringLiteral("(%1, %2) is #%3")
        .arg(p.x())
        .arg(p.y())
        .arg(image.pixel(p) & 0xffffff, 6, 16, QLatin1Char('0'));
}

// Rotated numbers of column n in envviewer: each text alone in its area.
QRect viewerXText(int n)
{
    return QRect(QPoint(37 * n - 1, 575), QPoint(37 * n + 12, 598));
}
QRect viewerYText(int n)
{
    return QRect(QPoint(37 * n + 17, 500), QPoint(37 * n + 24, 573));
}
QRect viewerIndexText(int n)
{
    return QRect(QPoint(37 * n + 3, 500), QPoint(37 * n + 10, 549));
}
// A scale text whose baseline starts at (0, y).
QRect scaleText(int y)
{
    return QRect(QPoint(0, y - 13), QPoint(17, y - 1));
}

const QColor white(Qt::white);
const QColor black(Qt::black);
const QColor red(Qt::red);
const QColor blue(Qt::blue);
const QColor band(225, 225, 225);

} // namespace

Q_DECLARE_METATYPE(Check)

class TestCanvas : public QObject
{
    Q_OBJECT

private slots:
    void pixels_data();
    void pixels();
    void fastMatchesPlain_data();
    void fastMatchesPlain();
    void frameEndShowsFrameAndClears_data();
    void frameEndShowsFrameAndClears();
    void streamedFrameIsTheWholeOnes();
    void shownImageHoldsTheLastWholeFrame_data();
    void shownImageHoldsTheLastWholeFrame();
};

void TestCanvas::pixels_data()
{
    QTest::addColumn<Deliverable>("program");
    QTest::addColumn<QString>("ops");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<Check>("check");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<Canvas::Painting>("painting");

    struct Row
    {
        const char *name;
        Deliverable program;
        const char *ops;
        QRect area;
        Check check;
        QColor colour;
    };
    auto px = [](int x, int y) { return QRect(x, y, 1, 1); };
    const Deliverable V = Deliverable::Viewer, C = Deliverable::Cam, Q = Deliverable::Qc,
                      L = Deliverable::Lite;
    const Check E = Check::Exact, I = Check::Ink, B = Check::Bare;

    const QVector<Row> rows = {
        // Background of envviewer: grey bands 0-99, 200-299, 400-499 and white between.
        {"viewer band top", V, "", QRect(20, 0, 79, 100), E, band},
        {"viewer band 2", V, "", QRect(201, 200, 98, 100), E, band},
        {"viewer band 3 last row", V, "", QRect(501, 499, 99, 1), E, band},
        {"viewer white 100-199", V, "", QRect(101, 100, 99, 100), E, white},
        {"viewer white 300-399", V, "", QRect(701, 300, 99, 100), E, white},
        {"viewer white bottom", V, "", QRect(901, 500, 100, 101), E, white},
        {"viewer right edge", V, "", px(1000, 50), E, band},
        {"viewer grid 100", V, "", QRect(100, 0, 1, 601), E, black},
        {"viewer grid 200", V, "", QRect(200, 0, 1, 408), E, black},
        {"viewer grid 300", V, "", QRect(300, 0, 1, 601), E, black},
        {"viewer grid 400", V, "", QRect(400, 432, 1, 169), E, black},
        {"viewer grid 500", V, "", QRect(500, 0, 1, 408), E, black},
        {"viewer grid 600", V, "", QRect(600, 432, 1, 169), E, black},
        {"viewer grid 700", V, "", QRect(700, 0, 1, 601), E, black},
        {"viewer grid 800", V, "", QRect(800, 0, 1, 601), E, black},
        {"viewer grid 900", V, "", QRect(900, 0, 1, 601), E, black},
        {"viewer no grid 950", V, "", QRect(950, 100, 1, 100), E, white},
        {"viewer scale 10", V, "", scaleText(500), I, black},
        {"viewer scale 20", V, "", scaleText(400), I, black},
        {"viewer scale 30", V, "", scaleText(300), I, black},
        {"viewer scale 40", V, "", scaleText(200), I, black},
        {"viewer scale 50", V, "", scaleText(100), I, black},
        {"viewer no scale 60", V, "", scaleText(0).translated(0, 13), E, band},
        {"viewer outline 1", V, "", QRect(353, 408, 1, 113), E, blue},
        {"viewer outline 2", V, "", QRect(317, 408, 1, 113), E, blue},
        {"viewer outline 3", V, "", QRect(317, 408, 367, 1), E, blue},
        {"viewer outline 4", V, "", QRect(317, 520, 37, 1), E, blue},
        {"viewer outline 5", V, "", QRect(647, 408, 1, 113), E, blue},
        {"viewer outline 6", V, "", QRect(683, 408, 1, 113), E, blue},
        {"viewer outline 7", V, "", QRect(317, 431, 367, 1), E, blue},
        {"viewer outline 8", V, "", QRect(647, 520, 37, 1), E, blue},
        {"viewer under bar in band", V, "", QRect(354, 432, 29, 68), E, band},
        {"viewer below bar", V, "", QRect(354, 500, 46, 20), E, white},
        {"viewer under leg", V, "", QRect(317, 521, 37, 10), E, white},
        {"cam as viewer", C, "", QRect(683, 408, 1, 113), E, blue},

        // Background of envviewer_qc and envviewer_lite: four bands, scale 30 to 210, no outline.
        {"qc band 600", Q, "", QRect(1001, 600, 800, 100), E, band},
        {"qc white 700", Q, "", QRect(1001, 700, 800, 101), E, white},
        {"qc grid 900", Q, "", QRect(900, 0, 1, 801), E, black},
        {"qc no grid 1000", Q, "", QRect(1000, 100, 1, 100), E, white},
        {"qc scale 30", Q, "", scaleText(700), I, black},
        {"qc scale 60", Q, "", scaleText(600), I, black},
        {"qc scale 90", Q, "", scaleText(500), I, black},
        {"qc scale 120", Q, "", scaleText(400), I, black},
        {"qc scale 150", Q, "", scaleText(300), I, black},
        {"qc scale 180", Q, "", scaleText(200), I, black},
        {"qc scale 210", Q, "", scaleText(100), I, black},
        {"qc no scale 240", Q, "", scaleText(0).translated(0, 13), E, band},
        {"qc no outline", Q, "", QRect(317, 432, 36, 68), E, band},
        {"qc no outline bar", Q, "", QRect(401, 408, 99, 24), E, band},
        {"lite band 600", L, "", QRect(20, 600, 79, 100), E, band},
        {"lite white bottom", L, "", QRect(901, 700, 100, 101), E, white},
        {"lite grid 100", L, "", QRect(100, 0, 1, 801), E, black},
        {"lite scale 180", L, "", scaleText(200), I, black},
        {"lite no outline", L, "", QRect(683, 408, 1, 92), E, band},

        // Squares: 4 x 4 outline at (x + 498, 598 - y) in envviewer.
        {"square top-left", V, "p 0 100 0", px(498, 498), E, red},
        {"square top edge", V, "p 0 100 0", QRect(498, 498, 5, 1), E, red},
        {"square bottom edge", V, "p 0 100 0", QRect(498, 502, 5, 1), E, red},
        {"square left edge", V, "p 0 100 0", QRect(498, 498, 1, 5), E, red},
        {"square right edge", V, "p 0 100 0", QRect(502, 498, 1, 5), E, red},
        {"square inside band", V, "p 0 100 0", QRect(499, 499, 1, 1), E, band},
        {"square inside white", V, "p 0 100 0", QRect(501, 500, 1, 2), E, white},
        {"square inside grid", V, "p 0 100 0", QRect(500, 499, 1, 3), E, black},
        {"square around", V, "p 0 100 0", QRect(490, 490, 7, 7), B, QColor()},
        {"square negative x", V, "p -250 250 5", QRect(248, 348, 5, 1), E, red},
        {"square y 0 paints nothing", V, "p 0 0 0", QRect(0, 0, 1001, 601), B, QColor()},
        {"square y -5 paints nothing", V, "p 0 -5 0", QRect(0, 0, 1001, 601), B, QColor()},
        {"y -5 leaves its column empty", V, "p 0 -5 0; p 0 100 1", QRect(0, 480, 25, 121), B,
         QColor()},
        {"next point in column 1", V, "p 0 -5 0; p 0 100 1", viewerIndexText(1), I, black},
        {"clipped left", V, "p -500 100 0", QRect(0, 498, 3, 1), E, red},
        {"clipped left edge", V, "p -500 100 0", QRect(2, 498, 1, 4), E, red},
        {"clipped left bottom", V, "p -500 100 0", QRect(0, 502, 2, 1), E, red},
        {"clipped bottom-right", V, "p 500 1 0", QRect(998, 597, 3, 1), E, red},
        {"clipped bottom-right side", V, "p 500 1 0", QRect(998, 597, 1, 4), E, red},
        {"clipped bottom-right inside", V, "p 500 1 0", QRect(999, 598, 2, 3), E, white},
        {"clipped top inside", V, "p 0 600 9", QRect(499, 0, 3, 2), B, QColor()},
        {"clipped top sides", V, "p 0 600 9", QRect(498, 0, 1, 2), E, red},
        {"clipped top bottom edge", V, "p 0 600 9", QRect(498, 2, 5, 1), E, red},
        {"far away only texts", V, "p 32767 32767 0", QRect(30, 0, 971, 480), B, QColor()},
        {"far left only texts", V, "p -32768 32767 0", QRect(30, 0, 971, 480), B, QColor()},
        {"qc square y 30", Q, "p 0 30 0", QRect(498, 698, 5, 1), E, red},
        {"qc square y 30 bottom", Q, "p 0 30 0", QRect(498, 702, 5, 1), E, red},
        {"qc square y 31 truncated", Q, "p 0 31 0", QRect(498, 694, 5, 1), E, red},
        {"qc square y 31 above", Q, "p 0 31 0", QRect(498, 693, 5, 1), B, QColor()},
        {"qc square y 0", Q, "p 0 0 0", QRect(0, 0, 1801, 801), B, QColor()},
        {"lite square y 300", L, "p 0 300 0", QRect(498, 698, 5, 1), E, red},
        {"lite square y 301", L, "p 0 301 0", QRect(498, 697, 5, 1), E, red},
        {"lite square y 2395 toward zero", L, "p 0 2395 0", QRect(498, 0, 5, 1), E, red},
        {"lite square y 2395 bottom", L, "p 0 2395 0", QRect(498, 4, 5, 1), E, red},
        {"lite no texts", L, "p 0 300 0", QRect(0, 480, 400, 321), B, QColor()},
        {"lite y -1", L, "p 0 -1 0", QRect(0, 0, 1001, 801), B, QColor()},

        // Numbers of a point: index black, x blue outside the black zones, y red off the bar.
        {"index black", V, "p 0 100 3", viewerIndexText(3), I, black},
        {"x 0 black", V, "p 0 100 3", viewerXText(3), I, black},
        {"y 100 red", V, "p 0 100 3", viewerYText(3), I, red},
        {"x 100 black", V, "p 100 100 3", viewerXText(3), I, black},
        {"x 101 blue", V, "p 101 100 3", viewerXText(3), I, blue},
        {"x 120 blue", V, "p 120 180 3", viewerXText(3), I, blue},
        {"x 146 blue", V, "p 146 100 3", viewerXText(3), I, blue},
        {"x 147 black", V, "p 147 100 3", viewerXText(3), I, black},
        {"x 150 black", V, "p 150 180 3", viewerXText(3), I, black},
        {"x 183 black", V, "p 183 100 3", viewerXText(3), I, black},
        {"x 184 blue", V, "p 184 100 3", viewerXText(3), I, blue},
        {"x 32767 blue", V, "p 32767 100 3", viewerXText(3), I, blue},
        {"x -100 black", V, "p -100 100 3", viewerXText(3), I, black},
        {"x -101 blue", V, "p -101 100 3", viewerXText(3), I, blue},
        {"x -146 blue", V, "p -146 100 3", viewerXText(3), I, blue},
        {"x -147 black", V, "p -147 100 3", viewerXText(3), I, black},
        {"x -183 black", V, "p -183 100 3", viewerXText(3), I, black},
        {"x -184 blue", V, "p -184 100 3", viewerXText(3), I, blue},
        {"x -32768 blue", V, "p -32768 100 3", viewerXText(3), I, blue},
        {"y 1 red", V, "p 0 1 3", viewerYText(3), I, red},
        {"y 168 red", V, "p 0 168 3", viewerYText(3), I, red},
        {"y 169 black", V, "p 0 169 3", viewerYText(3), I, black},
        {"y 180 black", V, "p 150 180 3", viewerYText(3), I, black},
        {"y 191 black", V, "p 0 191 3", viewerYText(3), I, black},
        {"y 192 red", V, "p 0 192 3", viewerYText(3), I, red},
        {"y 32767 red", V, "p 0 32767 3", viewerYText(3), I, red},
        {"column 0 index", V, "p 0 100 0", viewerIndexText(0), I, black},
        {"column 26 y", V, "p 0 100 26", viewerYText(26), I, red},
        {"column 26 x", V, "p 120 100 26", viewerXText(26), I, blue},
        {"cam x 120 blue", C, "p 120 180 3", viewerXText(3), I, blue},
        {"cam y 192 red", C, "p 0 192 3", viewerYText(3), I, red},
        {"qc texts all black", Q, "p 120 100 3", QRect(QPoint(89, 700), QPoint(110, 799)), I,
         black},
        {"qc column pitch 30", Q, "p 120 100 4", QRect(QPoint(119, 700), QPoint(140, 799)), I,
         black},
        {"qc column 3 empty at 4", Q, "p 120 100 4", QRect(QPoint(89, 700), QPoint(110, 799)), B,
         QColor()},

        // Flag cells: 0x81 as byte 1 sets flags 9 and 16.
        {"flag 9 top", V, "f 0x81 1", QRect(296, 300, 38, 1), E, red},
        {"flag 9 bottom", V, "f 0x81 1", QRect(296, 324, 38, 1), E, red},
        {"flag 9 left", V, "f 0x81 1", QRect(296, 300, 1, 25), E, red},
        {"flag 9 right", V, "f 0x81 1", QRect(333, 300, 1, 25), E, red},
        {"flag 9 number", V, "f 0x81 1", QRect(QPoint(307, 303), QPoint(315, 315)), I, red},
        {"flag 9 inside", V, "f 0x81 1", QRect(QPoint(301, 301), QPoint(305, 323)), E, white},
        {"flag 10 not set", V, "f 0x81 1", QRect(QPoint(334, 290), QPoint(554, 330)), B, QColor()},
        {"flag 16 top", V, "f 0x81 1", QRect(555, 300, 38, 1), E, red},
        {"flag 16 right", V, "f 0x81 1", QRect(592, 300, 1, 25), E, red},
        {"flag 16 number", V, "f 0x81 1", QRect(QPoint(566, 303), QPoint(585, 315)), I, red},
        {"flag 1", V, "f 0x80 0", QRect(0, 300, 38, 1), E, red},
        {"flag 32 off the canvas", V, "f 0x01 3", QRect(0, 0, 1001, 601), B, QColor()},
        {"flag 27", V, "f 0x20 3", QRect(962, 300, 38, 1), E, red},
        {"flag 28 clipped", V, "f 0x10 3", QRect(999, 300, 2, 1), E, red},
        {"qc flag 32", Q, "f 0x01 3", QRect(1147, 750, 38, 1), E, red},
        {"cam flag 9", C, "f 0x81 1", QRect(296, 300, 1, 25), E, red},
        {"qc flag 9 taller", Q, "f 0x81 1", QRect(296, 750, 1, 50), E, red},
        {"qc flag 9 bottom", Q, "f 0x81 1", QRect(296, 799, 38, 1), E, red},
        {"qc flag 16 top", Q, "f 0x81 1", QRect(555, 750, 38, 1), E, red},
        {"qc flag no number", Q, "f 0x81 1", QRect(QPoint(297, 751), QPoint(332, 798)), B,
         QColor()},
        {"qc no cell at 300", Q, "f 0x81 1", QRect(QPoint(0, 290), QPoint(1800, 330)), B, QColor()},
        {"lite no flags", L, "f 0xff 0; f 0xff 1; f 0xff 2; f 0xff 3", QRect(0, 0, 1001, 801), B,
         QColor()},
    };

    for (const Row &row : rows) {
        for (Canvas::Painting painting : {Canvas::Painting::Plain, Canvas::Painting::Fast}) {
            const char *suffix = painting == Canvas::Painting::Plain ? "plain" : "fast";
            QTest::addRow("%s/%s: %s", deliverableName(row.program), suffix, row.name)
                << row.program << QString::fromLatin1(row.ops) << row.area << row.check
                << row.colour << painting;
        }
    }
}

void TestCanvas::pixels()
{
    QFETCH(Deliverable, program);
    QFETCH(QString, ops);
    QFETCH(QRect, area);
    QFETCH(Check, check);
    QFETCH(QColor, colour);
    QFETCH(Canvas::Painting, painting);

    const CanvasStyle &style = canvasStyle(program);
    CanvasRig rig(style, painting);
    rig.run(parseOps(ops));
    const QImage image = rig.canvasImage();
    const QImage bare = bareBackground(style);
    QVERIFY(image.rect().contains(area));

    int strong = 0;
    int changed = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QPoint p(x, y);
            const QRgb pixel = image.pixel(p);
            const QRgb under = bare.pixel(p);
            bool good = true;
            switch (check) {
            case Check::Exact:
                good = pixel == colour.rgb();
                break;
            case Check::Bare:
                good = pixel == under;
                break;
            case Check::Ink:
                // Text of the background itself lies over white or a band.
                good = ops.isEmpty() ? blendsTowards(pixel, white.rgb(), colour)
                        || blendsTowards(pixel, band.rgb(), colour)
                                     : blendsTowards(pixel, under, colour);
                changed += pixel != under;
                strong += nearly(pixel, colour);
                break;
            }
            if (!good)
                QFAIL(qPrintable(describe(image, p)));
        }
    }
    if (check == Check::Ink) {
        QVERIFY2(strong > 0, "no pixel of the text's colour in the area");
        if (!ops.isEmpty())
            QVERIFY2(changed > 0, "the text did not change the area");
    }
}

namespace {

// A stream of frames: for each frame the painting calls between two frame ends.
using Frames = QVector<QVector<CanvasOp>>;

enum class Stream { Typical, ZoneBounds, Extremes, Edges, FontChange, Crowded, Steady, Scattered };

qint16 pick(QRandomGenerator &random, const QVector<int> &values)
{
    return qint16(values.at(random.bounded(values.size())));
}

Frames makeFrames(Stream kind, quint32 seed)
{
    QRandomGenerator random(seed);
    const QVector<int> bounds
        = {-184, -183, -147, -146, -101, -100, 0, 100, 101, 146, 147, 183, 184, 168, 169, 191, 192};
    const QVector<int> extremes
        = {-32768, -32767, -1000, -600, -502, -501, -500, -499, -498, -2,   -1,   0,
           1,      2,      497,   498,  499,  500,  501,  502,  597,  598,  599,  600,
           601,    797,    798,   799,  800,  2394, 2395, 2396, 2397, 2400, 32767};
    // The line-rate benchmark's feeds.
    LineFeedFrames feed(kind == Stream::Steady ? LineFeed::Steady : LineFeed::Scattered, seed);
    Frames frames;
    for (int f = 0; f < 6; ++f) {
        QVector<CanvasOp> ops;
        for (int k = 0; k < 4; ++k)
            ops.append({CanvasOp::Flags, int(random.bounded(256)), k, 0});
        if (kind == Stream::Steady || kind == Stream::Scattered) {
            int column = 0;
            for (const StreamPoint &p : feed.next())
                ops.append({CanvasOp::Point, p.x, p.y, column++});
            frames.append(ops);
            continue;
        }
        // A crowded frame paints more places than the canvas keeps apart.
        const int points = kind == Stream::Crowded && f == 2 ? 1300 : 27;
        for (int n = 0; n < points; ++n) {
            qint16 x = 0;
            qint16 y = 0;
            int column = kind == Stream::Crowded ? n % 30 : n;
            switch (kind) {
            case Stream::Typical:
            case Stream::FontChange:
            case Stream::Crowded:
                x = qint16(random.bounded(-260, 261));
                y = qint16(random.bounded(-20, 320));
                break;
            case Stream::ZoneBounds:
                x = pick(random, bounds);
                y = pick(random, bounds);
                break;
            case Stream::Extremes:
                x = pick(random, extremes);
                y = pick(random, extremes);
                if (n % 9 == 8)
                    column = int(random.bounded(30, 70000));
                break;
            case Stream::Steady:
            case Stream::Scattered:
                break;
            case Stream::Edges:
                x = qint16(random.bounded(2) ? random.bounded(-505, -490)
                                             : random.bounded(495, 1310));
                y = qint16(random.bounded(2) ? random.bounded(-3, 8) : random.bounded(590, 2420));
                break;
            }
            ops.append({CanvasOp::Point, x, y, column});
        }
        frames.append(ops);
    }
    return frames;
}

// Names the first differing pixel, or returns an empty string when the images are the same.
QString firstDifference(const QImage &actualImage, const QImage &expectedImage)
{
    if (actualImage.size() != expectedImage.size())
        return QStringLiteral("sizes differ");
    const QImage actual = actualImage.convertToFormat(QImage::Format_RGB32);
    const QImage expected = expectedImage.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < actual.height(); ++y) {
        const QRgb *a = reinterpret_cast<const QRgb *>(actual.constScanLine(y));
        const QRgb *e = reinterpret_cast<const QRgb *>(expected.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x) {
            if (a[x] != e[x])
                return QStringLiteral("(%1, %2) is #%3, expected #%4")
                    .arg(x)
                    .arg(y)
                    .arg(a[x] & 0xffffff, 6, 16, QLatin1Char('0'))
                    .arg(e[x] & 0xffffff, 6, 16, QLatin1Char('0'));
        }
    }
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(Stream)
Q_DECLARE_METATYPE(LineFeed)

void TestCanvas::fastMatchesPlain_data()
{
    QTest::addColumn<Deliverable>("program");
    QTest::addColumn<Stream>("stream");
    QTest::addColumn<quint32>("seed");

    const struct
    {
        const char *name;
        Stream stream;
    } streams[] = {
        {"typical", Stream::Typical},        {"zone bounds", Stream::ZoneBounds},
        {"extremes", Stream::Extremes},      {"edges", Stream::Edges},
        {"font change", Stream::FontChange}, {"crowded", Stream::Crowded},
        {"steady feed", Stream::Steady},     {"scattered feed", Stream::Scattered},
    };
    for (Deliverable program : {Deliverable::Viewer, Deliverable::Qc, Deliverable::Lite}) {
        quint32 seed = 1;
        for (const auto &s : streams)
            QTest::addRow("%s/%s", deliverableName(program), s.name)
                << program << s.stream << seed++;
    }
}

// The fast painting must leave every pixel of the canvas, and the painter's pen,
// exactly as the plain painter calls do, frame after frame.
void TestCanvas::fastMatchesPlain()
{
    QFETCH(Deliverable, program);
    QFETCH(Stream, stream);
    QFETCH(quint32, seed);

    const CanvasStyle &style = canvasStyle(program);
    CanvasRig plain(style, Canvas::Painting::Plain);
    CanvasRig fast(style, Canvas::Painting::Fast);

    const Frames frames = makeFrames(stream, seed);
    for (int f = 0; f < frames.size(); ++f) {
        const QVector<CanvasOp> &ops = frames.at(f);
        for (int i = 0; i < ops.size(); ++i) {
            if (stream == Stream::FontChange && f == 2 && i == ops.size() / 2) {
                // The fast layouts must follow the painter's font.
                QFont font = plain.painter.font();
                font.setPixelSize(21);
                font.setBold(true);
                plain.painter.setFont(font);
                fast.painter.setFont(font);
            }
            plain.run(ops.at(i));
            fast.run(ops.at(i));
            QCOMPARE(fast.painter.pen(), plain.painter.pen());
        }
        QString diff = firstDifference(fast.canvasImage(), plain.canvasImage());
        QVERIFY2(diff.isEmpty(),
                 qPrintable(QStringLiteral("frame %1 canvas: %2").arg(f).arg(diff)));

        plain.endFrame();
        fast.endFrame();
        QCOMPARE(fast.painter.pen(), plain.painter.pen());
        QCOMPARE(fast.painter.transform(), QTransform());
        diff = firstDifference(fast.canvasImage(), plain.canvasImage());
        QVERIFY2(diff.isEmpty(),
                 qPrintable(QStringLiteral("frame %1 background: %2").arg(f).arg(diff)));
    }
}

void TestCanvas::frameEndShowsFrameAndClears_data()
{
    QTest::addColumn<Deliverable>("program");
    QTest::addColumn<Canvas::Painting>("painting");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");

    const struct
    {
        const char *name;
        Deliverable program;
        const char *first;
        const char *second;
    } rows[] = {
        {"points move", Deliverable::Viewer, "f 0xff 0; p 0 100 0; p -150 180 1",
         "p 200 50 0; p 10 10 1; p 5 5 2"},
        {"second frame empty", Deliverable::Viewer, "f 0x81 1; p 0 100 0; p 120 192 1", ""},
        {"first frame empty", Deliverable::Viewer, "", "f 0x81 1; p 0 100 0"},
        {"qc", Deliverable::Qc, "f 0x81 1; p 0 30 0; p -30 90 1", "f 0x01 3; p 1 100 0"},
        {"lite", Deliverable::Lite, "p 0 300 0; p 100 1 0", "p -100 600 0"},
    };
    for (const auto &row : rows) {
        for (Canvas::Painting painting : {Canvas::Painting::Plain, Canvas::Painting::Fast}) {
            const char *suffix = painting == Canvas::Painting::Plain ? "plain" : "fast";
            QTest::addRow("%s/%s", row.name, suffix)
                << row.program << painting << QString::fromLatin1(row.first)
                << QString::fromLatin1(row.second);
        }
    }
}

// A frame end shows exactly the frame just painted, nothing of the frame before, and leaves the
// bare background to paint the next frame on.
void TestCanvas::frameEndShowsFrameAndClears()
{
    QFETCH(Deliverable, program);
    QFETCH(Canvas::Painting, painting);
    QFETCH(QString, first);
    QFETCH(QString, second);

    const CanvasStyle &style = canvasStyle(program);
    CanvasRig rig(style, painting);
    for (const QString &frame : {first, second, first, second}) {
        rig.run(parseOps(frame));
        rig.endFrame();
        QString diff = firstDifference(rig.canvasImage(), bareBackground(style));
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("canvas: ") + diff));

        // The frame alone, painted on a fresh canvas: nothing of an earlier frame remains.
        CanvasRig alone(style);
        alone.run(parseOps(frame));
        diff = firstDifference(rig.displayImage(), alone.canvasImage());
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("alone: ") + diff));
    }
}

// A stream read in small pieces paints the same frame as the whole stream held at once.
void TestCanvas::streamedFrameIsTheWholeOnes()
{
    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < 3; ++f)
        encoder.appendFrame({{qint16(10 * f), qint16(100 + 40 * f)}, {qint16(-50), qint16(30)}},
                            0x81u << f);
    const QByteArray bytes
        = encoder.bytes() + QByteArray("\xcc\xcc\x01", 3); // and a frame cut short
    const ModuleByteStream inPieces
        = [&](const std::function<bool(const char *, qsizetype)> &take) {
              for (qsizetype at = 0; at < bytes.size(); at += 5)
                  if (!take(bytes.constData() + at, qMin<qsizetype>(5, bytes.size() - at)))
                      break;
              return true;
          };
    for (int index : {-1, 0, 1, 2}) {
        const QImage whole = renderFrame(bytes, Deliverable::Viewer, index);
        QVERIFY(!whole.isNull());
        QCOMPARE(renderFrame(inPieces, Deliverable::Viewer, index), whole);
    }
    QCOMPARE(renderFrame(inPieces, Deliverable::Viewer, -1),
             renderFrame(bytes, Deliverable::Viewer, 2));
    QVERIFY(renderFrame(inPieces, Deliverable::Viewer, 3).isNull());
}

void TestCanvas::shownImageHoldsTheLastWholeFrame_data()
{
    QTest::addColumn<Deliverable>("program");
    QTest::addColumn<LineFeed>("feed");
    for (Deliverable program : {Deliverable::Viewer, Deliverable::Lite}) {
        for (LineFeed feed : {LineFeed::Steady, LineFeed::Scattered})
            QTest::addRow("%s/%s", deliverableName(program), lineFeedName(feed)) << program << feed;
    }
}

// The shown image, which the canvas paints itself, holds the last whole frame while the next one
// comes, and each frame as a renderer that painted it alone paints it.
void TestCanvas::shownImageHoldsTheLastWholeFrame()
{
    QFETCH(Deliverable, program);
    QFETCH(LineFeed, feed);

    LineFeedFrames frames(feed, 3);
    StreamEncoder encoder;
    encoder.appendSync(2);
    QVector<qsizetype> ends;
    for (int f = 0; f < 5; ++f) {
        encoder.appendFrame(frames.next(), 0x80000001u >> f);
        ends.append(encoder.bytes().size());
    }
    const QByteArray bytes = encoder.bytes();

    FrameRenderer renderer(program);
    QPixmap label = renderer.shownPixmap();
    renderer.showIn(&label);
    StreamDecoder decoder(&renderer, renderer.frameMode());
    QImage last = renderer.shownPixmap().toImage().copy();
    qsizetype at = 0;
    for (int f = 0; f < ends.size(); ++f) {
        const qsizetype middle = (at + ends.at(f)) / 2;
        decoder.decode(bytes.constData() + at, middle - at);
        QCOMPARE(label.toImage(), last);
        decoder.decode(bytes.constData() + middle, ends.at(f) - middle);
        at = ends.at(f);
        last = renderFrame(bytes, program, f);
        QCOMPARE(label.toImage(), last);
    }
}

QTEST_MAIN(TestCanvas)
#include "tst_canvas.moc"
