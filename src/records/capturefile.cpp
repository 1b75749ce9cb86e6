#include "records/capturefile.h"

#include "link/sessionfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <cstdio>

bool QcCaptureFile::open(const QString &folder)
{
    discard();
    problem.clear();
    QDir().mkpath(folder);
    file.setFileName(QDir(folder).filePath(QLatin1Char('.')
                                           + QUuid::createUuid().toString(QUuid::WithoutBraces)
                                           + QLatin1String(".partial")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
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
        fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

std::optional<QcRecordCapture> QcCaptureFile::keep(const QString &path)
{
    if (!file.isOpen()) {
        if (problem.isEmpty())
            problem = QStringLiteral("no capture was started");
        return std::nullopt;
    }
    if (!file.flush()) {
        fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
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
