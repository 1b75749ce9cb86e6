#pragma once

// The one friend of MainWindow that tests and benchmarks use to reach its private parts; include
// it after "app/mainwindow.h" in a target that links one of the envwindow_* libraries.

#include "app/mainwindow.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QString>

class MainWindowProbe
{
public:
    static QSerialPort *port(const MainWindow &w) { return w.serialPort; }
    static void replacePort(MainWindow &w, QSerialPort *port) { w.serialPort = port; }
    static StreamDecoder &decoder(MainWindow &w) { return w.decoder; }
    static const QPixmap &displayPixmap(const MainWindow &w) { return *w.displayPixmap; }
    static QImage canvasImage(const MainWindow &w) { return w.canvasPixmap->toImage(); }
    static QImage shownImage(const MainWindow &w) { return w.displayPixmap->toImage(); }
#ifndef ENV_LITE
    static QImage labelImage(const MainWindow &w)
    {
        return w.canvasLabel->pixmap(Qt::ReturnByValue).toImage();
    }
#endif

    // pwmLevel, expStep, calibX, calibY, calibZ, verToggle; empty where the window keeps none.
    static QString settings(const MainWindow &w)
    {
#ifdef ENV_HAS_DEVICE_CONTROLS
        return QStringLiteral("%1 %2 %3 %4 %5 %6")
            .arg(w.pwmLevel)
            .arg(w.expStep)
            .arg(w.calibX)
            .arg(w.calibY)
            .arg(w.calibZ)
            .arg(w.verToggle);
#else
        Q_UNUSED(w)
        return QString();
#endif
    }

    static bool cameraOpen(const MainWindow &w)
    {
#ifdef ENV_HAS_CAMERA
        return w.camera.isOpened();
#else
        Q_UNUSED(w)
        return false;
#endif
    }
#ifdef ENV_HAS_CAMERA
    static cv::VideoCapture &camera(MainWindow &w)
    {
        return w.camera;
    }
    static CameraPreview &preview(MainWindow &w)
    {
        return w.preview;
    }
#endif
};
