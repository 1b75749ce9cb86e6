#include "sim/viewerpty.h"

#include "sim/moduleline.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace {
// What a viewer that does not read may have waiting for it before more is dropped.
constexpr int pendingLimit = 1 << 20;
} // namespace

ViewerPty::ViewerPty(QObject *parent)
    : QObject(parent)
{
    connect(&master, &PtyMaster::viewerOpened, this, [this] {
        reader->setEnabled(reading);
        emit viewerOpened();
    });
    connect(&master, &PtyMaster::viewerClosed, this, &ViewerPty::viewerClosed);
}

ViewerPty::~ViewerPty()
{
    hangUp();
}

bool ViewerPty::open(QString *error)
{
    if (!master.open(error))
        return false;
    reader = new QSocketNotifier(master.fd(), QSocketNotifier::Read, this);
    reader->setEnabled(false);
    connect(reader, &QSocketNotifier::activated, this, &ViewerPty::readAll);
    writer = new QSocketNotifier(master.fd(), QSocketNotifier::Write, this);
    writer->setEnabled(false);
    connect(writer, &QSocketNotifier::activated, this, &ViewerPty::writePending);
    return true;
}

void ViewerPty::send(const QByteArray &bytes)
{
    if (!master.isViewerOpen() || pending.size() > pendingLimit)
        return;
    pending += bytes;
    writePending();
}

void ViewerPty::writePending()
{
    while (!pending.isEmpty()) {
        const ssize_t n = ::write(master.fd(), pending.constData(), size_t(pending.size()));
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
    while (master.isViewerOpen() && reading) {
        const ssize_t n = ::read(master.fd(), buffer, sizeof buffer);
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
        reader->setEnabled(master.isViewerOpen() && reading);
}

void ViewerPty::viewerLeft()
{
    reader->setEnabled(false);
    writer->setEnabled(false);
    pending.clear();
    master.viewerLeft();
}

void ViewerPty::hangUp()
{
    if (master.fd() < 0)
        return;
    // Either may be the one whose signal is being delivered now.
    reader->deleteLater();
    writer->deleteLater();
    reader = writer = nullptr;
    master.close();
}
