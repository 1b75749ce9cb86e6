#include "camera/camerapreview.h"

#include <QtGlobal>

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

} // namespace

bool openCamera(cv::VideoCapture &camera, int device, std::ostream &out)
{
#ifdef __linux__
    // Cameras on Linux are Video4Linux devices. Letting OpenCV probe every backend for the index
    // costs a quarter of a second at each start and leaks inside the gphoto2 backend's libraries.
    constexpr int backend = cv::CAP_V4L2;
#else
    constexpr int backend = cv::CAP_ANY;
#endif
    // A missing camera is an ordinary state of this program, not worth OpenCV's warnings.
    const auto previousLevel = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    camera.open(device, backend);
    cv::utils::logging::setLogLevel(previousLevel);

    // Requests only; whatever the device cannot do it ignores.
    camera.set(cv::CAP_PROP_FRAME_WIDTH, 320.0);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, 240.0);
    camera.set(cv::CAP_PROP_FORMAT, 16.0); // CV_8UC3

    if (!camera.isOpened())
        return false;
    out << "Opening Camera..." << std::endl;
    return true;
}

CameraPreview::CameraPreview(cv::VideoCapture &capture)
    : capture(capture)
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
    // Flag 1 is autosize: the window takes the size of the frames.
    highgui([] {
        cv::namedWindow(windowName, cv::WINDOW_AUTOSIZE);
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
        if (capture.grab() && capture.retrieve(frame, 0) && !frame.empty()) {
            // Shown as retrieved: no conversion, scaling or mirroring.
            if (highgui([&frame] { cv::imshow(windowName, frame); }))
                ++shownCount;
        } else {
            ++missedCount;
        }
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
