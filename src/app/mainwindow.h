#pragma once

// One header, four programs: the build defines which deliverable this is (ENV_DELIVERABLE) and
// which widget set and slot list it has (the ENV_HAS_* switches). Everything else that differs is
// looked up in the per-deliverable tables of the subsystems.

#include "common/deliverable.h"
#include "link/streamdecoder.h"
#include "render/framerenderer.h"

#include <QList>
#include <QMainWindow>
#include <QPoint>

#include <memory>

#ifdef ENV_HAS_CAMERA
#include "camera/camerapreview.h"
#include <opencv2/videoio.hpp>
#endif

class QLabel;
class LineBatches;
class QSerialPort;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr Deliverable deliverable = ENV_DELIVERABLE;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

#ifdef ENV_HAS_QC
    // The path the program was started by, as the entry point keeps it: the quality check looks
    // for its plan beside it.
    void setProgramPath(const QString &path)
    {
        programPath_ = path;
    }
    const QString &programPath() const
    {
        return programPath_;
    }
#endif

#ifdef ENV_HAS_FRAMEDONE
signals:
    void frameDone(QList<short> frame);
    // Every chunk read from the port, before the frames it ends are handed on.
    void moduleBytes(const QByteArray &bytes);
#endif

protected:
#ifdef ENV_LITE
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
#else
    void resizeEvent(QResizeEvent *event) override;
#endif
#ifdef ENV_HAS_CAMERA
    void closeEvent(QCloseEvent *event) override;
#endif

private slots:
    void refreshSerialPort();
    void dataAvailable();
#ifdef ENV_HAS_DISPLAYREFRESH
    void displayRefresh();
#endif
    void on_refreshButton_clicked();
    void on_startButton_clicked();
#ifdef ENV_HAS_QC
    void on_qcButton_pressed();
#endif
#ifdef ENV_HAS_DEVICE_CONTROLS
    void on_offButton_clicked();
    void on_onButton_clicked();
#endif
#ifdef ENV_HAS_CAMERA
    void on_cameraButton_clicked();
    void on_camoffButton_clicked();
#endif
#ifdef ENV_HAS_DEVICE_CONTROLS
    void on_expButton_clicked();
    void on_calibxSlider_valueChanged(int value);
    void on_calibySlider_valueChanged(int value);
    void on_calibzSlider_valueChanged(int value);
    void on_cresetButton_clicked();
    void on_verButton_clicked();
    void on_calibsetButton_clicked();
#endif
#ifdef ENV_HAS_PWM_SLIDER
    void on_pwmSlider_valueChanged(int value);
#endif
#ifdef ENV_HAS_PWM_BUTTONS
    void on_irRstButton_clicked();
    void on_irSetButton_clicked();
#endif

private:
    void portErrorOccurred();
#ifndef ENV_LITE
    // The deliverable's step after every Start, whether or not the port opened.
    void afterStart();
#endif
#ifdef ENV_HAS_PWM_SLIDER
    void sendCommand(const QByteArray &packet);
#endif
#ifdef ENV_HAS_CAMERA
    void setUpCamera();
#endif

    Ui::MainWindow *ui = nullptr;
    // Paints what the decoder finds and keeps the shown image; the window only shows it.
    FrameRenderer renderer {deliverable};
    StreamDecoder decoder {&renderer, renderer.frameMode()};
#ifdef ENV_LITE
    // Where the window paints the shown image, below its buttons.
    QPoint canvasOrigin {10, 61};
#else
    QLabel *canvasLabel = nullptr;
#endif
#ifdef ENV_HAS_CAMERA
    std::unique_ptr<cv::VideoCapture> camera {makeCameraCapture()};
    CameraPreview preview {*camera};
#endif
    QSerialPort *serialPort = nullptr;
    LineBatches *lineBatches = nullptr; // the open port's
    // What one read of the line brought; it keeps its size between reads.
    QByteArray lineBytes;
#ifdef ENV_HAS_DEVICE_CONTROLS
    quint8 pwmLevel = 0;
    quint8 expStep = 0;
    quint8 calibX = 0;
    quint8 calibY = 0;
    quint8 calibZ = 0;
    quint8 verToggle = 0;
#endif

    friend class MainWindowProbe; // tests reach the canvas and decoder through it
#ifdef ENV_HAS_QC
    QString programPath_;
#endif
};
