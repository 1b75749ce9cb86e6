#include "app/mainwindow.h"
#include "support/mainwindowprobe.h"
#include "cameratestsupport.h"

#include <QPushButton>
#include <QTemporaryFile>
#include <QtTest>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <unistd.h>


namespace {

// Sends the process's standard output into a file while it lives, so a test sees what the
// program prints.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        if (!file.open())
            return;
        std::cout.flush();
        std::fflush(stdout);
        saved = ::dup(STDOUT_FILENO);
        ::dup2(file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { finish(); }

    QByteArray finish()
    {
        if (saved >= 0) {
            std::cout.flush();
            std::fflush(stdout);
            ::dup2(saved, STDOUT_FILENO);
            ::close(saved);
            saved = -1;
        }
        file.seek(0);
        return file.readAll();
    }
    bool isActive() const { return saved >= 0; }

private:
    QTemporaryFile file;
    int saved = -1;
};

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

    void withoutCamera_data();
    void withoutCamera();
    void buttonsDrivePreview_data();
    void buttonsDrivePreview();
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

void TestMainWindowCamera::withoutCamera_data()
{
    QTest::addColumn<QString>("then");

    QTest::newRow("constructed") << "";
    QTest::newRow("shown") << "show";
    QTest::newRow("after Start") << "start";
}

void TestMainWindowCamera::withoutCamera()
{
    QFETCH(QString, then);

    // No camera is attached on the machines that run this test.
    StdoutCapture output;
    QVERIFY(output.isActive());
    auto window = std::make_unique<MainWindow>();
    const QByteArray printed = output.finish();

    if (then == "show") {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    } else if (then == "start") {
        // Start enables the device controls whether or not a port opened; not the camera's.
        QTest::mouseClick(button(*window, "startButton"), Qt::LeftButton);
        QVERIFY(button(*window, "onButton")->isEnabled());
    }

    QCOMPARE(printed, QByteArray());
    QVERIFY(!MainWindowProbe::camera(*window).isOpened());
    QVERIFY(!button(*window, "cameraButton")->isEnabled());
    QVERIFY(!button(*window, "camoffButton")->isEnabled());
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
