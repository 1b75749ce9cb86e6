#pragma once

#include <QString>

#include <optional>

// Who holds a serial device. Programs lock a port in one of two ways that do not see each other:
// a UUCP lock file named after the device (Qt, and so our own programs), or flock() on the
// device's descriptor (most terminal programs). Our programs take both.
namespace SerialLine {

struct PortHolder
{
    enum class Lock { File, Flock };
    Lock lock = Lock::File;
    QString program; // empty when nothing tells
    qint64 pid = 0;
    QString host; // a lock file's host, when it is not this machine

    // "envtool (process 4242)", "tio (process 17 on bench-3)".
    QString describe() const;
};

// The UUCP lock file of the device at `device` (a path that leads to the device), if there is
// one, in the first of the usual lock folders that has it.
QString lockFileOf(const QString &device);

// The program that holds `device` through a lock file whose process still runs, or else through
// flock() as /proc/locks tells; nothing when it is free as far as either tells.
std::optional<PortHolder> holderOf(const QString &device);
// Only the flock() holder.
std::optional<PortHolder> flockHolderOf(const QString &device);

// Takes the exclusive flock() on an open descriptor without waiting; false only when another
// open of the device holds it.
bool lockDescriptor(int fd);

} // namespace SerialLine
