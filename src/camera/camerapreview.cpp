#include "camera/camerapreview.h"

#include <QtGlobal>

#include <memory>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

namespace {

// A highgui call that fails (a window already gone, an image it cannot show) must not end the
// program: the preview carries on or stops, and the failure goes to the debug log.
template<typename Call>
bool highgui(Call call)
{
    try {
        call();
        return true;
    } catch (const cv::Exception &error) {
        qWarning("camera preview: %s", error.what());
        return false;
    }
}

// Keeps OpenCV's warnings off standard error while it lives: a missing camera, or one that has
// stopped giving frames, is an ordinary state of this program, and the image back end would
// otherwise say so at every read.
class QuietOpenCv
{
public:
    QuietOpenCv()
        : previous(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR))
    {
    }
    ~QuietOpenCv() { cv::utils::logging::setLogLevel(previous); }

private:
    cv::utils::logging::LogLevel previous;
};

std::unique_ptr<cv::VideoCapture> makePlainCapture()
{
    return std::make_unique<cv::VideoCapture>();
}

} // namespace

std::unique_ptr<cv::VideoCapture> (*makeCameraCapture)() = makePlainCapture;

bool openCamera(cv::VideoCapture &camera, int device, std::ostream &out)
{
    {
        const QuietOpenCv quiet;
#ifdef __linux__
        // Cameras on Linux are Video4Linux devices, and asking that back end first spares the
        // probe of every other one (a quarter of a second). A camera only another back end
        // reaches still opens through OpenCV's default choice.
        if (!camera.open(device, cv::CAP_V4L2))
            camera.open(device, cv::CAP_ANY);
#else
        camera.open(device, cv::CAP_ANY);
#endif
    }

    // Requests only; whatever the device cannot do it ignores.
    camera.set(cv::CAP_PROP_FRAME_WIDTH, 320.0);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, 240.0);
    camera.set(cv::CAP_PROP_FORMAT, 16.0); // CV_8UC3

    if (!camera.isOpened())
        return false;
    out << "Opening Camera..." << std::endl;
    return true;
}

CameraPreview::CameraPreview(cv::VideoCapture &capture, int retryIntervalMs)
    : capture(capture)
    , retryIntervalMs(retryIntervalMs)
{
    frameTimer.setInterval(0);
    QObject::connect(&frameTimer, &QTimer::timeout, [this] { showNextFrame(); });
}

CameraPreview::~CameraPreview()
{
    if (destroyedDuringFrame)
        *destroyedDuringFrame = true;
    stop();
}

void CameraPreview::start()
{
    // Autosize: the window takes the size of the frames and cannot be resized. Without the plain
    // GUI flag Qt's highgui adds a tool bar and a status bar, and the window grows wider than the
    // picture.
    highgui([] {
        cv::namedWindow(windowName, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::moveWindow(windowName, windowX, windowY);
    });
    previewRunning = true;
    frameTimer.start();
}

void CameraPreview::stop()
{
    if (!previewRunning)
        return;
    previewRunning = false;
    frameTimer.stop();
    highgui([] { cv::destroyWindow(windowName); });
}

void CameraPreview::closeAllWindows()
{
    previewRunning = false;
    frameTimer.stop();
    highgui([] { cv::destroyAllWindows(); });
}

void CameraPreview::showNextFrame()
{
    if (!previewRunning || inFrame)
        return;
    inFrame = true;

    {
        cv::Mat frame;
        bool read = false;
        {
            const QuietOpenCv quiet;
            read = capture.grab() && capture.retrieve(frame, 0) && !frame.empty();
        }
        if (read) {
            // Shown as retrieved: no conversion, scaling or mirroring.
            if (highgui([&frame] { cv::imshow(windowName, frame); }))
                ++shownCount;
        } else {
            ++missedCount;
        }
        // A camera that stops giving frames (unplugged, run dry) is asked again only now and
        // then, not as fast as the loop can spin; its frames come at full rate once they return.
        const int interval = read ? 0 : retryIntervalMs;
        if (frameTimer.interval() != interval)
            frameTimer.setInterval(interval);
    }

    bool destroyed = false;
    destroyedDuringFrame = &destroyed;
    int key = -1;
    highgui([&key] { key = cv::waitKey(1); });
    if (destroyed)
        return;
    destroyedDuringFrame = nullptr;
    inFrame = false;

    // Esc in the preview window ends it, unless a stop inside the wait already did.
    if (key == escapeKey)
        stop();
}
