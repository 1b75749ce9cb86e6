#include "app/mainwindow.h"
#include "cameratestsupport.h"
#include "support/mainwindowprobe.h"
#include "support/pseudoterminal.h"

#include <QPushButton>
#include <QTemporaryFile>
#include <QtTest>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>

#include <memory>
#include <unistd.h>

namespace {

// The captures that windows of this test are built with, and the last one made.
struct
{
    std::string source;
    QList<int> backends;
    WatchedCapture *made;
} watch;

std::unique_ptr<cv::VideoCapture> makeWatchedCapture()
{
    auto capture = std::make_unique<WatchedCapture>(watch.source, watch.backends);
    watch.made = capture.get();
    return capture;
}

QPushButton *button(MainWindow &window, const char *name)
{
    return window.findChild<QPushButton *>(QLatin1String(name));
}

// Gives the window a camera: a capture on `sequence`, and the two buttons enabled as they would
// be had device 0 opened.
void plugIn(MainWindow &window, const ImageSequence &sequence)
{
    MainWindowProbe::camera(window) = sequence.open();
    button(window, "cameraButton")->setEnabled(true);
    button(window, "camoffButton")->setEnabled(true);
}

} // namespace

class TestMainWindowCamera : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void cameraAtConstruction_data();
    void cameraAtConstruction();
    void buttonsDrivePreview_data();
    void buttonsDrivePreview();
    void deviceCommandDuringPreview_data();
    void deviceCommandDuringPreview();
    void closingWindowEndsPreviewAndLoop();
};

void TestMainWindowCamera::initTestCase()
{
    // The image sequences run dry on purpose; OpenCV need not say so for every missed frame.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
}

void TestMainWindowCamera::cleanup()
{
    cv::destroyAllWindows();
}

void TestMainWindowCamera::cameraAtConstruction_data()
{
    QTest::addColumn<bool>("watched"); // a watched capture in place of OpenCV's own
    QTest::addColumn<QList<int>>("backends"); // that reach the watched capture's camera
    QTest::addColumn<QString>("then");

    // No camera is attached on the machines that run this test.
    QTest::newRow("no camera, constructed") << false << QList<int>() << "";
    QTest::newRow("no camera, shown") << false << QList<int>() << "show";
    QTest::newRow("no camera, after Start") << false << QList<int>() << "start";
    QTest::newRow("no back end reaches it") << true << QList<int>() << "";
    QTest::newRow("camera 0 opens") << true << QList<int> {cv::CAP_V4L2} << "";
    QTest::newRow("camera 0 opens, after Start") << true << QList<int> {cv::CAP_ANY} << "start";
}

void TestMainWindowCamera::cameraAtConstruction()
{
    QFETCH(bool, watched);
    QFETCH(QList<int>, backends);
    QFETCH(QString, then);

    ImageSequence sequence(2);
    QVERIFY(sequence.isValid());
    watch = {sequence.pattern(), backends, nullptr};
    const auto plainMaker = makeCameraCapture;
    if (watched)
        makeCameraCapture = makeWatchedCapture;
    OutputCapture output(STDOUT_FILENO);
    QVERIFY(output.isActive());
    auto window = std::make_unique<MainWindow>();
    const QByteArray printed = output.finish();
    makeCameraCapture = plainMaker;

    if (then == "show") {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    } else if (then == "start") {
        // Start enables the device controls whether or not a port opened; not the camera's.
        QTest::mouseClick(button(*window, "startButton"), Qt::LeftButton);
        QVERIFY(button(*window, "onButton")->isEnabled());
    }

    const bool opened = !backends.isEmpty();
    QCOMPARE(printed, QByteArray(opened ? "Opening Camera...\n" : ""));
    QCOMPARE(MainWindowProbe::camera(*window).isOpened(), opened);
    if (watched) {
        QCOMPARE(&MainWindowProbe::camera(*window), watch.made);
        QCOMPARE(watch.made->calls.mid(watch.made->calls.size() - 3),
                 (QStringList {"set 3 320", "set 4 240", "set 8 16"}));
    }
    QCOMPARE(button(*window, "cameraButton")->isEnabled(), opened);
    QCOMPARE(button(*window, "camoffButton")->isEnabled(), opened);
    QVERIFY(!MainWindowProbe::preview(*window).isRunning());
    QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
}

void TestMainWindowCamera::buttonsDrivePreview_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<bool>("running");

    QTest::newRow("CamON") << QStringList {"cameraButton"} << true;
    QTest::newRow("CamON, CamOFF") << QStringList {"cameraButton", "camoffButton"} << false;
    QTest::newRow("CamON, CamON, CamOFF")
        << QStringList {"cameraButton", "cameraButton", "camoffButton"} << false;
    QTest::newRow("CamON, Esc, CamON")
        << QStringList {"cameraButton", "Esc", "cameraButton"} << true;
    QTest::newRow("CamOFF alone") << QStringList {"camoffButton"} << false;
    QTest::newRow("CamON, CamOFF, CamOFF")
        << QStringList {"cameraButton", "camoffButton", "camoffButton"} << false;
}

void TestMainWindowCamera::buttonsDrivePreview()
{
    QFETCH(QStringList, clicks);
    QFETCH(bool, running);

    ImageSequence sequence(20, QSize(32, 24));
    QVERIFY(sequence.isValid());
    MainWindow window;
    plugIn(window, sequence);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const CameraPreview &preview = MainWindowProbe::preview(window);

    for (const QString &click : clicks) {
        if (click == "Esc") {
            QWidget *display = previewWindow();
            QVERIFY(display);
            QTest::keyClick(display, Qt::Key_Escape);
            QTRY_VERIFY(!preview.isRunning());
            continue;
        }
        const int handled = framesHandled(preview);
        QTest::mouseClick(button(window, qPrintable(click)), Qt::LeftButton);
        // Clicks arrive while the preview runs, that is from inside the preview's key wait.
        if (preview.isRunning())
            QTRY_VERIFY(framesHandled(preview) > handled + 1);
    }

    QCOMPARE(preview.isRunning(), running);
    const QList<QWidget *> displays = highguiWindows(CameraPreview::windowName);
    QCOMPARE(displays.size(), running ? 1 : 0);
    if (running) {
        QCOMPARE(displays.first()->pos(), QPoint(CameraPreview::windowX, CameraPreview::windowY));
        QVERIFY(displays.first()->isVisible());
    }
    // The main window's own controls stay usable during a preview.
    QVERIFY(window.isVisible());
    QVERIFY(button(window, "camoffButton")->isEnabled());
}

void TestMainWindowCamera::deviceCommandDuringPreview_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("LaserON") << "onButton" << QByteArray::fromHex("FFFFFFFF0201");
    QTest::newRow("LaserOFF") << "offButton" << QByteArray::fromHex("FFFFFFFF0200");
}

void TestMainWindowCamera::deviceCommandDuringPreview()
{
    QFETCH(QString, control);
    QFETCH(QByteArray, packet);

    PseudoTerminal module;
    QVERIFY(module.isOpen());
    ImageSequence sequence(200, QSize(32, 24));
    QVERIFY(sequence.isValid());
    MainWindow window;
    plugIn(window, sequence);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(startOnPort(window, module.slavePath()));
    QTest::mouseClick(button(window, "cameraButton"), Qt::LeftButton);
    const CameraPreview &preview = MainWindowProbe::preview(window);
    QTRY_VERIFY(framesHandled(preview) >= 2);

    // Clicked inside the preview's key wait, where the window's events are handled meanwhile.
    QVERIFY(runDuringPreview(
        preview, [&] { QTest::mouseClick(button(window, qPrintable(control)), Qt::LeftButton); }));

    QCOMPARE(module.read(packet.size(), 5000).toHex(' '), packet.toHex(' '));
    const int handled = framesHandled(preview);
    QTRY_VERIFY(framesHandled(preview) > handled);
    QVERIFY(preview.isRunning());
}

void TestMainWindowCamera::closingWindowEndsPreviewAndLoop()
{
    ImageSequence sequence(20, QSize(32, 24));
    QVERIFY(sequence.isValid());
    MainWindow window;
    plugIn(window, sequence);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const CameraPreview &preview = MainWindowProbe::preview(window);
    QTest::mouseClick(button(window, "cameraButton"), Qt::LeftButton);
    QTRY_VERIFY(framesHandled(preview) >= 2);
    QVERIFY(previewWindow());

    // Closed as the operator closes it, while the preview runs.
    QTimer::singleShot(0, &window, &QWidget::close);
    bool timedOut = false;
    QTimer::singleShot(5000, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    const int exitCode = QCoreApplication::exec();

    QVERIFY(!timedOut);
    QCOMPARE(exitCode, 0);
    QVERIFY(!window.isVisible());
    QVERIFY(!preview.isRunning());
    QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
}

QTEST_MAIN(TestMainWindowCamera)
#include "tst_mainwindowcamera.moc"
