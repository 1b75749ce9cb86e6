// The canvas inside the real main window of one program: bytes of the module's stream go through
// the window's decoder, and what the window shows after the last frame end is compared, pixel for
// pixel, with a plain rendering of that frame's points and flags.

#include "app/mainwindow.h"
#include "canvasharness.h"
#include "link/streamencoder.h"
#include "support/mainwindowprobe.h"

#include <QLabel>
#include <QPaintEvent>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QtTest>

namespace {

using Probe = MainWindowProbe;

struct Frame
{
    QVector<StreamPoint> points;
    quint32 flags;
};

// What the window should show once the last frame has ended: its points in their columns, and
// the flag bytes that came after the frame marker before it.
QImage referenceImage(const QVector<Frame> &frames)
{
    const CanvasStyle &style = canvasStyle(MainWindow::deliverable);
    CanvasRig rig(style);
    if (frames.size() > 1) {
        const quint32 flags = frames.at(frames.size() - 2).flags;
        for (int k = 0; k < 4; ++k)
            rig.run({CanvasOp::Flags, int((flags >> (24 - 8 * k)) & 0xff), k, 0});
    }
    int column = 0;
    for (const StreamPoint &p : frames.last().points)
        rig.run({CanvasOp::Point, p.x, p.y, column++});
    return rig.canvasImage().convertToFormat(QImage::Format_RGB32);
}

// The canvas after the last frame end: the bare background and the flag bytes that followed the
// last frame marker, already painted into the next frame.
QImage nextFrameImage(quint32 flags)
{
    CanvasRig rig(canvasStyle(MainWindow::deliverable));
    for (int k = 0; k < 4; ++k)
        rig.run({CanvasOp::Flags, int((flags >> (24 - 8 * k)) & 0xff), k, 0});
    return rig.canvasImage().convertToFormat(QImage::Format_RGB32);
}

QImage rgb32(const QImage &image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

QVector<StreamPoint> spread(int count, int x0, int dx, int y0, int dy)
{
    QVector<StreamPoint> points;
    for (int i = 0; i < count; ++i)
        points.append({qint16(x0 + dx * i), qint16(y0 + dy * i)});
    return points;
}

// Where each widget of a window was repainted, in the window's coordinates.
class PaintLog : public QObject
{
public:
    explicit PaintLog(QWidget *window)
    {
        window->installEventFilter(this);
        for (QWidget *child : window->findChildren<QWidget *>())
            child->installEventFilter(this);
    }
    QRegion painted;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(object);
        if (event->type() == QEvent::Paint && widget) {
            painted += static_cast<QPaintEvent *>(event)->region().translated(
                widget->mapTo(widget->window(), QPoint(0, 0)));
        }
        return false;
    }
};

} // namespace

Q_DECLARE_METATYPE(QVector<Frame>)

class TestWindowCanvas : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void shownFrameMatchesPlainRendering_data();
    void shownFrameMatchesPlainRendering();
    void frameEndRepaintsOnlyTheImage();

private:
    MainWindow *window = nullptr;
};

void TestWindowCanvas::init()
{
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestWindowCanvas::cleanup()
{
    delete window;
    window = nullptr;
}

void TestWindowCanvas::shownFrameMatchesPlainRendering_data()
{
    QTest::addColumn<QVector<Frame>>("frames");

    QTest::newRow("one frame of 27") << QVector<Frame> {{spread(27, -200, 15, 130, 9), 0}};
    QTest::newRow("second frame replaces the first") << QVector<Frame> {
        {spread(27, -250, 19, 400, -11), 0x80000001}, {spread(27, 190, -14, 150, 5), 0x81a5ff00}};
    QTest::newRow("points at or below zero take columns")
        << QVector<Frame> {{spread(5, 0, 20, 200, 10), 0xffffffff},
                           {{{0, 0}, {10, -5}, {120, 180}, {-184, 192}, {150, 169}}, 0}};
    QTest::newRow("zone bounds") << QVector<Frame> {{{{-184, 168},
                                                      {-183, 169},
                                                      {-147, 191},
                                                      {-146, 192},
                                                      {-101, 200},
                                                      {-100, 300},
                                                      {100, 400},
                                                      {101, 500},
                                                      {146, 600},
                                                      {147, 700},
                                                      {183, 800},
                                                      {184, 900}},
                                                     0x12345678}};
    QTest::newRow("clipped and far away") << QVector<Frame> {
        {{{-500, 300}, {500, 150}, {0, 598}, {0, 2395}, {32767, 32767}, {-32768, 1}, {700, 700}},
         0x00ff00ff},
        {{{-499, 2400}, {499, 2}, {-3, 599}}, 0xff00ff00}};
    // The shown image is written in turns, each time only where frames painted.
    QTest::newRow("four frames in turn")
        << QVector<Frame> {{spread(27, -250, 19, 400, -11), 0x80000001},
                           {spread(12, 190, -14, 150, 5), 0x81a5ff00},
                           {{}, 0},
                           {spread(20, 30, 7, 90, 31), 0x00000100}};
    QTest::newRow("empty last frame")
        << QVector<Frame> {{spread(3, 0, 40, 250, 0), 0x0f0f0f0f}, {{}, 0}};
}

void TestWindowCanvas::shownFrameMatchesPlainRendering()
{
    QFETCH(QVector<Frame>, frames);

    StreamEncoder encoder;
    encoder.appendSync(2);
    for (const Frame &frame : frames)
        QCOMPARE(encoder.appendFrame(frame.points, frame.flags), frame.points.size());
    const QImage expected = referenceImage(frames);

#ifdef ENV_HAS_FRAMEDONE
    // Listeners get the frame while the canvas still holds it and the label already shows it.
    int frameEnds = 0;
    QImage canvasSeen;
    QImage labelSeen;
    connect(window, &MainWindow::frameDone, this, [&](const QList<short> &) {
        ++frameEnds;
        canvasSeen = rgb32(Probe::canvasImage(*window));
        labelSeen = rgb32(Probe::labelImage(*window));
    });
#endif

#ifndef ENV_LITE
    // Larger than the image, so that the label has room around it.
    window->resize(expected.size() + QSize(150, 250));
#endif
    // In pieces, with the window repainting between them as it does on a live line.
    const QByteArray bytes = encoder.takeBytes();
    for (int at = 0; at < bytes.size(); at += 61) {
        Probe::decoder(*window).decode(bytes.constData() + at, qMin(61, bytes.size() - at));
        QCoreApplication::processEvents();
    }

    QCOMPARE(rgb32(Probe::shownImage(*window)), expected);
    QCOMPARE(rgb32(Probe::canvasImage(*window)), nextFrameImage(frames.last().flags));
#ifdef ENV_HAS_FRAMEDONE
    QCOMPARE(frameEnds, frames.size());
    QCOMPARE(canvasSeen, expected);
    QCOMPARE(labelSeen, expected);
    QCOMPARE(rgb32(Probe::labelImage(*window)), expected);
#endif
#ifndef ENV_LITE
    // What the window last sent to the screen in the scroll area: the image at the label's left
    // edge, centred from top to bottom, and the scroll area's background around it.
    const auto *area = window->findChild<QScrollArea *>();
    const QWidget *viewport = area->viewport();
    const QWidget *label = area->widget();
    QImage onLabel(label->size(), QImage::Format_RGB32);
    onLabel.fill(viewport->palette().color(viewport->backgroundRole()));
    QPainter(&onLabel).drawImage(0, (label->height() - expected.height()) / 2, expected);
    const QRect seen(viewport->mapTo(window, QPoint(0, 0)), viewport->size());
    QTRY_COMPARE(rgb32(window->screen()->grabWindow(window->winId()).toImage()).copy(seen),
                 onLabel.copy(QRect(-label->pos(), seen.size())));
#else
    // The window itself shows the image from (10, 61), below its buttons.
    const QRect visible(0, 60, 1000, 700);
    // What the window last sent to the screen, so that a repaint left out shows.
    QTRY_COMPARE(rgb32(window->screen()->grabWindow(window->winId()).toImage())
                     .copy(visible.translated(10, 61)),
                 expected.copy(visible));
#endif
}

// Nothing but the image changes at a frame end, so nothing else of the window is repainted. (The
// label taking the new image makes its scroll area set its scroll bars again, which repaints them.)
void TestWindowCanvas::frameEndRepaintsOnlyTheImage()
{
#ifdef ENV_LITE
    const QRect image = QRect(QPoint(10, 61), canvasStyle(MainWindow::deliverable).canvasSize);
#else
    auto *scrollArea = window->findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    QVERIFY(scrollArea);
    const QRect image(scrollArea->mapTo(window, QPoint(0, 0)), scrollArea->size());
#endif
    QCoreApplication::processEvents();
    PaintLog log(window);
    StreamEncoder encoder;
    encoder.appendSync(2);
    encoder.appendFrame(spread(27, -200, 15, 130, 9), 0x81000000);
    const QByteArray bytes = encoder.takeBytes();
    Probe::decoder(*window).decode(bytes.constData(), bytes.size());

    QTRY_VERIFY(!log.painted.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(log.painted.subtracted(image), QRegion());
}

QTEST_MAIN(TestWindowCanvas)
#include "tst_windowcanvas.moc"
