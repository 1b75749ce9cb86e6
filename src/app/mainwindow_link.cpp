// The main window's side of the serial link: the port list, Start and reading; the decoder hands
// what it finds to the frame renderer.

#include "app/mainwindow.h"
#include "link/linebatches.h"
#include "link/serialline.h"

#include ENV_FORM_HEADER

#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QMetaMethod>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStatusBar>

#include <cstdio>

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
    lineBatches = nullptr;
    QSerialPort *port = serialPort;
    connect(port, &QSerialPort::errorOccurred, this, [this, port](QSerialPort::SerialPortError) {
        if (port == serialPort)
            portErrorOccurred();
    });

    const QIODevice::OpenMode mode
        = deliverable == Deliverable::Lite ? QIODevice::ReadOnly : QIODevice::ReadWrite;
    QString error;
    if (SerialLine::openPort(*serialPort, mode, &error)) {
        lineBatches = new LineBatches(serialPort);
        connect(lineBatches, &LineBatches::bytesHeld, this, &MainWindow::dataAvailable);
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
    // The most decoded at once; the line discipline holds a few kilobytes, the port as much as
    // it read while the window was busy.
    constexpr int maxBatch = 65536;
    if (lineBytes.capacity() < maxBatch)
        lineBytes.reserve(maxBatch); // kept: a fresh array for every read makes the heap churn
#ifdef ENV_HAS_FRAMEDONE
    // Copied only while someone keeps the bytes: the QC dialog's capture.
    const bool bytesWanted = isSignalConnected(QMetaMethod::fromSignal(&MainWindow::moduleBytes));
#endif
    for (bool first = true; lineBatches; first = false) {
        lineBytes.resize(maxBatch);
        lineBytes.resize(int(qMax<qint64>(0, lineBatches->read(lineBytes.data(), maxBatch))));
        if (lineBytes.isEmpty()) {
            if (first)
                qDebug() << "fail to read...";
            return;
        }
#ifdef ENV_HAS_FRAMEDONE
        if (bytesWanted)
            emit moduleBytes(QByteArray(lineBytes.constData(), lineBytes.size()));
#endif
        // Only the last frame that ends in what was read is painted: the ones before it would be
        // replaced before the screen could show them.
        renderer.skipFrames(decoder.frameEndsIn(lineBytes.constData(), lineBytes.size()) - 1);
        decoder.decode(lineBytes.constData(), lineBytes.size());
        if (lineBytes.size() < maxBatch)
            return;
    }
}

// A port whose device went away reports errors without end while it stays open, which burns a
// whole core and leaves Start disabled. Close it once and let the operator start again; the shown
// frame and the decoder state stay as they are.
void MainWindow::portErrorOccurred()
{
    if (!serialPort || !serialPort->isOpen() || !SerialLine::isDeviceGone(*serialPort))
        return;
    const QString lost = QStringLiteral("serial port lost, closed: %1 %2")
                             .arg(serialPort->portName(), SerialLine::goneReason(*serialPort));
    qDebug().noquote() << lost;
    // An operator started from a menu never sees standard error.
    statusBar()->showMessage(lost);
    // A device that is gone can fail once more while its port closes; that error must not bring
    // this handler back inside the close.
    const QSignalBlocker quiet(serialPort);
    serialPort->close();
    ui->startButton->setEnabled(true);
}
