#include "link/linebatches.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <sys/ioctl.h>
#include <unistd.h>

LineBatches::LineBatches(QSerialPort *port)
    : QObject(port)
    , port(port)
{
    for (QSocketNotifier *notifier : port->findChildren<QSocketNotifier *>()) {
        if (notifier->type() == QSocketNotifier::Read && notifier->socket() == port->handle())
            watch = notifier;
    }
    rest.setSingleShot(true);
    rest.setInterval(restMs);
    connect(&rest, &QTimer::timeout, this, &LineBatches::restOver);
    connect(port, &QSerialPort::readyRead, this, &LineBatches::take);
}

qint64 LineBatches::read(char *data, qint64 max)
{
    if (!port->isOpen())
        return -1;
    qint64 got = port->bytesAvailable() > 0 ? port->read(data, max) : 0;
    if (got >= 0 && got < max) {
        // Non-blocking, and all the device holds at once. An error or a hang-up is left to the
        // port, which reports it once it watches the line again.
        const ssize_t held = ::read(int(port->handle()), data + got, size_t(max - got));
        got += qMax<ssize_t>(held, 0);
    }
    return got;
}

void LineBatches::take()
{
    emit bytesHeld();
    if (watch && port->isOpen()) {
        watch->setEnabled(false);
        rest.start();
    }
}

void LineBatches::restOver()
{
    if (!watch || !port->isOpen())
        return;
    int held = 0;
    if (::ioctl(int(port->handle()), FIONREAD, &held) == 0 && held > 0)
        take();
    else
        watch->setEnabled(true); // the next byte, an error or a hang-up reaches the port at once
}
