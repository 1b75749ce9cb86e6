// The main window's serial link, driven through a real pseudo-terminal: the test is the module at
// the master end, the window opens the slave by its path as it would open any port.
//
// Built once against envviewer's window and once against envviewer_lite's (read-only port, no
// frameDone, painted straight onto the window).

#include "app/mainwindow.h"
#include "link/linebatches.h"
#include "link/serialline.h"
#include "support/mainwindowprobe.h"
#include "support/messagelog.h"
#include "support/pseudoterminal.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStatusBar>
#include <QtTest>

#include <sys/resource.h>
#include <termios.h>

namespace {

using Probe = MainWindowProbe;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray point(qint16 x, qint16 y)
{
    const char bytes[] = {char(quint16(x) >> 8), char(x), char(quint16(y) >> 8), char(y)};
    return QByteArray(bytes, 4);
}

// Where a point's square lands on the canvas of this program (its top left corner).
QPoint squareCorner(qint16 x, qint16 y)
{
    if (MainWindow::deliverable == Deliverable::Lite)
        return QPoint(498 + x, int(798 - y / 3.0));
    return QPoint(498 + x, 598 - y);
}

// A point (0, 300) and a frame marker: the frame that ends holds one square on the canvas.
const QByteArray oneSquareFrame = hex("CC CC") + point(0, 300) + hex("DD DD 00 00 00 00");
const QRgb red = qRgb(255, 0, 0);

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int countStartingWith(const QStringList &lines, const QString &prefix)
{
    int n = 0;
    for (const QString &line : lines)
        n += line.startsWith(prefix) ? 1 : 0;
    return n;
}

// Makes `port` fail once more as it closes, as the port of a device that is gone can: asked for its
// line settings at that moment, it reports a real error (its descriptor is closed already).
void failOnClose(QSerialPort *port)
{
    QObject::connect(port, &QIODevice::aboutToClose, port,
                     [port] { SerialLine::configure(*port); });
}

} // namespace

class TestSerialLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startOpensLine();
    void emptyNameFailsAndSaysWhy();
    void typedNameIsStarted();
#ifdef ENV_HAS_FRAMEDONE
    void framesReachListeners_data();
    void framesReachListeners();
#endif
    void frameShownThenCanvasCleared();
    void fewBytesAfterAQuietLineAreRead();
    void refreshWhileOpen();
    void unplugClosesPortAndStaysIdle();
    void destroyedWhilePortFailsOnClose();

private:
    QComboBox *portChooser() const
    {
        return window->findChild<QComboBox *>("portChooser");
    }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(name);
    }
    void choose(const QString &path);
    bool waitForBytes(quint64 count);

    MainWindow *window = nullptr;
};

void TestSerialLink::init()
{
    window = new MainWindow;
    window->show();
    QVERIFY(portChooser());
    QVERIFY(button("startButton"));
}

void TestSerialLink::cleanup()
{
    delete window;
    window = nullptr;
}

void TestSerialLink::choose(const QString &path)
{
    portChooser()->addItem(path);
    portChooser()->setCurrentIndex(portChooser()->count() - 1);
}

bool TestSerialLink::waitForBytes(quint64 count)
{
    QElapsedTimer clock;
    clock.start();
    while (Probe::decoder(*window).stats().bytes < count && clock.elapsed() < 5000)
        QTest::qWait(1);
    return Probe::decoder(*window).stats().bytes == count;
}

// Start opens the chosen line with the module's settings, once, and says so once.
void TestSerialLink::startOpensLine()
{
    PseudoTerminal module;
    QVERIFY(module.isOpen());
    MessageLog log;
    choose(module.slavePath());
    button("startButton")->click();

    QSerialPort *port = Probe::port(*window);
    QVERIFY(port);
    QVERIFY(port->isOpen());
    const QIODevice::OpenMode expectedMode
        = MainWindow::deliverable == Deliverable::Lite ? QIODevice::ReadOnly : QIODevice::ReadWrite;
    QCOMPARE(port->openMode(), expectedMode);
    QVERIFY(!button("startButton")->isEnabled());
    QCOMPARE(log.count(QtDebugMsg, "data ready"), 1);

    // What the kernel holds for the line, not what the port object remembers.
    termios line {};
    QCOMPARE(tcgetattr(int(port->handle()), &line), 0);
    QCOMPARE(cfgetispeed(&line), speed_t(B115200));
    QCOMPARE(cfgetospeed(&line), speed_t(B115200));
    QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(line.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
    QVERIFY(log.warnings().isEmpty());
}

// Without a Refresh the list is empty; Start tries the empty name, fails and says why in the
// status bar, with no debug message.
void TestSerialLink::emptyNameFailsAndSaysWhy()
{
    MessageLog log;
    QCOMPARE(portChooser()->count(), 0);
    button("startButton")->click();

    QVERIFY(Probe::port(*window));
    QVERIFY(!Probe::port(*window)->isOpen());
    QVERIFY(button("startButton")->isEnabled());
    QCOMPARE(log.count(QtDebugMsg, "data ready"), 0);
    QVERIFY(log.messages(QtDebugMsg).isEmpty());
    QCOMPARE(window->statusBar()->currentMessage(),
             QStringLiteral("cannot open the port: no port was chosen"));

    // Start again with a port that exists: the failed attempt is left behind harmlessly.
    PseudoTerminal module;
    choose(module.slavePath());
    button("startButton")->click();
    QVERIFY(Probe::port(*window)->isOpen());
    QCOMPARE(log.count(QtDebugMsg, "data ready"), 1);
    QVERIFY(window->statusBar()->currentMessage().isEmpty());
}

// A port the system does not list (here a pseudo-terminal) is typed into the port box and
// started like a listed one.
void TestSerialLink::typedNameIsStarted()
{
    PseudoTerminal module;
    QVERIFY(portChooser()->isEditable());
    portChooser()->setFocus();
    QTest::keyClicks(portChooser(), module.slavePath());
    QCOMPARE(portChooser()->currentText(), module.slavePath());
    button("startButton")->click();

    QSerialPort *port = Probe::port(*window);
    QVERIFY(port && port->isOpen());
    // Qt names a port by its path without the leading /dev/.
    QVERIFY(module.slavePath().endsWith(port->portName()));
    QVERIFY(!button("startButton")->isEnabled());
    QVERIFY(module.write(QByteArray::fromHex("CCCC0010006400")));
    QVERIFY(waitForBytes(7));
}

#ifdef ENV_HAS_FRAMEDONE
void TestSerialLink::framesReachListeners_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("chunk"); // 0: one write; n: writes of 1 to n bytes, each read apart
    QTest::addColumn<QList<QList<short>>>("frames");

    const QByteArray worked
        = hex("CC CC 00 10 00 64 00 11 00 22 FF F0 00 05 DD DD 80 00 00 01 CC CC 00 01 00 01 CC");
    const QList<QList<short>> workedFrames {{100, 16, 34, 17, 5, -16}};
    QTest::newRow("worked example, one write") << worked << 0 << workedFrames;
    QTest::newRow("worked example, a byte per read") << worked << 1 << workedFrames;

    const QByteArray syncEnds = hex("CC CC 00 01 00 02") + QByteArray(14, '\xCC');
    QTest::newRow("long sync run ends two frames, one write")
        << syncEnds << 0 << QList<QList<short>> {{2, 1}, {}};
    QTest::newRow("long sync run ends two frames, a byte per read")
        << syncEnds << 1 << QList<QList<short>> {{2, 1}, {}};

    // Three frames of 27 points as the module sends them, each ended by the next marker.
    QByteArray module = hex("CC CC");
    QList<QList<short>> frames {{}};
    for (int f = 0; f < 3; ++f) {
        module += hex("DD DD 80 00 00 01 CC CC");
        QList<short> frame;
        for (int p = 0; p < 27; ++p) {
            const qint16 x = qint16(37 * p - 500 + f);
            const qint16 y = qint16(10 + 20 * p);
            module += point(x, y) + hex("CC");
            frame << y << x;
        }
        frames << frame;
    }
    module += hex("DD DD");
    QTest::newRow("frames of 27 points, one write") << module << 0 << frames;
    QTest::newRow("frames of 27 points, random reads") << module << 7 << frames;
}

// Bytes written at the module end reach frameDone as the frames they make, however they are read.
void TestSerialLink::framesReachListeners()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, chunk);
    QFETCH(QList<QList<short>>, frames);

    PseudoTerminal module;
    choose(module.slavePath());
    button("startButton")->click();
    QVERIFY(Probe::port(*window)->isOpen());
    QSignalSpy spy(window, &MainWindow::frameDone);

    if (chunk == 0) {
        QVERIFY(module.write(stream));
        QVERIFY(waitForBytes(quint64(stream.size())));
    } else {
        QRandomGenerator random(quint32(stream.size()));
        int at = 0;
        while (at < stream.size()) {
            const int n = qMin(stream.size() - at, 1 + int(random.bounded(chunk)));
            QVERIFY(module.write(stream.mid(at, n)));
            at += n;
            // Waiting for each write to be decoded keeps the writes apart as reads.
            QVERIFY(waitForBytes(quint64(at)));
        }
    }

    QCOMPARE(spy.count(), frames.size());
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(spy.at(i).at(0).value<QList<short>>(), frames.at(i));
}
#endif

// At a frame end the finished canvas is shown (listeners see it shown), then cleared.
void TestSerialLink::frameShownThenCanvasCleared()
{
    PseudoTerminal module;
    choose(module.slavePath());
    button("startButton")->click();
    QVERIFY(Probe::port(*window)->isOpen());

    const QPoint corner = squareCorner(0, 300);
    const QRgb background = Probe::canvasImage(*window).pixel(corner);
    QVERIFY(background != red);

#ifdef ENV_HAS_FRAMEDONE
    QList<QRgb> seenByListener;
    connect(window, &MainWindow::frameDone, this, [&](const QList<short> &frame) {
        QCOMPARE(frame, (QList<short> {300, 0}));
        seenByListener << Probe::shownImage(*window).pixel(corner);
    });
#endif

    QVERIFY(module.write(oneSquareFrame));
    QVERIFY(waitForBytes(quint64(oneSquareFrame.size())));
    QCOMPARE(Probe::decoder(*window).stats().framesByMarker, quint64(1));

#ifdef ENV_HAS_FRAMEDONE
    QCOMPARE(seenByListener, QList<QRgb> {red});
    QCOMPARE(Probe::labelImage(*window).pixel(corner), red);
#endif
    QCOMPARE(Probe::shownImage(*window).pixel(corner), red);
    QCOMPARE(Probe::canvasImage(*window).pixel(corner), background);
}

// The port rests after each read while the line streams; a line found empty after the rest is
// watched again, so the next few bytes come through too.
void TestSerialLink::fewBytesAfterAQuietLineAreRead()
{
    PseudoTerminal module;
    choose(module.slavePath());
    button("startButton")->click();
    QVERIFY(Probe::port(*window)->isOpen());

    QVERIFY(module.write(oneSquareFrame));
    QVERIFY(waitForBytes(quint64(oneSquareFrame.size())));
    QTest::qWait(3 * LineBatches::restMs);
    QVERIFY(module.write(oneSquareFrame));
    QVERIFY(waitForBytes(quint64(2 * oneSquareFrame.size())));
    QCOMPARE(Probe::decoder(*window).stats().framesByMarker, quint64(2));
    QCOMPARE(Probe::shownImage(*window).pixel(squareCorner(0, 300)), red);
}

// Refresh rebuilds the list only; the open port keeps delivering.
void TestSerialLink::refreshWhileOpen()
{
    PseudoTerminal module;
    choose(module.slavePath());
    button("startButton")->click();
    QSerialPort *port = Probe::port(*window);
    QVERIFY(port->isOpen());

    button("refreshButton")->click();
    QVERIFY(portChooser()->findText(module.slavePath()) < 0);
    QCOMPARE(Probe::port(*window), port);
    QVERIFY(port->isOpen());
    QVERIFY(!button("startButton")->isEnabled());

    QVERIFY(module.write(oneSquareFrame));
    QVERIFY(waitForBytes(quint64(oneSquareFrame.size())));
    QCOMPARE(Probe::decoder(*window).stats().points, quint64(1));
    QCOMPARE(Probe::decoder(*window).stats().framesByMarker, quint64(1));
}

// The module goes away mid-stream: the port is closed once, the program goes idle, Start comes
// back, the shown frame and the decoder state stay, and Start on another line carries on.
void TestSerialLink::unplugClosesPortAndStaysIdle()
{
    MessageLog log;
    auto first = std::make_unique<PseudoTerminal>();
    choose(first->slavePath());
    button("startButton")->click();
    QSerialPort *port = Probe::port(*window);
    QVERIFY(port->isOpen());
    failOnClose(port);

    // One shown frame, then a point left pending (it is delivered by the next byte).
    const QByteArray before = oneSquareFrame + hex("CC CC") + point(1, 2);
    QVERIFY(first->write(before));
    QVERIFY(waitForBytes(quint64(before.size())));
    const QImage shown = Probe::shownImage(*window);
    QCOMPARE(Probe::decoder(*window).decodeState(), int(StreamDecoder::PointComplete));

    first->closeMaster();
    QTRY_VERIFY(!port->isOpen());
    QVERIFY(button("startButton")->isEnabled());

    // Idle: a port left open after a hang-up reports errors without end and burns a core.
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(1000);
    const double cpuShare = (cpuSeconds() - cpuBefore) / (double(wall.elapsed()) / 1000.0);
    QVERIFY2(cpuShare < 0.05, qPrintable(QStringLiteral("CPU share %1").arg(cpuShare)));

    QCOMPARE(countStartingWith(log.messages(QtDebugMsg), "serial port lost"), 1);
    // The status bar tells what standard error tells, port and reason alike.
    const QStringList lost = log.messages(QtDebugMsg).filter(QStringLiteral("serial port lost"));
    QCOMPARE(window->statusBar()->currentMessage(), lost.value(0));
    QVERIFY(lost.value(0).contains(first->slavePath().section(QLatin1Char('/'), -1)));
    QCOMPARE(Probe::shownImage(*window), shown);
    QCOMPARE(Probe::decoder(*window).decodeState(), int(StreamDecoder::PointComplete));
    QCOMPARE(Probe::decoder(*window).pointX(), qint16(1));
    QCOMPARE(Probe::decoder(*window).pointY(), qint16(2));

    // The module comes back on another line.
    PseudoTerminal second;
    choose(second.slavePath());
    button("startButton")->click();
    QSerialPort *again = Probe::port(*window);
    QVERIFY(again != port);
    QVERIFY(again->isOpen());
    QVERIFY(!button("startButton")->isEnabled());
    QCOMPARE(log.count(QtDebugMsg, "data ready"), 2);
    QCOMPARE(window->statusBar()->currentMessage(), QString());

#ifdef ENV_HAS_FRAMEDONE
    QSignalSpy spy(window, &MainWindow::frameDone);
#endif
    // The marker delivers the point kept from before the unplug and ends its frame.
    QVERIFY(second.write(hex("DD DD 00 00 00 00")));
    QVERIFY(waitForBytes(quint64(before.size() + 6)));
    QCOMPARE(Probe::decoder(*window).stats().framesByMarker, quint64(2));
    QCOMPARE(Probe::decoder(*window).stats().points, quint64(2));
#ifdef ENV_HAS_FRAMEDONE
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<QList<short>>(), (QList<short> {2, 1}));
#endif
    QCOMPARE(countStartingWith(log.messages(QtDebugMsg), "serial port lost"), 1);
}

// The window goes while its port is open, and the port fails as the window's base class deletes it:
// the error must not reach the window, whose form is gone by then.
void TestSerialLink::destroyedWhilePortFailsOnClose()
{
    PseudoTerminal module;
    choose(module.slavePath());
    button("startButton")->click();
    QVERIFY(Probe::port(*window)->isOpen());
    failOnClose(Probe::port(*window));
    MessageLog log;

    delete window;
    window = nullptr;

    QCOMPARE(countStartingWith(log.messages(QtDebugMsg), "serial port lost"), 0);
}

QTEST_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
