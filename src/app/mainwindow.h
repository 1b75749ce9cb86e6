#pragma once

// One header, four programs: the build defines which deliverable this is (ENV_DELIVERABLE) and
// which widget set and slot list it has (the ENV_HAS_* switches). Everything else that differs is
// looked up in the per-deliverable tables of the subsystems.

#include "common/deliverable.h"
#include "link/streamdecoder.h"
#include "render/canvas.h"

#include <QColor>
#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QVector>

#include <memory>

#ifdef ENV_HAS_CAMERA
#include "camera/camerapreview.h"
#include <opencv2/videoio.hpp>
#endif

class QLabel;
class QPainter;
class QPixmap;
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

#ifdef ENV_HAS_FRAMEDONE
signals:
    void frameDone(QList<short> frame);
    // Every chunk read from the port, before the frames it ends are handed on.
    void moduleBytes(const QByteArray &bytes);
#endif

protected:
#ifdef ENV_LITE
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
    // Receives what the decoder finds and hands it to the canvas and the listeners.
    class DecoderBridge : public DecoderSink
    {
    public:
        explicit DecoderBridge(MainWindow &window)
            : window(window)
        {
        }
        void pointDecoded(qint16 x, qint16 y, int column) override;
        void flagByteDecoded(quint8 byte, int index) override;
        void frameEnded(const QList<short> &frame) override;

    private:
        MainWindow &window;
    };

    void finishFrame(const QList<short> &frame);
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

#ifdef ENV_LITE
    QPixmap *canvasPixmap = nullptr;
    QPixmap *displayPixmap = nullptr;
    QSize canvasSize;
    QPoint canvasOrigin;
    QPainter *canvasPainter = nullptr;
    QColor bandColor;
    QSerialPort *serialPort = nullptr;
    DecoderBridge decoderBridge {*this};
    StreamDecoder decoder {&decoderBridge, StreamDecoder::FrameMode::PaintOnly};
    std::unique_ptr<Canvas> canvas;
    Ui::MainWindow *ui = nullptr;
    // Where the canvas was painted for the frame on show.
    QVector<QRect> paintedLastFrame;
#else
    Ui::MainWindow *ui = nullptr;
    QPixmap *canvasPixmap = nullptr;
    QPixmap *displayPixmap = nullptr;
    // The shown image and this one are written in turn: the label keeps sharing the image it
    // shows, so writing the other costs no copy of it.
    QPixmap *spareDisplayPixmap = nullptr;
    // Where the canvas was painted for the frame on show and for the one before it.
    QVector<QRect> paintedLastFrame;
    QVector<QRect> paintedFrameBefore;
    QSize canvasSize;
    QPainter *canvasPainter = nullptr;
    QColor bandColor;
    QLabel *canvasLabel = nullptr;
    // The decoder holds the frame under construction (frameSamples) and its column (pointCount).
    DecoderBridge decoderBridge {*this};
    StreamDecoder decoder {&decoderBridge, StreamDecoder::FrameMode::Collect};
    std::unique_ptr<Canvas> canvas;
#ifdef ENV_HAS_CAMERA
    std::unique_ptr<cv::VideoCapture> camera {makeCameraCapture()};
    CameraPreview preview {*camera};
#endif
    QSerialPort *serialPort = nullptr;
#ifdef ENV_HAS_DEVICE_CONTROLS
    quint8 pwmLevel = 0;
    quint8 expStep = 0;
    quint8 calibX = 0;
    quint8 calibY = 0;
    quint8 calibZ = 0;
    quint8 verToggle = 0;
#endif
#endif

    friend class MainWindowProbe; // tests reach the canvas and decoder through it
};
