#include "link/serialline.h"

#include "link/portlocks.h"
#include "link/serialnames.h"

#include <QFileInfo>

#include <cerrno>
#include <poll.h>

namespace SerialLine {

namespace {

QString busy(const QString &device)
{
    const std::optional<PortHolder> holder = holderOf(device);
    return holder ? QStringLiteral("it is busy, held by ") + holder->describe()
                  : QStringLiteral("it is busy");
}

// Why `port` did not open, in a few words. Qt reports a port that another program holds as a
// permission error; its lock file tells who holds it.
QString openFailure(const QSerialPort &port, const QString &device)
{
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("no such device");
    case QSerialPort::PermissionError:
        if (!lockFileOf(device).isEmpty() || port.errorString() == qt_error_string(EBUSY))
            return busy(device);
        if (port.errorString() == qt_error_string(EACCES)
            || port.errorString() == qt_error_string(EPERM))
            return QStringLiteral("permission denied");
        return port.errorString();
    default:
        return port.errorString();
    }
}

bool pollsHungUp(const QSerialPort &port)
{
    if (!port.isOpen())
        return false;
    pollfd line {int(port.handle()), POLLOUT, 0};
    return ::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

bool configure(QSerialPort &port)
{
    bool ok = port.setBaudRate(baudRate, QSerialPort::AllDirections);
    ok = port.setDataBits(QSerialPort::Data8) && ok;
    ok = port.setParity(QSerialPort::NoParity) && ok;
    ok = port.setStopBits(QSerialPort::OneStop) && ok;
    ok = port.setFlowControl(QSerialPort::NoFlowControl) && ok;
    return ok;
}

bool openPort(QSerialPort &port, QIODevice::OpenMode mode, QString *error)
{
    const QString name = port.portName();
    if (name.isEmpty()) {
        *error = QStringLiteral("cannot open the port: no port was chosen");
        return false;
    }
    const QString location = systemLocation(name);
    // Qt names its lock after the name it opens: a link and its target would get a lock each.
    const QString device = QFileInfo(location).canonicalFilePath();
    if (!device.isEmpty())
        port.setPortName(device);
    configure(port);
    const QString lockedDevice = device.isEmpty() ? location : device;
    QString reason;
    // A terminal program's flock() is looked for before Qt opens the device and sets its line up
    // under that program; the lock taken after opening settles a race with one that starts now.
    if (flockHolderOf(lockedDevice)) {
        reason = busy(lockedDevice);
    } else if (!port.open(mode)) {
        reason = openFailure(port, lockedDevice);
    } else if (!lockDescriptor(int(port.handle()))) {
        port.close();
        reason = busy(lockedDevice);
    } else if (!configure(port)) { // some settings only take on an open port
        reason = QStringLiteral("the line settings were refused: ") + port.errorString();
        port.close();
    }
    // The open port holds its device; its name is only what it is shown and recorded as.
    port.setPortName(name);
    if (reason.isEmpty())
        return true;
    *error = QStringLiteral("cannot open %1: %2").arg(location, reason);
    return false;
}

bool isDeviceGone(const QSerialPort &port)
{
    switch (port.error()) {
    case QSerialPort::ResourceError:
        // Qt says this both when the device vanished (EIO, ENXIO, hang-up) and when it would
        // not take more bytes yet (EAGAIN: back-pressure, Qt keeps the bytes and writes them
        // later), and its text may be a stale one. The device itself tells: a line that is gone
        // polls as hung up.
        return !port.isOpen() || pollsHungUp(port);
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::ReadError: // a read that fails instead of waiting for data
        return true;
    default:
        return false;
    }
}

QString goneReason(const QSerialPort &port)
{
    switch (port.error()) {
    case QSerialPort::ReadError:
        return QStringLiteral("the other end hung up");
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("the device was removed");
    case QSerialPort::ResourceError:
        // A read that meets the closed other end fails with EIO or returns nothing, which one
        // depends on timing; either way the line polls as hung up.
        if (pollsHungUp(port))
            return QStringLiteral("the other end hung up");
        return QStringLiteral("the device failed: %1").arg(port.errorString());
    default:
        return QStringLiteral("the device failed: %1").arg(port.errorString());
    }
}

} // namespace SerialLine
