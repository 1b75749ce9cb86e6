// The main window's side of the serial link: the port list, Start, reading, and what happens with
// the points, flag bytes and frames that the decoder finds.

#include "app/mainwindow.h"
#include "link/serialline.h"

#include ENV_FORM_HEADER

#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QMetaMethod>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStatusBar>

#include <cstdio>

#include <utility>

void MainWindow::refreshSerialPort()
{
    ui->portChooser->clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        ui->portChooser->addItem(port.portName());
}

void MainWindow::on_refreshButton_clicked()
{
    refreshSerialPort();
}

void MainWindow::on_startButton_clicked()
{
    // An earlier port stays a child of the window; only the newest one is ever open.
    serialPort = new QSerialPort(ui->portChooser->currentText(), this);
    connect(serialPort, SIGNAL(readyRead()), this, SLOT(dataAvailable()));
    QSerialPort *port = serialPort;
    connect(port, &QSerialPort::errorOccurred, this, [this, port](QSerialPort::SerialPortError) {
        if (port == serialPort)
            portErrorOccurred();
    });

    const QIODevice::OpenMode mode
        = deliverable == Deliverable::Lite ? QIODevice::ReadOnly : QIODevice::ReadWrite;
    QString error;
    if (SerialLine::openPort(*serialPort, mode, &error)) {
        ui->startButton->setEnabled(false);
        statusBar()->clearMessage();
        qDebug() << "data ready";
    } else {
        // Busy, no permission, unplugged: the operator learns why Start did nothing.
        const QString line = QCoreApplication::applicationName() + QStringLiteral(": ") + error;
        std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        statusBar()->showMessage(error);
    }
#ifndef ENV_LITE
    afterStart();
#endif
}

void MainWindow::dataAvailable()
{
    // Everything the port holds, through a buffer on the stack: a fresh array for every read
    // makes the heap grow and shrink with each of the line's many small reads.
    char chunk[4096];
    qint64 got = serialPort->read(chunk, sizeof chunk);
    if (got <= 0) {
        qDebug() << "fail to read...";
        return;
    }
#ifdef ENV_HAS_FRAMEDONE
    // Copied only while someone keeps the bytes: the QC dialog's capture.
    const bool bytesWanted = isSignalConnected(QMetaMethod::fromSignal(&MainWindow::moduleBytes));
#endif
    do {
#ifdef ENV_HAS_FRAMEDONE
        if (bytesWanted)
            emit moduleBytes(QByteArray(chunk, int(got)));
#endif
        decoder.decode(chunk, int(got));
    } while ((got = serialPort->read(chunk, sizeof chunk)) > 0);
}

// A port whose device went away reports errors without end while it stays open, which burns a
// whole core and leaves Start disabled. Close it once and let the operator start again; the shown
// frame and the decoder state stay as they are.
void MainWindow::portErrorOccurred()
{
    if (!serialPort || !serialPort->isOpen() || !SerialLine::isDeviceGone(*serialPort))
        return;
    qDebug().noquote() << "serial port lost, closed:" << serialPort->portName()
                       << SerialLine::goneReason(*serialPort);
    // A device that is gone can fail once more while its port closes; that error must not bring
    // this handler back inside the close.
    const QSignalBlocker quiet(serialPort);
    serialPort->close();
    ui->startButton->setEnabled(true);
}

void MainWindow::DecoderBridge::pointDecoded(qint16 x, qint16 y, int column)
{
#ifdef ENV_LITE
    // This window keeps no columns and paints only points with a reading above the floor.
    if (y > 0)
        window.canvas->paintPoint(x, y, column);
#else
    window.canvas->paintPoint(x, y, column);
#endif
}

void MainWindow::DecoderBridge::flagByteDecoded(quint8 byte, int index)
{
#ifdef ENV_LITE
    Q_UNUSED(byte)
    Q_UNUSED(index)
#else
    window.canvas->paintFlagByte(byte, index);
#endif
}

void MainWindow::DecoderBridge::frameEnded(const QList<short> &frame)
{
    window.finishFrame(frame);
}

// Shows the finished canvas and hands the frame to the listeners before the canvas is cleared;
// the decoder empties the frame once this returns. Only what a frame painted changes from one
// frame to the next, so only that is copied, and in envviewer_lite only that is repainted.
void MainWindow::finishFrame(const QList<short> &frame)
{
    const QVector<QRect> &painted = canvas->painted();
#ifdef ENV_LITE
    // The shown image holds the last frame: it differs from this one where either painted. One
    // rectangle around it all is repainted: Qt's merging of the many small ones costs more than
    // painting the background between them.
    QPainter painter(displayPixmap);
    QRect changed;
    for (const QVector<QRect> *rects : {&painted, &qAsConst(paintedLastFrame)}) {
        for (const QRect &rect : *rects) {
            painter.drawPixmap(rect.topLeft(), *canvasPixmap, rect);
            changed |= rect;
        }
    }
    painter.end();
    update(changed.translated(canvasOrigin));
    paintedLastFrame = painted;
#else
    // The spare image holds the frame before last: it differs from this one where either painted.
    // Its painter ends before the label takes it: a pixmap handed over while a painter is active
    // on it is copied whole. Taking the new image, the label repaints itself.
    {
        QPainter painter(spareDisplayPixmap);
        for (const QVector<QRect> *rects : {&painted, &qAsConst(paintedFrameBefore)}) {
            for (const QRect &rect : *rects)
                painter.drawPixmap(rect.topLeft(), *canvasPixmap, rect);
        }
    }
    std::swap(displayPixmap, spareDisplayPixmap);
    canvasLabel->setPixmap(*displayPixmap);
    paintedFrameBefore = std::exchange(paintedLastFrame, painted);
#endif
#ifdef ENV_HAS_FRAMEDONE
    emit frameDone(frame);
#else
    Q_UNUSED(frame)
#endif
    canvas->drawBackground();
}
