#pragma once

// The one friend of MainWindow that tests and benchmarks use to reach its private parts; include
// it after "app/mainwindow.h" in a target that links one of the envwindow_* libraries.

#include "app/mainwindow.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QTest>

class MainWindowProbe
{
public:
    static QSerialPort *port(const MainWindow &w) { return w.serialPort; }
    static void replacePort(MainWindow &w, QSerialPort *port) { w.serialPort = port; }
    static StreamDecoder &decoder(MainWindow &w) { return w.decoder; }
    static const QPixmap &displayPixmap(const MainWindow &w) { return w.renderer.shownPixmap(); }
    static QImage canvasImage(MainWindow &w) { return w.renderer.canvasImage().copy(); }
    static QImage shownImage(const MainWindow &w) { return w.renderer.shownPixmap().toImage(); }
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
        return w.camera->isOpened();
#else
        Q_UNUSED(w)
        return false;
#endif
    }
#ifdef ENV_HAS_CAMERA
    static cv::VideoCapture &camera(MainWindow &w)
    {
        return *w.camera;
    }
    static CameraPreview &preview(MainWindow &w)
    {
        return w.preview;
    }
#endif
};

// Puts `port` into the port box and clicks Start, as an operator would. Returns whether the port
// opened (Start is disabled only then).
inline bool startOnPort(MainWindow &window, const QString &port)
{
    auto *chooser = window.findChild<QComboBox *>(QStringLiteral("portChooser"));
    auto *start = window.findChild<QAbstractButton *>(QStringLiteral("startButton"));
    if (!chooser || !start)
        return false;
    chooser->addItem(port);
    chooser->setCurrentIndex(chooser->count() - 1);
    QTest::mouseClick(start, Qt::LeftButton);
    return !start->isEnabled();
}
