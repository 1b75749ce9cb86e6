#include "camera/camerapreview.h"
#include "cameratestsupport.h"
#include "support/messagelog.h"

#include <QtTest>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

// What the preview reported about highgui calls that failed. (The offscreen platform adds its own
// warnings about highgui's windows, which are none of the preview's business.)
QStringList failedHighguiCalls(const MessageLog &log)
{
    return log.warnings().filter(QStringLiteral("camera preview"));
}

// Lets the event loop run long enough for several preview ticks, and answers how many frames the
// preview handled meanwhile: none once it has ended.
int framesHandledMeanwhile(const CameraPreview &preview)
{
    const int before = framesHandled(preview);
    QTest::qWait(30);
    return framesHandled(preview) - before;
}

} // namespace

class TestCameraPreview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void openCameraWithoutDevice_data();
    void openCameraWithoutDevice();
    void openCameraBackends_data();
    void openCameraBackends();
    void showsFramesAsRetrieved_data();
    void showsFramesAsRetrieved();
    void endsPreview_data();
    void endsPreview();
    void stopWithoutPreviewDoesNothing_data();
    void stopWithoutPreviewDoesNothing();
    void restartKeepsOneWindow_data();
    void restartKeepsOneWindow();
    void destroyedInsideKeyWait_data();
    void destroyedInsideKeyWait();
    void captureRunsDry_data();
    void captureRunsDry();
    void readsWhileFramesStayAway_data();
    void readsWhileFramesStayAway();
};

void TestCameraPreview::initTestCase()
{
    // The image sequences run dry on purpose; OpenCV need not say so for every missed frame.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
}

void TestCameraPreview::cleanup()
{
    cv::destroyAllWindows();
    QTRY_VERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
}

void TestCameraPreview::openCameraWithoutDevice_data()
{
    QTest::addColumn<int>("device");
    QTest::addColumn<bool>("reopen");

    // There is no camera on the test machines; 99 stays absent even where one is plugged in.
    QTest::newRow("absent device") << 99 << false;
    QTest::newRow("capture that was open before") << 99 << true;
}

void TestCameraPreview::openCameraWithoutDevice()
{
    QFETCH(int, device);
    QFETCH(bool, reopen);

    ImageSequence sequence(2);
    QVERIFY(sequence.isValid());
    cv::VideoCapture camera;
    if (reopen) {
        camera = sequence.open();
        QVERIFY(camera.isOpened());
    }
    std::ostringstream out;

    QVERIFY(!openCamera(camera, device, out));
    QVERIFY(!camera.isOpened());
    QCOMPARE(QString::fromStdString(out.str()), QString());
}

void TestCameraPreview::openCameraBackends_data()
{
    QTest::addColumn<QList<int>>("backends"); // the back ends that reach the camera
    QTest::addColumn<QStringList>("opens");

    const QString v4l2 = QStringLiteral("open 0 %1").arg(cv::CAP_V4L2);
    const QString any = QStringLiteral("open 0 %1").arg(cv::CAP_ANY);
    QTest::newRow("Video4Linux") << QList<int> {cv::CAP_V4L2, cv::CAP_ANY} << QStringList {v4l2};
    QTest::newRow("another back end only") << QList<int> {cv::CAP_ANY} << QStringList {v4l2, any};
    QTest::newRow("none") << QList<int> {} << QStringList {v4l2, any};
}

void TestCameraPreview::openCameraBackends()
{
    QFETCH(QList<int>, backends);
    QFETCH(QStringList, opens);

    ImageSequence sequence(2);
    QVERIFY(sequence.isValid());
    WatchedCapture camera(sequence.pattern(), backends);
    std::ostringstream out;

    const bool opened = openCamera(camera, 0, out);

    // The three requests follow the open, in this order, whether or not the camera opened.
    QCOMPARE(camera.calls, opens + QStringList({"set 3 320", "set 4 240", "set 8 16"}));
    QCOMPARE(opened, !backends.isEmpty());
    QCOMPARE(camera.isOpened(), opened);
    QCOMPARE(out.str(), std::string(opened ? "Opening Camera...\n" : ""));
}

void TestCameraPreview::showsFramesAsRetrieved_data()
{
    QTest::addColumn<QSize>("size");

    QTest::newRow("320 x 240") << QSize(320, 240);
    QTest::newRow("160 x 120") << QSize(160, 120);
    QTest::newRow("odd 97 x 61") << QSize(97, 61);
}

void TestCameraPreview::showsFramesAsRetrieved()
{
    QFETCH(QSize, size);

    ImageSequence sequence(4, size);
    QVERIFY(sequence.isValid());
    cv::VideoCapture capture = sequence.open();
    QVERIFY(capture.isOpened());
    CameraPreview preview(capture);
    int otherEvents = 0;
    QTimer other;
    connect(&other, &QTimer::timeout, [&] { ++otherEvents; });
    other.start(1);

    preview.start();

    QVERIFY(preview.isRunning());
    QWidget *window = previewWindow();
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("Display"));
    QCOMPARE(window->pos(), QPoint(CameraPreview::windowX, CameraPreview::windowY));
    // The window is the picture's size, with no tool bar or status bar around it (highgui keeps
    // a window no smaller than about 100 x 70).
    if (size.width() >= 100 && size.height() >= 100)
        QTRY_COMPARE(window->size(), size);
    // Every frame is shown, and the rest of the application keeps running meanwhile.
    QTRY_COMPARE(preview.framesShown(), sequence.count());
    QTRY_VERIFY(otherEvents >= 3);
    QVERIFY(window->isVisible());
    // The last frame stays on screen unscaled, with its colours as they were retrieved.
    const int area = size.width() * size.height();
    const QColor last = ImageSequence::colour(sequence.count() - 1);
    QTRY_VERIFY2(pixelsOfColour(window, last) >= area,
                 qPrintable(QString::number(pixelsOfColour(window, last))));
    QVERIFY(pixelsOfColour(window, last) < 2 * area);
    QCOMPARE(pixelsOfColour(window, ImageSequence::colour(0)), 0);
}

void TestCameraPreview::endsPreview_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("insideKeyWait");
    QTest::addColumn<bool>("ends");

    QTest::newRow("CamOFF") << "stop" << false << true;
    QTest::newRow("CamOFF inside the key wait") << "stop" << true << true;
    QTest::newRow("Esc in the preview window") << "escape" << false << true;
    QTest::newRow("main window closing") << "closeAll" << false << true;
    QTest::newRow("main window closing inside the key wait") << "closeAll" << true << true;
    QTest::newRow("Esc in another window") << "escapeElsewhere" << false << false;
    QTest::newRow("other key in the preview window") << "otherKey" << false << false;
    QTest::newRow("preview window closed by its frame") << "closeFrame" << true << false;
}

void TestCameraPreview::endsPreview()
{
    QFETCH(QString, how);
    QFETCH(bool, insideKeyWait);
    QFETCH(bool, ends);

    ImageSequence sequence(20, QSize(32, 24));
    QVERIFY(sequence.isValid());
    cv::VideoCapture capture = sequence.open();
    CameraPreview preview(capture);
    QWidget elsewhere;
    elsewhere.show();
    MessageLog log;

    preview.start();
    QTRY_VERIFY(framesHandled(preview) >= 2);
    QWidget *window = previewWindow();
    QVERIFY(window);

    const std::function<void()> action = [&] {
        if (how == "stop")
            preview.stop();
        else if (how == "closeAll")
            preview.closeAllWindows();
        else if (how == "escape")
            QTest::keyClick(window, Qt::Key_Escape);
        else if (how == "escapeElsewhere")
            QTest::keyClick(&elsewhere, Qt::Key_Escape);
        else if (how == "otherKey")
            QTest::keyClick(window, Qt::Key_Q);
        else if (how == "closeFrame")
            window->close();
    };
    if (insideKeyWait)
        QVERIFY(runDuringPreview(preview, action));
    else
        action();

    if (ends) {
        QTRY_VERIFY(!preview.isRunning());
        QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
        QCOMPARE(framesHandledMeanwhile(preview), 0);
    } else {
        QVERIFY(preview.isRunning());
        const int handledBefore = framesHandled(preview);
        QTRY_VERIFY(framesHandled(preview) > handledBefore);
        QCOMPARE(highguiWindows(CameraPreview::windowName).size(), 1);
        preview.stop();
        QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
    }
    QCOMPARE(failedHighguiCalls(log), QStringList());
}

void TestCameraPreview::stopWithoutPreviewDoesNothing_data()
{
    QTest::addColumn<bool>("otherHighguiWindow");
    QTest::addColumn<bool>("previewedBefore");

    QTest::newRow("no highgui window at all") << false << false;
    QTest::newRow("another highgui window") << true << false;
    QTest::newRow("after a preview that ended") << false << true;
}

void TestCameraPreview::stopWithoutPreviewDoesNothing()
{
    QFETCH(bool, otherHighguiWindow);
    QFETCH(bool, previewedBefore);

    ImageSequence sequence(3);
    QVERIFY(sequence.isValid());
    cv::VideoCapture capture = sequence.open();
    CameraPreview preview(capture);
    if (previewedBefore) {
        preview.start();
        QTRY_VERIFY(preview.framesShown() >= 1);
        preview.closeAllWindows();
    }
    if (otherHighguiWindow)
        cv::namedWindow("Other", cv::WINDOW_AUTOSIZE);
    MessageLog log;

    // With no highgui window left, OpenCV throws on destroying one; a stop must not try.
    preview.stop();
    preview.stop();

    QVERIFY(!preview.isRunning());
    QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
    QCOMPARE(highguiWindows("Other").size(), otherHighguiWindow ? 1 : 0);
    QCOMPARE(failedHighguiCalls(log), QStringList());
}

void TestCameraPreview::restartKeepsOneWindow_data()
{
    QTest::addColumn<bool>("insideKeyWait");
    QTest::addColumn<QString>("end");

    QTest::newRow("again from outside, then CamOFF") << false << "stop";
    QTest::newRow("again inside the key wait, then CamOFF") << true << "stop";
    QTest::newRow("again inside the key wait, then Esc") << true << "escape";
    QTest::newRow("again, then the main window closes") << false << "closeAll";
}

void TestCameraPreview::restartKeepsOneWindow()
{
    QFETCH(bool, insideKeyWait);
    QFETCH(QString, end);

    ImageSequence sequence(20, QSize(32, 24));
    QVERIFY(sequence.isValid());
    cv::VideoCapture capture = sequence.open();
    CameraPreview preview(capture);
    preview.start();
    QTRY_VERIFY(framesHandled(preview) >= 2);
    QWidget *window = previewWindow();
    QVERIFY(window);
    cv::moveWindow(CameraPreview::windowName, 300, 310);
    QCOMPARE(window->pos(), QPoint(300, 310));

    if (insideKeyWait)
        QVERIFY(runDuringPreview(preview, [&] { preview.start(); }));
    else
        preview.start();

    QVERIFY(preview.isRunning());
    QCOMPARE(highguiWindows(CameraPreview::windowName), QList<QWidget *> {window});
    QCOMPARE(window->pos(), QPoint(CameraPreview::windowX, CameraPreview::windowY));
    const int handledBefore = framesHandled(preview);
    QTRY_VERIFY(framesHandled(preview) > handledBefore);

    // One end ends it completely.
    if (end == "stop")
        preview.stop();
    else if (end == "escape")
        QTest::keyClick(window, Qt::Key_Escape);
    else
        preview.closeAllWindows();
    QTRY_VERIFY(!preview.isRunning());
    QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
    QCOMPARE(framesHandledMeanwhile(preview), 0);
}

void TestCameraPreview::destroyedInsideKeyWait_data()
{
    QTest::addColumn<bool>("running");

    QTest::newRow("while previewing") << true;
    QTest::newRow("after CamOFF in the same wait") << false;
}

void TestCameraPreview::destroyedInsideKeyWait()
{
    QFETCH(bool, running);

    ImageSequence sequence(20, QSize(32, 24));
    QVERIFY(sequence.isValid());
    cv::VideoCapture capture = sequence.open();
    auto preview = std::make_unique<CameraPreview>(capture);
    preview->start();
    QTRY_VERIFY(framesHandled(*preview) >= 2);
    MessageLog log;

    // The window that owns the preview goes away while the preview waits for a key.
    QVERIFY(runDuringPreview(*preview, [&] {
        if (!running)
            preview->stop();
        preview.reset();
    }));

    QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
    // The application carries on.
    bool fired = false;
    QTimer::singleShot(1, [&] { fired = true; });
    QTRY_VERIFY(fired);
    QCOMPARE(failedHighguiCalls(log), QStringList());
}

void TestCameraPreview::captureRunsDry_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("how");

    QTest::newRow("sequence runs out") << 3 << "runOut";
    QTest::newRow("capture released during the preview") << 400 << "release";
    QTest::newRow("capture never opened") << 0 << "closed";
}

void TestCameraPreview::captureRunsDry()
{
    QFETCH(int, frames);
    QFETCH(QString, how);

    ImageSequence sequence(frames);
    QVERIFY(sequence.isValid());
    cv::VideoCapture capture;
    if (how != "closed")
        capture = sequence.open();
    CameraPreview preview(capture);
    MessageLog log;

    preview.start();
    if (how == "release") {
        QTRY_VERIFY(framesHandled(preview) >= 2);
        // Inside the key wait, as when the camera is unplugged while the preview waits.
        QVERIFY(runDuringPreview(preview, [&] { capture.release(); }));
    }

    // Empty frames are skipped: the preview and its window carry on and stay usable.
    const int missedBefore = preview.framesMissed();
    QTRY_VERIFY(preview.framesMissed() > missedBefore + 3);
    QVERIFY(preview.isRunning());
    QWidget *window = previewWindow();
    QVERIFY(window);
    QCOMPARE(window->pos(), QPoint(CameraPreview::windowX, CameraPreview::windowY));
    if (how == "runOut") {
        QCOMPARE(preview.framesShown(), frames);
        QVERIFY(pixelsOfColour(window, ImageSequence::colour(frames - 1)) >= 320 * 240);
    }
    QTest::keyClick(window, Qt::Key_Escape);
    QTRY_VERIFY(!preview.isRunning());
    QVERIFY(highguiWindows(CameraPreview::windowName).isEmpty());
    QCOMPARE(failedHighguiCalls(log), QStringList());
}

// A camera that stops giving frames is read about every 100 ms, quietly, and at full rate again
// once its frames return. The reads are counted over a fixed span.
void TestCameraPreview::readsWhileFramesStayAway_data()
{
    QTest::addColumn<bool>("framesReturn");
    QTest::addColumn<int>("fewest");
    QTest::addColumn<int>("most");

    constexpr int span = 500;
    constexpr int paced = span / CameraPreview::defaultRetryIntervalMs;
    QTest::newRow("no frames") << false << 1 << paced + 2;
    QTest::newRow("frames return") << true << 4 * paced << std::numeric_limits<int>::max();
}

void TestCameraPreview::readsWhileFramesStayAway()
{
    QFETCH(bool, framesReturn);
    QFETCH(int, fewest);
    QFETCH(int, most);

    // Returned frames run out soon, so the image back end meets its end too.
    ImageSequence sequence(50, QSize(32, 24));
    QVERIFY(sequence.isValid());
    WatchedCapture capture(sequence.pattern(), {cv::CAP_IMAGES});
    QVERIFY(capture.open(0, cv::CAP_IMAGES));
    capture.failing = true;
    CameraPreview preview(capture);
    // OpenCV at its usual level: the preview's own reads must keep it quiet.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_INFO);
    OutputCapture errors(STDERR_FILENO);
    QVERIFY(errors.isActive());
    MessageLog log;
    preview.start();
    QTRY_VERIFY(preview.framesMissed() >= 2);

    capture.failing = !framesReturn;
    const int before = capture.grabs;
    QTest::qWait(500);
    const int reads = capture.grabs - before;
    preview.stop();
    const QByteArray printed = errors.finish();
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);

    QVERIFY2(reads >= fewest && reads <= most, qPrintable(QString::number(reads)));
    QCOMPARE(preview.framesShown() > 0, framesReturn);
    QCOMPARE(QString::fromLocal8Bit(printed), QString());
}

QTEST_MAIN(TestCameraPreview)
#include "tst_camerapreview.moc"
