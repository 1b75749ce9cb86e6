#include "sim/moduleline.h"

#include "link/serialline.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Bytes a serial port's driver may hold for us before we stop producing more: a line that
// nobody reads loses what the module sends, it does not store it.
constexpr qint64 portBacklog = 1 << 16;
// How long a full pseudo-terminal may take nothing before its unread bytes are dropped.
constexpr qint64 staleMs = 2000;
// How often to look whether a viewer has opened the pseudo-terminal.
constexpr int watchMs = 10;
} // namespace

bool openRawPty(int *masterFd, int *slaveFd, QString *slavePath, QString *error)
{
    char name[256] = {};
    if (::openpty(masterFd, slaveFd, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: ") + systemError();
        return false;
    }
    // No echo and no line editing: the viewer's command bytes must not come back as data.
    termios attributes {};
    if (::tcgetattr(*slaveFd, &attributes) == 0) {
        ::cfmakeraw(&attributes);
        ::cfsetispeed(&attributes, B115200);
        ::cfsetospeed(&attributes, B115200);
        ::tcsetattr(*slaveFd, TCSANOW, &attributes);
    }
    ::fcntl(*masterFd, F_SETFL, ::fcntl(*masterFd, F_GETFL) | O_NONBLOCK);
    ::fcntl(*masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(*slaveFd, F_SETFD, FD_CLOEXEC);
    *slavePath = QString::fromLocal8Bit(name);
    return true;
}

bool makeSymLink(const QString &target, const QString &link, QString *error)
{
    const QFileInfo existing(link);
    if (existing.isSymLink()) {
        // A pseudo-terminal's slave lives as long as a process holds its master.
        const QString held = existing.symLinkTarget();
        struct stat status;
        {};
        if (held.startsWith(QLatin1String("/dev/pts/"))
            && ::stat(held.toLocal8Bit().constData(), &status) == 0 && S_ISCHR(status.st_mode)) {
            *error = QStringLiteral("%1 links to %2, a pseudo-terminal that another process holds")
                         .arg(link, held);
            return false;
        }
        QFile::remove(link);
    } else if (existing.exists()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(link);
        return false;
    }
    if (!QFile::link(target, link)) {
        *error = QStringLiteral("cannot link %1 to %2").arg(link, target);
        return false;
    }
    return true;
}

void removeSymLink(const QString &link, const QString &target)
{
    if (!link.isEmpty() && QFileInfo(link).symLinkTarget() == target)
        QFile::remove(link);
}

PtyLine::PtyLine(QObject *parent)
    : ModuleLine(parent)
{
    watch.setInterval(watchMs);
    connect(&watch, &QTimer::timeout, this, &PtyLine::watchForReader);
}

PtyLine::~PtyLine()
{
    removeSymLink(linkPath, path);
    if (masterFd >= 0)
        ::close(masterFd);
}

bool PtyLine::open(QString *error)
{
    int slaveFd = -1;
    if (!openRawPty(&masterFd, &slaveFd, &path, error))
        return false;
    ::close(slaveFd);
    notifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    notifier->setEnabled(false);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        if (!readMaster())
            readerLeft();
    });
    watch.start();
    return true;
}

bool PtyLine::makeLink(const QString &link, QString *error)
{
    if (!makeSymLink(path, link, error))
        return false;
    linkPath = link;
    return true;
}

qint64 PtyLine::send(const char *data, qint64 size)
{
    if (!readerOpen)
        return size; // nobody listens: the bytes are lost, as on a real line
    qint64 total = 0;
    bool flushed = false;
    while (total < size) {
        const ssize_t n = ::write(masterFd, data + total, size_t(size - total));
        if (n > 0) {
            total += n;
            sinceTaken.start();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && !flushed && sinceTaken.hasExpired(staleMs)) {
            // The viewer has its end open but has read nothing for seconds. Lose the old bytes
            // rather than stall, so that it sees fresh frames when it reads. A reader that is
            // only slow holds the simulator back instead and loses nothing.
            dropUnread();
            flushed = true;
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            emit lost(QStringLiteral("pseudo-terminal: ") + systemError());
        break;
    }
    return total;
}

bool PtyLine::drained() const
{
    if (!readerOpen)
        return true;
    // Only a slave descriptor tells what waits unread; a viewer that holds the line exclusively
    // refuses one, and then the simulator waits its longest.
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int waiting = 0;
    const bool empty = ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0;
    ::close(fd);
    return empty;
}

// Reports what the viewer wrote; false when nobody has the slave open.
bool PtyLine::readMaster()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            emit received(QByteArray(buffer, int(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

void PtyLine::watchForReader()
{
    // The master of a slave that nobody has open reports a hang-up without end, so it cannot be
    // waited on: it is looked at now and then instead.
    if (!readMaster())
        return;
    watch.stop();
    readerOpen = true;
    sinceTaken.start();
    notifier->setEnabled(true);
}

void PtyLine::readerLeft()
{
    notifier->setEnabled(false);
    readerOpen = false;
    // What the viewer left unread would greet it when it opens the path again; a real line
    // loses it.
    dropUnread();
    watch.start();
}

void PtyLine::dropUnread()
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        ::tcflush(fd, TCIFLUSH);
        ::close(fd);
    }
}

PortLine::PortLine(const QString &name, QObject *parent)
    : ModuleLine(parent)
    , port(name)
{
    connect(&port, &QSerialPort::readyRead, this, [this] { emit received(port.readAll()); });
    connect(&port, &QSerialPort::errorOccurred, this, [this] {
        if (port.isOpen() && SerialLine::isDeviceGone(port))
            emit lost(SerialLine::goneReason(port));
    });
}

PortLine::~PortLine()
{
    // The port closes after this object is gone: nothing it reports then may reach the handlers.
    QObject::disconnect(&port, nullptr, this, nullptr);
}

bool PortLine::open(QString *error)
{
    return SerialLine::openPort(port, QIODevice::ReadWrite, error);
}

qint64 PortLine::send(const char *data, qint64 size)
{
    if (port.bytesToWrite() > portBacklog)
        return 0;
    const qint64 n = port.write(data, size);
    return n < 0 ? 0 : n;
}

bool PortLine::drained() const
{
    return port.bytesToWrite() == 0;
}
