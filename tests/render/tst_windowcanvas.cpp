// The canvas inside the real main window of one program: bytes of the module's stream go through
// the window's decoder, and what the window shows after the last frame end is compared, pixel for
// pixel, with a plain rendering of that frame's points and flags.

#include "app/mainwindow.h"
#include "canvasharness.h"
#include "commands/render.h"
#include "link/sessionfile.h"
#include "link/streamencoder.h"
#include "support/linefeeds.h"
#include "support/mainwindowprobe.h"

#include <QLabel>
#include <QPaintEvent>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
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

// Frames of one of the line-rate benchmark's feeds, with flags that change from frame to frame.
QVector<Frame> fed(LineFeed kind, int count)
{
    LineFeedFrames feed(kind, 7);
    QVector<Frame> frames;
    for (int i = 0; i < count; ++i)
        frames.append({feed.next(), (0x80000000u >> (i % 32)) | 1u});
    return frames;
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
    void renderCommandPaintsAsTheWindow_data();
    void renderCommandPaintsAsTheWindow();

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
    // The size the window is given, and where its scroll area is scrolled to, before the last
    // frame; without a size the window stays larger than the image.
    QTest::addColumn<QSize>("view");
    QTest::addColumn<QPoint>("scroll");
    auto row = [](const char *name, const QVector<Frame> &frames, QSize view = QSize(),
                  QPoint scroll = QPoint()) { QTest::newRow(name) << frames << view << scroll; };

    row("one frame of 27", {{spread(27, -200, 15, 130, 9), 0}});
    row("second frame replaces the first",
        {{spread(27, -250, 19, 400, -11), 0x80000001}, {spread(27, 190, -14, 150, 5), 0x81a5ff00}});
    row("points at or below zero take columns",
        {{spread(5, 0, 20, 200, 10), 0xffffffff},
         {{{0, 0}, {10, -5}, {120, 180}, {-184, 192}, {150, 169}}, 0}});
    row("zone bounds",
        {{{{-184, 168},
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
          0x12345678}});
    row("clipped and far away",
        {{{{-500, 300}, {500, 150}, {0, 598}, {0, 2395}, {32767, 32767}, {-32768, 1}, {700, 700}},
          0x00ff00ff},
         {{{-499, 2400}, {499, 2}, {-3, 599}}, 0xff00ff00}});
    // The shown image is written in turns, each time only where frames painted.
    row("four frames in turn",
        {{spread(27, -250, 19, 400, -11), 0x80000001},
         {spread(12, 190, -14, 150, 5), 0x81a5ff00},
         {{}, 0},
         {spread(20, 30, 7, 90, 31), 0x00000100}});
    row("empty last frame", {{spread(3, 0, 40, 250, 0), 0x0f0f0f0f}, {{}, 0}});
    // The background goes back, and the flag bytes after a marker are painted, only when the
    // next points come or the frame ends without any.
    row("flags and no points between frames",
        {{spread(27, -250, 19, 400, -11), 0xffffffff},
         {{}, 0x0000ffff},
         {spread(4, 40, 30, 300, 9), 0x5a5a5a5a}});
    // The shown image is brought up to date in tiles around the places painted.
    row("many places, then many elsewhere",
        {{spread(120, -490, 8, 5, 5), 0xffffffff}, {spread(110, 485, -9, 590, -5), 0xa5a5a5a5}});
    row("few places after many", {{spread(120, -490, 8, 5, 5), 0xffffffff}, {{{7, 300}}, 0}});
    // Squares on, across and beside the edges of tiles, which lie every few dozen pixels.
    row("near tile edges",
        {{{{13, 23}, {14, 22}, {15, 21}, {-179, 311}, {-178, 310}, {-177, 309}}, 0x01800180},
         {{{-434, 534}, {-435, 535}, {-467, 566}, {-466, 567}, {46, 150}}, 0x80018001}});
    row("canvas edges",
        {{{{-498, 598}, {499, 1}, {-499, 300}, {502, 2}, {0, 600}, {-497, 797}}, 0xc0000003},
         {{{498, 599}, {-498, 1}, {497, 796}}, 0x00c00300}});
    row("steady feed", fed(LineFeed::Steady, 5));
    row("scattered feed", fed(LineFeed::Scattered, 5));
    row("after a resize", {{spread(27, -250, 19, 400, -11), 0}, {spread(27, 190, -14, 150, 5), 0}},
        QSize(640, 480));
    row("after a resize and a scroll",
        {{spread(27, -250, 19, 400, -11), 0}, {spread(60, 480, -16, 20, 9), 0x0000ffff}},
        QSize(700, 520), QPoint(310, 170));
}

void TestWindowCanvas::shownFrameMatchesPlainRendering()
{
    QFETCH(QVector<Frame>, frames);
    QFETCH(QSize, view);
    QFETCH(QPoint, scroll);
#ifdef ENV_LITE
    Q_UNUSED(scroll)
    if (view.isValid())
        QSKIP("the window has no scroll area");
#endif

    // The last frame's bytes apart, so that the view can change before it.
    StreamEncoder encoder;
    encoder.appendSync(2);
    for (int i = 0; i < frames.size(); ++i) {
        if (i == frames.size() - 1)
            encoder.takeBytes();
        QCOMPARE(encoder.appendFrame(frames.at(i).points, frames.at(i).flags),
                 frames.at(i).points.size());
    }
    const QByteArray lastFrame = encoder.takeBytes();
    encoder.appendSync(2);
    for (const Frame &frame : frames)
        encoder.appendFrame(frame.points, frame.flags);
    const QByteArray bytes = encoder.takeBytes();
    const QImage expected = referenceImage(frames);

#ifdef ENV_HAS_FRAMEDONE
    // Listeners get the frame once the label shows it.
    int frameEnds = 0;
    QImage labelSeen;
    connect(window, &MainWindow::frameDone, this, [&](const QList<short> &) {
        ++frameEnds;
        labelSeen = rgb32(Probe::labelImage(*window));
    });
#endif

#ifndef ENV_LITE
    // Larger than the image, so that the label has room around it.
    window->resize(expected.size() + QSize(150, 250));
#endif
    // In pieces, with the window repainting between them as it does on a live line.
    auto feed = [&](int from, int to) {
        for (int at = from; at < to; at += 61) {
            Probe::decoder(*window).decode(bytes.constData() + at, qMin(61, to - at));
            QCoreApplication::processEvents();
        }
    };
    const int lastFrameAt = bytes.size() - lastFrame.size();
    feed(0, lastFrameAt);
#ifndef ENV_LITE
    if (view.isValid()) {
        window->resize(view);
        QCoreApplication::processEvents();
        auto *area = window->findChild<QScrollArea *>();
        area->horizontalScrollBar()->setValue(scroll.x());
        area->verticalScrollBar()->setValue(scroll.y());
        QCOMPARE(area->horizontalScrollBar()->value(), scroll.x());
        QCOMPARE(area->verticalScrollBar()->value(), scroll.y());
        QCoreApplication::processEvents();
    }
#endif
    feed(lastFrameAt, bytes.size());

    QCOMPARE(rgb32(Probe::shownImage(*window)), expected);
    QCOMPARE(rgb32(Probe::canvasImage(*window)), nextFrameImage(frames.last().flags));
#ifdef ENV_HAS_FRAMEDONE
    QCOMPARE(frameEnds, frames.size());
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

// Nothing but the image changes at a frame end, so nothing else of the window is repainted.
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

#ifdef ENV_LITE
    // The window paints its background itself beside the image: a repaint of all of it shows the
    // window's colour left of the image and below it, and the image in its place.
    window->repaint();
    const QImage shown = rgb32(window->screen()->grabWindow(window->winId()).toImage());
    const QRgb background = window->palette().color(QPalette::Window).rgb();
    for (const QPoint &p : {QPoint(3, 100), QPoint(9, 700), QPoint(500, image.bottom() + 2)}) {
        if (shown.rect().contains(p))
            QCOMPARE(shown.pixel(p) & 0xffffff, background & 0xffffff);
    }
    QCOMPARE(shown.copy(QRect(image.topLeft(), QSize(1000, 700))),
             rgb32(Probe::shownImage(*window)).copy(0, 0, 1000, 700));
#endif
}

void TestWindowCanvas::renderCommandPaintsAsTheWindow_data()
{
    QTest::addColumn<int>("frame"); // as --frame takes it
    QTest::addColumn<int>("framesShown"); // how many of the frames the window is given
    QTest::addColumn<bool>("session"); // a session rather than a raw capture
    QTest::newRow("last frame") << -1 << 3 << false;
    QTest::newRow("last frame by number") << 2 << 3 << false;
    QTest::newRow("middle frame of a session") << 1 << 2 << true;
    QTest::newRow("first frame") << 0 << 1 << false;
}

// envtool render paints a frame of a capture exactly as this program's window shows it.
void TestWindowCanvas::renderCommandPaintsAsTheWindow()
{
    QFETCH(int, frame);
    QFETCH(int, framesShown);
    QFETCH(bool, session);

    const QVector<Frame> frames {{spread(27, -250, 19, 400, -11), 0x80000001},
                                 {spread(27, 190, -14, 150, 5), 0x81a5ff00},
                                 {spread(40, -480, 24, 590, -14), 0x0f0f0f0f}};
    StreamEncoder encoder;
    encoder.appendSync(2);
    QByteArray shown;
    for (int i = 0; i < frames.size(); ++i) {
        encoder.appendFrame(frames.at(i).points, frames.at(i).flags);
        if (i + 1 == framesShown)
            shown = encoder.bytes();
    }
    const QByteArray bytes = encoder.takeBytes();
    Probe::decoder(*window).decode(shown.constData(), shown.size());

    QTemporaryDir dir;
    QFile capture(dir.filePath(QStringLiteral("capture")));
    QVERIFY(capture.open(QIODevice::WriteOnly));
    if (session) {
        // The viewer's direction in between, which render leaves out.
        SessionFile writer(&capture);
        QVERIFY(writer.writeHeader());
        QVERIFY(writer.write(SessionFile::FromModule, 0, bytes.constData(), 100));
        QVERIFY(writer.write(SessionFile::FromViewer, 10, "\xff\xff\xff\xff\x02\x01", 6));
        QVERIFY(
            writer.write(SessionFile::FromModule, 20, bytes.constData() + 100, bytes.size() - 100));
    } else {
        capture.write(bytes);
    }
    capture.close();

    RenderOptions options;
    options.input = capture.fileName();
    options.program = MainWindow::deliverable;
    options.frame = frame;
    options.output = dir.filePath(QStringLiteral("frame.png"));
    QCOMPARE(RenderCommand(options).run(), 0);
    QCOMPARE(rgb32(QImage(options.output)), rgb32(Probe::shownImage(*window)));
}

QTEST_MAIN(TestWindowCanvas)
#include "tst_windowcanvas.moc"
