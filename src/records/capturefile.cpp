#include "records/capturefile.h"

#include "common/files.h"
#include "link/sessionfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool QcCaptureFile::open(const QString &folder)
{
    discard();
    problem.clear();
    QString reason;
    if (QFileInfo(folder).isSymLink())
        return fail(
            QStringLiteral("cannot write a capture in %1: it is a symbolic link").arg(folder));
    if (!makePrivateFolder(folder, &reason))
        return fail(QStringLiteral("cannot write a capture in %1: %2").arg(folder, reason));
    file.setFileName(QDir(folder).filePath(QLatin1Char('.')
                                           + QUuid::createUuid().toString(QUuid::WithoutBraces)
                                           + QLatin1String(".partial")));
    // For the station's user alone, and never through a link planted in its place; made here,
    // then opened by its name in a folder that only the user can change.
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const QString why = qt_error_string(errno);
        file.setFileName(QString());
        return fail(QStringLiteral("cannot write a capture in %1: %2").arg(folder, why));
    }
    ::close(fd);
    if (!file.open(QIODevice::WriteOnly))
        return fail(
            QStringLiteral("cannot write a capture in %1: %2").arg(folder, file.errorString()));
    clock.start();
    SessionFile writer(&file);
    if (!writer.writeHeader())
        return fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    return true;
}

void QcCaptureFile::add(const char *data, qint64 size, qint64 timeUs)
{
    if (!file.isOpen() || !problem.isEmpty() || size <= 0)
        return;
    SessionFile writer(&file);
    if (!writer.write(SessionFile::FromModule, timeUs, data, size))
        fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), writeError()));
}

std::optional<QcRecordCapture> QcCaptureFile::keep(const QString &path)
{
    if (!file.isOpen()) {
        if (problem.isEmpty())
            problem = QStringLiteral("no capture was started");
        return std::nullopt;
    }
    if (!file.flush()) {
        fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), writeError()));
        return std::nullopt;
    }
    file.close();
    // Read back rather than hashed on the way: what the record vouches for is what is on disk.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        fail(QStringLiteral("cannot read %1 back: %2").arg(file.fileName(), file.errorString()));
        return std::nullopt;
    }
    QcRecordCapture entry {QFileInfo(path).absoluteFilePath(),
                           QString::fromLatin1(hash.result().toHex()), file.size()};
    file.close();
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(path).constData())
        != 0) {
        const QString reason = qt_error_string(errno);
        fail(QStringLiteral("cannot keep the capture as %1: %2").arg(path, reason));
        return std::nullopt;
    }
    file.setFileName(QString());
    return entry;
}

void QcCaptureFile::discard()
{
    if (file.fileName().isEmpty())
        return;
    file.close();
    file.remove();
    file.setFileName(QString());
}

QString QcCaptureFile::pathFor(const QString &folder, const QString &id)
{
    return QDir(folder).filePath(id + QLatin1String(".session"));
}

QString QcCaptureFile::writeError()
{
    // Qt's buffered file loses errno on a write cut short by a full disk ("Unknown error"); the
    // next write of our own tells it, and the file goes anyway.
    const char probe = 0;
    if (file.handle() >= 0 && ::write(file.handle(), &probe, 1) < 0)
        return qt_error_string(errno);
    return file.errorString();
}

bool QcCaptureFile::fail(const QString &message)
{
    problem = message;
    // Nothing more is written; the file goes at once, not at the run's end.
    discard();
    return false;
}

bool qcKeepsCapture(QcCaptureKeeping keeping, bool passed)
{
    return keeping == QcCaptureKeeping::All || (keeping == QcCaptureKeeping::Failed && !passed);
}

namespace {

// The path with every link resolved, or empty when it does not exist.
QByteArray realPath(const QByteArray &path)
{
    char *real = ::realpath(path.constData(), nullptr);
    const QByteArray resolved = real ? QByteArray(real) : QByteArray();
    std::free(real);
    return resolved;
}

} // namespace

QcCaptureEvidence qcOpenRecordCapture(const QcRecord &record, const QString &capturesFolder,
                                      const QStringList &givenPaths)
{
    QcCaptureEvidence evidence;
    const auto unavailable = [&](const QString &why) {
        evidence.unavailable = why;
        return std::move(evidence);
    };
    if (!record.capture)
        return unavailable(QStringLiteral("the run kept none"));
    const QcRecordCapture &capture = *record.capture;
    const QString path = QDir::cleanPath(
        QDir(QFileInfo(capturesFolder).absolutePath()).absoluteFilePath(capture.path));
    bool given = false;
    for (const QString &p : givenPaths)
        given = given || QFileInfo(p).absoluteFilePath() == path;
    const QByteArray real = realPath(QFile::encodeName(path));
    if (real.isEmpty())
        return unavailable(qt_error_string(errno));
    const QByteArray folder = realPath(QFile::encodeName(capturesFolder));
    if (!given && (folder.isEmpty() || !real.startsWith(folder + '/')))
        return unavailable(QStringLiteral("it is not in %1").arg(capturesFolder));
    // Looked at before it is opened: opening a device or a FIFO can wait, or change a line.
    struct stat before = {};
    if (::stat(real.constData(), &before) != 0 || !S_ISREG(before.st_mode))
        return unavailable(QStringLiteral("it is no regular file"));
    QString reason;
    const int fd = openRegularFile(QFile::decodeName(real), &reason, O_NOFOLLOW);
    if (fd < 0)
        return unavailable(reason);
    auto file = std::make_unique<QFile>();
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || opened.st_ino != before.st_ino
        || opened.st_dev != before.st_dev
        || !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return unavailable(QStringLiteral("it changed while it was opened"));
    }
    if (opened.st_size > capture.bytes)
        return unavailable(
            QStringLiteral("it is larger than the %1 bytes its record names").arg(capture.bytes));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(file.get()) || !file->seek(0))
        return unavailable(file->errorString());
    if (QString::fromLatin1(hash.result().toHex()) != capture.sha256.toLower())
        return unavailable(QStringLiteral("its sha256 is not the one its record names"));
    evidence.file = std::move(file);
    return evidence;
}
