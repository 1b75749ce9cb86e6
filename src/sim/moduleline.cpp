#include "sim/moduleline.h"

#include "link/serialline.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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

PtyMaster::PtyMaster(QObject *parent)
    : QObject(parent)
{
    watch.setInterval(watchMs);
    connect(&watch, &QTimer::timeout, this, &PtyMaster::watchForViewer);
}

PtyMaster::~PtyMaster()
{
    close();
    removeSymLink(linkPath, path);
}

bool PtyMaster::open(QString *error)
{
    int slaveFd = -1;
    if (!openRawPty(&masterFd, &slaveFd, &path, error))
        return false;
    // Only the viewer holds the slave open, so that the master sees it close.
    ::close(slaveFd);
    watch.start();
    return true;
}

bool PtyMaster::makeLink(const QString &link, QString *error)
{
    if (!makeSymLink(path, link, error))
        return false;
    linkPath = link;
    return true;
}

void PtyMaster::watchForViewer()
{
    // The master of a slave that nobody has open reports a hang-up without end, so it cannot be
    // waited on: it is looked at now and then instead.
    pollfd p {masterFd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & POLLHUP))
        return;
    watch.stop();
    viewerOpen = true;
    emit viewerOpened();
}

void PtyMaster::viewerLeft()
{
    dropUnread();
    viewerOpen = false;
    emit viewerClosed();
    watch.start();
}

void PtyMaster::dropUnread()
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        ::tcflush(fd, TCIFLUSH);
        ::close(fd);
    }
}

void PtyMaster::close()
{
    watch.stop();
    viewerOpen = false;
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
}

PtyLine::PtyLine(QObject *parent)
    : ModuleLine(parent)
{
    connect(&master, &PtyMaster::viewerOpened, this, [this] {
        sinceTaken.start();
        notifier->setEnabled(true);
    });
    connect(&master, &PtyMaster::viewerClosed, this, [this] { notifier->setEnabled(false); });
}

PtyLine::~PtyLine()
{
    // Before the master closes its descriptor.
    delete notifier;
}

bool PtyLine::open(QString *error)
{
    if (!master.open(error))
        return false;
    notifier = new QSocketNotifier(master.fd(), QSocketNotifier::Read, this);
    notifier->setEnabled(false);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        if (!readMaster())
            master.viewerLeft();
    });
    return true;
}

qint64 PtyLine::send(const char *data, qint64 size)
{
    if (!master.isViewerOpen())
        return size; // nobody listens: the bytes are lost, as on a real line
    qint64 total = 0;
    bool flushed = false;
    while (total < size) {
        const ssize_t n = ::write(master.fd(), data + total, size_t(size - total));
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
            master.dropUnread();
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
    if (!master.isViewerOpen())
        return true;
    // Only a slave descriptor tells what waits unread; a viewer that holds the line exclusively
    // refuses one, and then the simulator waits its longest.
    const int fd
        = ::open(master.slavePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
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
        const ssize_t n = ::read(master.fd(), buffer, sizeof buffer);
        if (n > 0) {
            emit received(QByteArray(buffer, int(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
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
