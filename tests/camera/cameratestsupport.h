#pragma once

#include <QColor>
#include <QList>
#include <QSize>
#include <QTemporaryDir>
#include <QWidget>

#include "camera/camerapreview.h"

#include <opencv2/videoio.hpp>

#include <string>

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

// The top-level widgets that highgui made for its windows named `name`.
QList<QWidget *> highguiWindows(const char *name);

// How many pixels of `widget`, as it paints itself now, have exactly `colour`.
int pixelsOfColour(QWidget *widget, const QColor &colour);

// The one preview window "Display", or null when there is none or more than one.
QWidget *previewWindow();

// Frames the preview has handled so far, shown or skipped: it goes up with every tick, also once
// the capture has run dry.
int framesHandled(const CameraPreview &preview);
