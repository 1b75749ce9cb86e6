#include "portloop.h"

#include "link/serialline.h"
#include "link/serialnames.h"

#include <limits>

PortLoop::PortLoop(const QString &command)
    : command(command)
{
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    // Before any handler of the command: a stop that comes while waiting ends the wait.
    QObject::connect(&stopSignal, &StopSignal::stopRequested, [this] {
        if (reconnector)
            reconnector->cancel();
    });
}

bool PortLoop::open(const QString &name, QIODevice::OpenMode mode)
{
    serial.setPortName(name);
    QString error;
    if (SerialLine::openPort(serial, mode, &error)) {
        // Named now, while the device is there: once it is gone, its by-id name cannot be found.
        waitName = SerialLine::recordedName(name);
        reconnector = std::make_unique<PortReconnector>(serial, mode);
        QObject::connect(reconnector.get(), &PortReconnector::reopened, &handlers, [this] {
            lost = false;
            if (whenBack)
                whenBack();
        });
        return true;
    }
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
                         if (!whenGone) {
                             handler(SerialLine::goneReason(serial));
                             return;
                         }
                         whenGone();
                         serial.setPortName(waitName);
                         reconnector->start();
                     });
}

void PortLoop::onReconnect(std::function<void()> gone, std::function<void()> back)
{
    whenGone = std::move(gone);
    whenBack = std::move(back);
}

QString PortLoop::waitingText() const
{
    if (!isWaiting())
        return QString();
    return QStringLiteral("waiting for %1 to come back (%2 s)")
        .arg(waitName)
        .arg(reconnector->waitedMs() / 1000);
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
    if (reconnector)
        reconnector->cancel();
    // No port handler may run while the port closes.
    QObject::disconnect(&serial, nullptr, &handlers, nullptr);
    return code;
}

void PortLoop::closePort()
{
    QObject::disconnect(&serial, nullptr, &handlers, nullptr);
    serial.close();
}
