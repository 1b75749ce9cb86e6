#include "link/serialline.h"

#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <poll.h>

namespace SerialLine {

namespace {

// Where Qt opens a port of that name: a bare name is a device in /dev.
QString systemLocation(const QString &name)
{
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../"));
    return path ? name : QStringLiteral("/dev/") + name;
}

// The lock file Qt keeps while it holds the device at `location`, if there is one: named after
// the port, in the first of the usual lock folders that has it.
QString lockFileOf(const QString &location)
{
    QString name = location.startsWith(QLatin1String("/dev/")) ? location.mid(5) : location;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList folders {QStringLiteral("/var/lock"),
                               QStringLiteral("/etc/locks"),
                               QStringLiteral("/var/spool/locks"),
                               QStringLiteral("/var/spool/uucp"),
                               QStringLiteral("/tmp"),
                               QStringLiteral("/var/tmp"),
                               QStringLiteral("/var/lock/lockdev"),
                               QStringLiteral("/run/lock"),
                               QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    for (const QString &folder : folders) {
        const QString path = folder + QStringLiteral("/LCK..") + name;
        if (QFileInfo::exists(path))
            return path;
    }
    return QString();
}

// Why `port` did not open, in a few words. Qt reports a port that another program holds as a
// permission error; its lock file tells who holds it.
QString openFailure(const QSerialPort &port, const QString &device)
{
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("no such device");
    case QSerialPort::PermissionError: {
        const QString lockPath = lockFileOf(device);
        if (!lockPath.isEmpty() || port.errorString() == qt_error_string(EBUSY)) {
            qint64 pid = 0;
            QString host, program;
            if (lockPath.isEmpty() || !QLockFile(lockPath).getLockInfo(&pid, &host, &program))
                return QStringLiteral("it is busy");
            QString holder = QStringLiteral("it is busy, held by %1 (process %2")
                                 .arg(program.isEmpty() ? QStringLiteral("a program") : program)
                                 .arg(pid);
            if (!host.isEmpty() && host != QSysInfo::machineHostName())
                holder += QStringLiteral(" on ") + host;
            return holder + QLatin1Char(')');
        }
        if (port.errorString() == qt_error_string(EACCES)
            || port.errorString() == qt_error_string(EPERM))
            return QStringLiteral("permission denied");
        return port.errorString();
    }
    default:
        return port.errorString();
    }
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
    QString reason;
    if (!port.open(mode)) {
        reason = openFailure(port, device.isEmpty() ? location : device);
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
    case QSerialPort::ResourceError: {
        // Qt says this both when the device vanished (EIO, ENXIO, hang-up) and when it would
        // not take more bytes yet (EAGAIN: back-pressure, Qt keeps the bytes and writes them
        // later), and its text may be a stale one. The device itself tells: a line that is gone
        // polls as hung up.
        if (!port.isOpen())
            return true;
        pollfd line {int(port.handle()), POLLOUT, 0};
        return ::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
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
    default:
        return QStringLiteral("the device failed: %1").arg(port.errorString());
    }
}

} // namespace SerialLine
