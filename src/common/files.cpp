#include "common/files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool makePrivateFolder(const QString &path, QString *reason)
{
    const QFileInfo folder(path);
    if (folder.isDir())
        return true;
    if (folder.path() != path && !makePrivateFolder(folder.path(), reason))
        return false;
    if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0
        || (errno == EEXIST && QFileInfo(path).isDir()))
        return true;
    *reason = qt_error_string(errno == EEXIST ? ENOTDIR : errno);
    return false;
}

int openRegularFile(const QString &path, QString *reason, int flags)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) {
        *reason = errno == ELOOP && (flags & O_NOFOLLOW) ? QStringLiteral("it is a symbolic link")
                                                         : qt_error_string(errno);
        return -1;
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *reason = QStringLiteral("it is no regular file");
        ::close(fd);
        return -1;
    }
    // Reading a regular file never waits on a writer; blocking reads are what callers expect.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool openRegularFile(QFile &file, const QString &path, QString *reason, int flags)
{
    const int fd = openRegularFile(path, reason, flags);
    if (fd < 0)
        return false;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    *reason = file.errorString();
    ::close(fd);
    return false;
}

bool readRegularFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *reason)
{
    const int fd = openRegularFile(path, reason);
    if (fd < 0)
        return false;
    bytes->clear();
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *reason = qt_error_string(errno);
            break;
        }
        if (n == 0) {
            ::close(fd);
            return true;
        }
        if (bytes->size() + n > maxBytes) {
            *reason = QStringLiteral("it is larger than %1 bytes").arg(maxBytes);
            break;
        }
        bytes->append(chunk, int(n));
    }
    ::close(fd);
    return false;
}

AtomicFile::~AtomicFile()
{
    discard();
}

bool AtomicFile::fail(int error)
{
    error_ = QStringLiteral("cannot write %1: %2").arg(target_, qt_error_string(error));
    discard();
    return false;
}

bool AtomicFile::open(const QString &target, int mode)
{
    discard();
    target_ = target;
    error_.clear();
    const QFileInfo info(target);
    temporary_ = QFile::encodeName(info.absolutePath() + QLatin1String("/.") + info.fileName()
                                   + QLatin1String(".XXXXXX"));
    fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        temporary_.clear();
        return fail(error);
    }
    // mkostemp makes it 0600; the output takes `mode` under the user's umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, mode_t(mode) & ~mask) != 0)
        return fail(errno);
    return true;
}

bool AtomicFile::write(const char *data, qint64 size)
{
    if (fd_ < 0)
        return false;
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errno);
        data += n;
        size -= n;
    }
    return true;
}

bool AtomicFile::commit()
{
    if (fd_ < 0)
        return false;
    // A full disk may tell only at the flush.
    if (::fsync(fd_) != 0)
        return fail(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        fd_ = -1;
        const int error = errno;
        ::unlink(temporary_.constData());
        temporary_.clear();
        return fail(error);
    }
    if (std::rename(temporary_.constData(), QFile::encodeName(target_).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary_.constData());
        temporary_.clear();
        return fail(error);
    }
    temporary_.clear();
    return true;
}

void AtomicFile::discard()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.isEmpty())
        ::unlink(temporary_.constData());
    temporary_.clear();
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error, int mode)
{
    AtomicFile file;
    if (!file.open(path, mode) || !file.write(bytes) || !file.commit()) {
        *error = file.error();
        return false;
    }
    return true;
}
