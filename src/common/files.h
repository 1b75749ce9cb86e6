#pragma once

// Files that a station reads from others or writes for itself: read only when they are regular
// files, never blocking on a FIFO; written whole or not at all; kept for the station's user.

#include <QByteArray>
#include <QString>

// Makes `path` and the folders above it that are missing, each made for the user alone (0700);
// folders already there are left as they are. False with the system's reason.
bool makePrivateFolder(const QString &path, QString *reason);

// Opens `path` for reading only if it is a regular file, without blocking on the way (a FIFO or a
// device is refused, not opened for good). `flags`: more open(2) flags, such as O_NOFOLLOW. The
// descriptor, or -1 with the reason.
int openRegularFile(const QString &path, QString *reason, int flags = 0);

// The same, as `file` opened for reading (its name left empty: say `path` in messages).
class QFile;
bool openRegularFile(QFile &file, const QString &path, QString *reason, int flags = 0);

// The whole of the regular file at `path`, if it holds at most `maxBytes`. False with the reason.
bool readRegularFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *reason);

// An output written beside its target under a hidden name and renamed onto it on commit(), so
// that the target is either the old file untouched or the new one whole. Destroyed uncommitted,
// it leaves nothing behind.
class AtomicFile
{
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // `mode`: of the file made, before the umask (0666 follows the user's umask; 0600 keeps it
    // for the user alone).
    bool open(const QString &target, int mode = 0666);
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // Flushes the file to disk and gives it the target's name.
    bool commit();
    void discard();
    bool isOpen() const { return fd_ >= 0; }
    // "cannot write TARGET: the system's reason".
    const QString &error() const { return error_; }

private:
    bool fail(int error);

    QString target_;
    QByteArray temporary_;
    int fd_ = -1;
    QString error_;
};

// `bytes` as the file `path`, through an AtomicFile.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error,
                         int mode = 0666);
