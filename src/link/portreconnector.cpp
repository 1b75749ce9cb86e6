#include "link/portreconnector.h"

#include "link/serialline.h"
#include "link/serialnames.h"

#include <QFileInfo>

PortReconnector::PortReconnector(QSerialPort &port, QIODevice::OpenMode mode, QObject *parent)
    : QObject(parent)
    , port(port)
    , mode(mode)
{
    connect(&poll, &QTimer::timeout, this, &PortReconnector::attempt);
}

void PortReconnector::start(qint64 limit, int pollMs)
{
    // A port whose device has gone must be closed before the device can be had again.
    if (port.isOpen())
        port.close();
    limitMs = limit;
    lastProblem.clear();
    waited.start();
    poll.start(pollMs);
}

void PortReconnector::cancel()
{
    poll.stop();
}

void PortReconnector::attempt()
{
    // A name that leads nowhere yet is not worth an open; one that does may still refuse for a
    // moment (udev sets a new device's permissions after it appears), so each is tried again.
    if (QFileInfo::exists(SerialLine::systemLocation(port.portName()))) {
        QString error;
        if (SerialLine::openPort(port, mode, &error)) {
            poll.stop();
            emit reopened();
            return;
        }
        lastProblem = error;
    } else {
        lastProblem.clear();
    }
    if (limitMs >= 0 && waited.elapsed() >= limitMs) {
        poll.stop();
        emit gaveUp(lastProblem.isEmpty() ? QStringLiteral("%1 did not come back within %2 s")
                                                .arg(port.portName())
                                                .arg(limitMs / 1000.0)
                                          : lastProblem);
    }
}
