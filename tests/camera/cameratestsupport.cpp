#include "cameratestsupport.h"

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <iostream>
#include <unistd.h>

ImageSequence::ImageSequence(int count, QSize size)
    : frameCount(count)
    , frameSize(size)
{
    if (!dir.isValid())
        return;
    written = true;
    for (int i = 0; i < count; ++i) {
        const QColor c = colour(i);
        // OpenCV keeps pixels as blue, green, red.
        const cv::Mat frame(size.height(), size.width(), CV_8UC3,
                            cv::Scalar(c.blue(), c.green(), c.red()));
        const QString path = dir.filePath(QStringLiteral("frame_%1.png").arg(i, 3, 10, QChar('0')));
        written = written && cv::imwrite(path.toStdString(), frame);
    }
}

std::string ImageSequence::pattern() const
{
    return dir.filePath(QStringLiteral("frame_%03d.png")).toStdString();
}

cv::VideoCapture ImageSequence::open() const
{
    return cv::VideoCapture(pattern(), cv::CAP_IMAGES);
}

QColor ImageSequence::colour(int index)
{
    return QColor((200 + 13 * index) % 256, (40 + 71 * index) % 256, (90 + 37 * index) % 256);
}

QList<QWidget *> highguiWindows(const char *name)
{
    QList<QWidget *> found;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String(name) && widget->inherits("CvWindow"))
            found << widget;
    }
    return found;
}

int pixelsOfColour(QWidget *widget, const QColor &colour)
{
    const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb wanted = colour.rgb();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            count += (line[x] | 0xff000000u) == wanted;
    }
    return count;
}

QWidget *previewWindow()
{
    const QList<QWidget *> windows = highguiWindows(CameraPreview::windowName);
    return windows.size() == 1 ? windows.first() : nullptr;
}

int framesHandled(const CameraPreview &preview)
{
    return preview.framesShown() + preview.framesMissed();
}

bool WatchedCapture::open(int index, int backend)
{
    calls << QStringLiteral("open %1 %2").arg(index).arg(backend);
    if (!backends.contains(backend)) {
        release();
        return false;
    }
    return cv::VideoCapture::open(source, cv::CAP_IMAGES);
}

bool WatchedCapture::set(int property, double value)
{
    calls << QStringLiteral("set %1 %2").arg(property).arg(value);
    return cv::VideoCapture::set(property, value);
}

bool WatchedCapture::grab()
{
    ++grabs;
    return !failing && cv::VideoCapture::grab();
}

OutputCapture::OutputCapture(int fd)
    : fd(fd)
{
    if (!file.open())
        return;
    std::cout.flush();
    std::fflush(nullptr);
    saved = ::dup(fd);
    ::dup2(file.handle(), fd);
}

QByteArray OutputCapture::finish()
{
    if (saved >= 0) {
        std::cout.flush();
        std::fflush(nullptr);
        ::dup2(saved, fd);
        ::close(saved);
        saved = -1;
    }
    file.seek(0);
    return file.readAll();
}

bool runDuringPreview(const CameraPreview &preview, const std::function<void()> &action)
{
    bool done = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done || !preview.isShowingFrame())
            return;
        done = true;
        poll.stop();
        action();
    });
    poll.start(0);
    return QTest::qWaitFor([&] { return done; });
}
