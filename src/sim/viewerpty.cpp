#include "sim/viewerpty.h"

#include "sim/moduleline.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
// How often to look whether the viewer has opened its side. The master end of a
// pseudo-terminal that nobody has open reports a hang-up without end, so it cannot be waited on.
constexpr int watchMs = 10;
// What a viewer that does not read may have waiting for it before more is dropped.
constexpr int pendingLimit = 1 << 20;
} // namespace

ViewerPty::ViewerPty(QObject *parent)
    : QObject(parent)
{
    watch.setInterval(watchMs);
    connect(&watch, &QTimer::timeout, this, &ViewerPty::watchForViewer);
}

ViewerPty::~ViewerPty()
{
    hangUp();
    removeSymLink(linkPath, path);
}

bool ViewerPty::open(QString *error)
{
    int slaveFd = -1;
    if (!openRawPty(&masterFd, &slaveFd, &path, error))
        return false;
    // Only the viewer holds the slave open, so that the master sees it close.
    ::close(slaveFd);
    reader = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    reader->setEnabled(false);
    connect(reader, &QSocketNotifier::activated, this, &ViewerPty::readAll);
    writer = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writer->setEnabled(false);
    connect(writer, &QSocketNotifier::activated, this, &ViewerPty::writePending);
    watch.start();
    return true;
}

bool ViewerPty::makeLink(const QString &link, QString *error)
{
    if (!makeSymLink(path, link, error))
        return false;
    linkPath = link;
    return true;
}

void ViewerPty::send(const QByteArray &bytes)
{
    if (!viewerOpen || pending.size() > pendingLimit)
        return;
    pending += bytes;
    writePending();
}

void ViewerPty::writePending()
{
    while (!pending.isEmpty()) {
        const ssize_t n = ::write(masterFd, pending.constData(), size_t(pending.size()));
        if (n > 0) {
            pending.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else {
            viewerLeft();
            return;
        }
    }
    writer->setEnabled(!pending.isEmpty());
}

void ViewerPty::readAll()
{
    char buffer[4096];
    // A listener may pause reading or hang the line up from inside `received`.
    while (viewerOpen && reading) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            emit received(QByteArray(buffer, int(n)));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // EIO once the viewer's side has no one left holding it open.
            if (!(n < 0 && errno == EAGAIN))
                viewerLeft();
            return;
        }
    }
}

void ViewerPty::setReading(bool on)
{
    reading = on;
    if (reader)
        reader->setEnabled(viewerOpen && reading);
}

void ViewerPty::viewerLeft()
{
    reader->setEnabled(false);
    writer->setEnabled(false);
    pending.clear();
    // What the viewer left unread would greet it when it opens the path again; a real line
    // loses it.
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        ::tcflush(fd, TCIFLUSH);
        ::close(fd);
    }
    viewerOpen = false;
    emit viewerClosed();
    watch.start();
}

void ViewerPty::watchForViewer()
{
    pollfd p {masterFd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & POLLHUP))
        return;
    watch.stop();
    viewerOpen = true;
    reader->setEnabled(reading);
    emit viewerOpened();
}

void ViewerPty::hangUp()
{
    if (masterFd < 0)
        return;
    watch.stop();
    // Either may be the one whose signal is being delivered now.
    reader->deleteLater();
    writer->deleteLater();
    reader = writer = nullptr;
    ::close(masterFd);
    masterFd = -1;
    viewerOpen = false;
}
