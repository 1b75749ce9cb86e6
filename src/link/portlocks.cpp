#include "link/portlocks.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace SerialLine {

namespace {

// /proc/locks and a process's name are small; a bound keeps a strange /proc from stalling us.
constexpr qint64 maxLocksText = 1 << 20;

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.read(256)).trimmed();
}

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

QString PortHolder::describe() const
{
    QString text = QStringLiteral("%1 (process %2")
                       .arg(program.isEmpty() ? QStringLiteral("a program") : program)
                       .arg(pid);
    if (!host.isEmpty())
        text += QStringLiteral(" on ") + host;
    return text + QLatin1Char(')');
}

QString lockFileOf(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
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

std::optional<PortHolder> holderOf(const QString &device)
{
    const QString lockPath = lockFileOf(device);
    PortHolder holder;
    if (!lockPath.isEmpty()
        && QLockFile(lockPath).getLockInfo(&holder.pid, &holder.host, &holder.program)) {
        if (holder.host == QSysInfo::machineHostName())
            holder.host.clear();
        // A lock left behind by a program that ended holds nothing: Qt takes it over.
        if (!holder.host.isEmpty() || processRuns(holder.pid))
            return holder;
    }
    return flockHolderOf(device);
}

std::optional<PortHolder> flockHolderOf(const QString &device)
{
    struct stat node;
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return std::nullopt;
    // A lock names its file by the file system's device and the inode: "MAJ:MIN:INODE", the
    // first two in hex.
    const QByteArray file = QByteArray::number(major(node.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(node.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(node.st_ino));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 4242 00:19:3 0 EOF"; a process waiting for a lock is listed
    // after it as "1: -> FLOCK ...", and holds nothing.
    const QList<QByteArray> lines = locks.read(maxLocksText).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK" || fields.at(5) != file)
            continue;
        PortHolder holder;
        holder.lock = PortHolder::Lock::Flock;
        holder.pid = fields.at(4).toLongLong();
        holder.program = processName(holder.pid);
        return holder;
    }
    return std::nullopt;
}

bool lockDescriptor(int fd)
{
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    // A device that takes no flock() at all is not held through one.
    return result == 0 || errno != EWOULDBLOCK;
}

} // namespace SerialLine
