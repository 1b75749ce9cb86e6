#pragma once

#include <QColor>
#include <QList>
#include <QSize>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QWidget>

#include "camera/camerapreview.h"

#include <opencv2/videoio.hpp>

#include <functional>
#include <string>
#include <utility>

// A camera stand-in: `count` PNG files frame_000.png, frame_001.png, ... of one plain colour each,
// written into a temporary folder, and a real OpenCV capture reading them in order. The capture
// runs dry after the last file, as a camera does when it is unplugged.
class ImageSequence
{
public:
    explicit ImageSequence(int count, QSize size = QSize(320, 240));

    bool isValid() const { return written; }
    int count() const { return frameCount; }
    QSize size() const { return frameSize; }
    std::string pattern() const;
    cv::VideoCapture open() const;

    // The colour frame `index` should show on screen; the three channels differ, so a frame shown
    // with its channels swapped does not match.
    static QColor colour(int index);

private:
    QTemporaryDir dir;
    int frameCount;
    QSize frameSize;
    bool written = false;
};

// A real capture that notes the opens and property settings it is asked for, and counts its grabs.
// An open through one of `backends` opens the image sequence `source` in place of a device; while
// `failing` is set, every grab fails as on a camera that stopped giving frames.
class WatchedCapture : public cv::VideoCapture
{
public:
    WatchedCapture(std::string source = std::string(), QList<int> backends = {})
        : source(std::move(source))
        , backends(std::move(backends))
    {
    }

    bool open(int index, int backend) override;
    bool set(int property, double value) override;
    bool grab() override;

    QStringList calls;
    int grabs = 0;
    bool failing = false;

private:
    std::string source;
    QList<int> backends;
};

// Sends what the process writes to the file descriptor `fd` (standard output or error) into a
// file while it lives, so a test sees what the program or OpenCV prints.
class OutputCapture
{
public:
    explicit OutputCapture(int fd);
    ~OutputCapture() { finish(); }
    QByteArray finish();
    bool isActive() const { return saved >= 0; }

private:
    QTemporaryFile file;
    int fd;
    int saved = -1;
};

// Runs `action` from inside the preview's key wait, the way a click on the main window arrives
// during a preview. Answers false when the preview never got there.
bool runDuringPreview(const CameraPreview &preview, const std::function<void()> &action);

// The top-level widgets that highgui made for its windows named `name`.
QList<QWidget *> highguiWindows(const char *name);

// How many pixels of `widget`, as it paints itself now, have exactly `colour`.
int pixelsOfColour(QWidget *widget, const QColor &colour);

// The one preview window "Display", or null when there is none or more than one.
QWidget *previewWindow();

// Frames the preview has handled so far, shown or skipped: it goes up with every tick, also once
// the capture has run dry.
int framesHandled(const CameraPreview &preview);
