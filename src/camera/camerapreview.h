#pragma once

#include <QTimer>

#include <iostream>
#include <memory>

namespace cv {
class VideoCapture;
}

// Makes the capture that a camera program opens camera 0 into: a plain OpenCV capture. A test sets
// its own maker before it builds a window, to stand in a capture it can watch or make fail.
extern std::unique_ptr<cv::VideoCapture> (*makeCameraCapture)();

// Opens capture device `device` into `camera`, on Linux through Video4Linux first and then
// through OpenCV's default back end, and asks it for 320 x 240 frames of 8-bit
// three-channel pixels (requests only: a device may deliver what it likes). When the device
// opened, says "Opening Camera..." on `out` and answers true; otherwise stays silent.
bool openCamera(cv::VideoCapture &camera, int device = 0, std::ostream &out = std::cout);

// The live picture of a capture in highgui's window "Display".
//
// Frames are pulled by a timer on the GUI thread, one frame per tick followed by a 1 ms key wait.
// The key wait dispatches the application's events, so a stop, a restart or the main window's
// close can arrive inside it; the tick re-checks its state after every wait and never runs
// nested in itself. A frame that cannot be grabbed or comes out empty is skipped, and while
// frames stay away the capture is read again only every `retryIntervalMs`.
class CameraPreview
{
public:
    static constexpr const char *windowName = "Display";
    static constexpr int windowX = 100;
    static constexpr int windowY = 120;
    static constexpr int escapeKey = 27;
    static constexpr int defaultRetryIntervalMs = 100;

    explicit CameraPreview(cv::VideoCapture &capture, int retryIntervalMs = defaultRetryIntervalMs);
    ~CameraPreview();
    CameraPreview(const CameraPreview &) = delete;
    CameraPreview &operator=(const CameraPreview &) = delete;

    // Opens (or raises again) the window at (100, 120) and keeps showing frames until stopped.
    void start();
    // Ends a running preview and removes its window; without a preview it does nothing.
    void stop();
    // For the main window's close: ends the preview and removes every highgui window.
    void closeAllWindows();
    bool isRunning() const { return previewRunning; }

    // Frames shown, and frames skipped because the capture gave none, since construction.
    int framesShown() const { return shownCount; }
    int framesMissed() const { return missedCount; }
    // True while a frame's key wait runs, that is while events are dispatched from inside it.
    bool isShowingFrame() const { return inFrame; }

private:
    void showNextFrame();

    cv::VideoCapture &capture;
    const int retryIntervalMs;
    QTimer frameTimer;
    bool previewRunning = false;
    bool inFrame = false;
    // Points at a flag of the running tick, so that a tick whose key wait outlived this object
    // returns without touching it.
    bool *destroyedDuringFrame = nullptr;
    int shownCount = 0;
    int missedCount = 0;
};
