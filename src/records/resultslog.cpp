#include "records/resultslog.h"

#include "common/files.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool ResultsLog::append(const QJsonObject &record, QString *error) const
{
    const auto fail = [&](const QString &reason) {
        *error = QStringLiteral("cannot append the test record to %1: %2").arg(path_, reason);
        return false;
    };
    QString reason;
    if (!makePrivateFolder(QFileInfo(path_).absolutePath(), &reason))
        return fail(reason);
    // Serial numbers and module bytes are the station's: for its user alone. A symbolic link
    // planted in the log's place is not written through.
    const int fd = ::open(QFile::encodeName(path_).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return fail(errno == ELOOP ? QStringLiteral("it is a symbolic link")
                                   : qt_error_string(errno));
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("it is no regular file"));
    }
    // Programs that judge at the same moment append one after the other, so a record cut short
    // can be taken back before anyone appends behind it.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A writer killed mid-line leaves the file without its last line end; this record starts on
    // a line of its own all the same, so only the broken one is lost.
    struct stat status = {};
    char last = '\n';
    const bool sized = ::fstat(fd, &status) == 0;
    if (sized && status.st_size > 0 && ::pread(fd, &last, 1, status.st_size - 1) == 1
        && last != '\n')
        line.prepend('\n');
    qint64 written = 0;
    int writeError = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + written, size_t(line.size() - written));
        if (n > 0)
            written += n;
        else if (n < 0 && errno != EINTR) {
            writeError = errno;
            break;
        }
    }
    // A full disk may take part of the line: a record is whole or absent.
    if (writeError && written > 0 && sized) {
        [[maybe_unused]] const int truncated = ::ftruncate(fd, status.st_size);
    }
    const bool closed = ::close(fd) == 0; // also releases the lock
    if (writeError)
        return fail(qt_error_string(writeError));
    if (!closed)
        return fail(qt_error_string(errno));
    return true;
}

ResultsLogRead ResultsLog::read(QIODevice &log, const std::function<void(const QcRecord &)> &take)
{
    ResultsLogRead read;
    qint64 number = 0;
    const auto skip = [&](const QString &reason) {
        ++read.skipped;
        if (read.skippedLines.size() < ResultsLogRead::skippedLinesKept)
            read.skippedLines.append({number, reason});
    };
    // Room for the longest record, its line end and a carriage return.
    const qint64 longest = QcRecordLimits::lineBytes + 2;
    while (log.isOpen() && !log.atEnd()) {
        QByteArray line = log.readLine(longest + 2);
        ++number;
        if (!line.endsWith('\n') && line.size() > longest) {
            while (!log.atEnd() && !log.readLine(longest).endsWith('\n')) { }
            skip(QStringLiteral("longer than %1 bytes").arg(QcRecordLimits::lineBytes));
            continue;
        }
        if (!line.endsWith('\n')) {
            if (!line.trimmed().isEmpty())
                skip(QStringLiteral("a last line without its end"));
            break;
        }
        line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        const QcRecordLine record = qcReadRecordLine(line);
        if (record.status == QcRecordLine::UnknownVersion) {
            ++read.unknown;
        } else if (record.status == QcRecordLine::Malformed) {
            skip(record.problem);
        } else {
            ++read.records;
            take(record.record);
        }
    }
    return read;
}
