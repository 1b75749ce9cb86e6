#include "records/logsync.h"

#include <QCryptographicHash>
#include <QFile>

#include <sys/stat.h>

namespace {

constexpr qint64 readChunk = 4 << 20;

// The synced part is recognised by its last bytes: a log rotated, cut or written anew differs
// there, and checking them costs the same however long the log grows.
constexpr qint64 checkedBytes = 64 << 10;

QByteArray checksumBefore(QFile &log, qint64 end)
{
    const qint64 start = qMax<qint64>(0, end - checkedBytes);
    if (!log.seek(start))
        return QByteArray();
    const QByteArray bytes = log.read(end - start);
    if (bytes.size() != end - start)
        return QByteArray();
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

quint64 inodeOf(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

} // namespace

LogSync::LogSync(RecordStore &store, const QString &logPath, const QString &host)
    : store_(store)
    , logPath_(logPath)
    , host_(host)
{
}

bool LogSync::begin()
{
    atEnd_ = false;
    RecordStore::LogState stored;
    if (!store_.logState(host_, logPath_, &stored)) {
        error_ = store_.error();
        return false;
    }
    state_ = {};
    inode_ = inodeOf(logPath_);
    QFile log(logPath_);
    if (!log.open(QIODevice::ReadOnly)) {
        if (!log.exists())
            return true; // nothing judged yet: nothing to send
        error_ = QStringLiteral("cannot read %1: %2").arg(logPath_, log.errorString());
        return false;
    }
    if (stored.bytes <= 0 || stored.bytes > log.size())
        return true;
    // Another log by the same name is compared again from its start.
    if (checksumBefore(log, stored.bytes) == stored.sha256)
        state_ = stored;
    return true;
}

qint64 LogSync::pendingLines() const
{
    QFile log(logPath_);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(state_.bytes))
        return 0;
    qint64 lines = 0;
    while (!log.atEnd())
        lines += log.read(readChunk).count('\n');
    return lines;
}

bool LogSync::logReplaced() const
{
    return inodeOf(logPath_) != inode_ || QFile(logPath_).size() < state_.bytes;
}

bool LogSync::step(int maxRecords)
{
    QFile log(logPath_);
    atEnd_ = true;
    if (!log.open(QIODevice::ReadOnly) || !log.seek(state_.bytes))
        return true; // no log (yet): nothing to send
    QByteArray bytes;
    qint64 chunk = readChunk;
    // At least one whole line, however long.
    do {
        bytes += log.read(chunk - bytes.size());
        chunk *= 2;
    } while (!log.atEnd() && !bytes.contains('\n'));

    QList<QcRecordLine> batch;
    RecordStore::LogState next = state_;
    qint64 at = 0;
    QList<qint64> malformed;
    // A serial that no station could have given: the fleet's attempts would count it apart.
    QList<QPair<qint64, QString>> badSerials;
    qint64 unknown = 0;
    while (batch.size() < maxRecords) {
        const qint64 end = bytes.indexOf('\n', int(at));
        if (end < 0)
            break; // an unfinished line waits for its end
        QByteArray line = bytes.mid(int(at), int(end - at));
        ++next.lines;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty()) {
            QcRecordLine read = qcReadRecordLine(line);
            read.bytes = line;
            const QString serialProblem = read.status == QcRecordLine::Read
                ? qcSerialProblem(read.record.serial)
                : QString();
            if (!serialProblem.isEmpty())
                badSerials.append({next.lines, serialProblem});
            else if (read.status == QcRecordLine::Read)
                batch.append(std::move(read));
            else if (read.status == QcRecordLine::UnknownVersion)
                ++unknown;
            else
                malformed.append(next.lines);
        }
        at = end + 1;
    }
    atEnd_ = bytes.indexOf('\n', int(at)) < 0 && log.atEnd();
    if (at == 0)
        return true;
    next.bytes += at;
    next.sha256 = checksumBefore(log, next.bytes);

    int added = 0;
    QStringList conflicts;
    if (!store_.addBatch(batch, host_, logPath_, next, &added, &conflicts)) {
        error_ = store_.error();
        atEnd_ = false;
        return false;
    }
    state_ = next;
    sent_ += added;
    newestSent_ = QDateTime();
    for (const QcRecordLine &line : std::as_const(batch)) {
        if (!newestSent_.isValid() || line.record.judged > newestSent_)
            newestSent_ = line.record.judged;
    }
    read_ += batch.size();
    unknownVersions_ += unknown;
    if (warn) {
        for (qint64 number : malformed)
            warn(QStringLiteral("line %1 of %2 is no record; skipped").arg(number).arg(logPath_));
        for (const auto &[number, problem] : badSerials)
            warn(QStringLiteral("line %1 of %2: %3; skipped").arg(number).arg(logPath_, problem));
        for (const QString &id : conflicts)
            warn(QStringLiteral("record %1 differs from the one the database holds; left as it is")
                     .arg(id));
    }
    return true;
}
