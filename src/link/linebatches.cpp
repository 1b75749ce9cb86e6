#include "link/linebatches.h"

#include <QSerialPort>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

LineBatches::LineBatches(QSerialPort *port)
    : QObject(port)
    , port(port)
{
    quiet.setSingleShot(true);
    quiet.setInterval(quietMs);
    connect(&quiet, &QTimer::timeout, this, &LineBatches::quietLine);
    // The port reports a batch, or a byte after a quiet while: from then on the line streams.
    connect(port, &QSerialPort::readyRead, this, [this] {
        setBatched(true);
        quiet.start();
    });
    setBatched(true);
    quiet.start();
}

qint64 LineBatches::read(char *data, qint64 max)
{
    const qint64 got = port->read(data, max);
    if (got != 0 || !port->isOpen())
        return got;
    // Non-blocking: what the device holds, whatever the batch. An error or a hang-up is left to
    // the port, which reports it when it next reads.
    const ssize_t held = ::read(int(port->handle()), data, size_t(max));
    return held > 0 ? qint64(held) : 0;
}

void LineBatches::setBatched(bool batch)
{
    if (batch == batched || !port->isOpen())
        return;
    termios settings;
    const int fd = int(port->handle());
    if (::tcgetattr(fd, &settings) != 0)
        return;
    settings.c_cc[VMIN] = batch ? batchBytes : 1;
    settings.c_cc[VTIME] = 0; // a time would make the line readable at its first byte
    if (::tcsetattr(fd, TCSANOW, &settings) == 0)
        batched = batch;
}

void LineBatches::quietLine()
{
    if (!port->isOpen())
        return;
    int held = 0;
    if (::ioctl(int(port->handle()), FIONREAD, &held) == 0 && held > 0) {
        emit bytesHeld();
        quiet.start();
    } else {
        // Quiet for longer: the next byte wakes the reader at once.
        setBatched(false);
    }
}
