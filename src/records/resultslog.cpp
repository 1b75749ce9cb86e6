#include "records/resultslog.h"

#include "common/files.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
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
    // A lock never let go (a hung or hostile holder) fails the append instead of holding the
    // judging program for ever.
    constexpr int lockTries = 500, lockPauseUs = 10000;
    int tries = 0;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
        if (++tries == lockTries) {
            ::close(fd);
            return fail(QStringLiteral("another program holds its lock"));
        }
        ::usleep(lockPauseUs);
    }
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

namespace {

constexpr int blockBytes = 1 << 20;

bool blank(const char *data, int size)
{
    for (int i = 0; i < size; ++i)
        if (!std::strchr(" \t\n\v\f\r", data[i]) || data[i] == '\0')
            return false;
    return true;
}

} // namespace

LogLines::LogLines(QIODevice &device)
    : device_(device)
{
    // A line as long as a record may be, found whole in the buffer, and a block read behind it.
    buffer_.resize(longest + 1 + blockBytes);
    atEnd_ = !device.isOpen();
}

bool LogLines::fill()
{
    if (atEnd_)
        return false;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.constData() + begin_, size_t(end_ - begin_));
        end_ -= begin_;
        begin_ = 0;
    }
    const qint64 n = device_.read(buffer_.data() + end_, buffer_.size() - end_);
    if (n <= 0) {
        atEnd_ = true;
        return false;
    }
    end_ += int(n);
    return true;
}

bool LogLines::next(QByteArray *line, Kind *kind)
{
    int searched = begin_;
    for (;;) {
        const char *start = buffer_.constData() + begin_;
        const auto *newline = static_cast<const char *>(
            std::memchr(buffer_.constData() + searched, '\n', size_t(end_ - searched)));
        if (newline) {
            const int size = int(newline - start);
            begin_ += size + 1;
            passed_ += size + 1;
            *kind = size > longest ? TooLong : Line;
            *line = QByteArray::fromRawData(start, *kind == Line ? size : 0);
            return true;
        }
        if (end_ - begin_ > longest) {
            // Too long for any record: passed over to its line end, never held.
            *kind = TooLong;
            *line = QByteArray();
            qint64 length = end_ - begin_;
            begin_ = end_ = 0;
            while (fill()) {
                newline = static_cast<const char *>(
                    std::memchr(buffer_.constData(), '\n', size_t(end_)));
                if (newline) {
                    begin_ = int(newline - buffer_.constData()) + 1;
                    passed_ += length + begin_;
                    return true;
                }
                length += end_;
                end_ = 0;
            }
            *kind = Unfinished; // its end is not written yet
            return true;
        }
        searched = end_;
        const int held = begin_;
        if (!fill()) {
            if (begin_ == end_)
                return false;
            *kind = Unfinished;
            *line = QByteArray::fromRawData(buffer_.constData() + begin_, end_ - begin_);
            begin_ = end_;
            return true;
        }
        searched -= held; // the buffer moved to its start
    }
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
    LogLines lines(log);
    QByteArray line;
    LogLines::Kind kind = LogLines::Line;
    while (lines.next(&line, &kind)) {
        ++number;
        if (kind == LogLines::TooLong) {
            skip(QStringLiteral("longer than %1 bytes").arg(QcRecordLimits::lineBytes));
            continue;
        }
        if (kind == LogLines::Unfinished) {
            // Given empty when it is already too long for any record.
            if (line.isEmpty())
                skip(QStringLiteral("longer than %1 bytes").arg(QcRecordLimits::lineBytes));
            else if (!blank(line.constData(), line.size()))
                skip(QStringLiteral("a last line without its end"));
            break;
        }
        const int size = line.endsWith('\r') ? line.size() - 1 : line.size();
        if (blank(line.constData(), size))
            continue;
        const QcRecordLine record
            = qcReadRecordLine(QByteArray::fromRawData(line.constData(), size));
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
