#include "portloop.h"

#include "link/serialline.h"

#include <limits>

PortLoop::PortLoop(const QString &command)
    : command(command)
{
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
}

bool PortLoop::open(const QString &name, QIODevice::OpenMode mode)
{
    serial.setPortName(name);
    QString error;
    if (SerialLine::openPort(serial, mode, &error))
        return true;
    code = fail(error);
    return false;
}

void PortLoop::onStopSignal(std::function<void()> handler)
{
    QObject::connect(&stopSignal, &StopSignal::stopRequested, &handlers,
                     [handler = std::move(handler)] { handler(); });
}

void PortLoop::onLost(std::function<void(const QString &reason)> handler)
{
    // A port that only cannot take bytes yet is not gone.
    QObject::connect(&serial, &QSerialPort::errorOccurred, &handlers,
                     [this, handler = std::move(handler)] {
                         if (lost || !serial.isOpen() || !SerialLine::isDeviceGone(serial))
                             return;
                         lost = true;
                         handler(SerialLine::goneReason(serial));
                     });
}

void PortLoop::setDeadline(int ms, std::function<void()> handler)
{
    QObject::connect(&deadline, &QTimer::timeout, &handlers,
                     [handler = std::move(handler)] { handler(); });
    deadline.start(ms);
}

int PortLoop::millisecondsOf(double seconds)
{
    return int(qMin(seconds * 1000, double(std::numeric_limits<int>::max())));
}

void PortLoop::finish(const QString &error)
{
    if (!error.isEmpty() && code == ExitSuccess)
        code = fail(error);
    loop.exit();
}

int PortLoop::exec()
{
    loop.exec();
    // No port handler may run while the port closes.
    QObject::disconnect(&serial, nullptr, &handlers, nullptr);
    return code;
}

void PortLoop::closePort()
{
    QObject::disconnect(&serial, nullptr, &handlers, nullptr);
    serial.close();
}
