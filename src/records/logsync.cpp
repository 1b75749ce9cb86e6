#include "records/logsync.h"

#include "common/files.h"
#include "records/resultslog.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

constexpr qint64 readChunk = 4 << 20; // for counting what is left
// What one batch reads at most, however many records it may hold.
constexpr qint64 maxBatchBytes = 64 << 20;

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

QString LogSync::refusalText(const RecordStore::Refusal &r) const
{
    return QStringLiteral("line %1 of %2 was refused by the database (%3); set aside")
        .arg(r.line)
        .arg(logPath_, r.reason);
}

bool LogSync::retryRefused(int *added)
{
    QList<RecordStore::Refusal> refused;
    if (!store_.retryRefused(host_, logPath_, added, &refused)) {
        error_ = store_.error();
        return false;
    }
    sent_ += *added;
    if (warn)
        for (const RecordStore::Refusal &r : refused)
            warn(refusalText(r));
    return true;
}

LogSync::LogSync(RecordStore &store, const QString &logPath, const QString &host)
    : store_(store)
    , logPath_(logPath)
    , host_(host)
{
}

bool LogSync::begin()
{
    if (readAhead_.valid())
        readAhead_.get(); // read from a state that may no longer hold
    atEnd_ = false;
    RecordStore::LogState stored;
    if (!store_.logState(host_, logPath_, &stored)) {
        error_ = store_.error();
        return false;
    }
    state_ = {};
    inode_ = inodeOf(logPath_);
    QFile log;
    QString reason;
    // Never a FIFO in the log's place: that would wait for ever.
    if (!openRegularFile(log, logPath_, &reason)) {
        if (!QFileInfo::exists(logPath_) && !QFileInfo(logPath_).isSymLink())
            return true; // nothing judged yet: nothing to send
        error_ = QStringLiteral("cannot read %1: %2").arg(logPath_, reason);
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
    QFile log;
    QString reason;
    if (!openRegularFile(log, logPath_, &reason) || !log.seek(state_.bytes))
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

LogSync::Batch LogSync::readBatch(const RecordStore::LogState &from, int maxRecords) const
{
    Batch batch;
    batch.from = batch.next = from;
    QFile log;
    QString reason;
    if (!openRegularFile(log, logPath_, &reason) || !log.seek(from.bytes))
        return batch; // no log (yet): nothing to send
    batch.logSize = log.size();
    LogLines lines(log);
    QByteArray line;
    LogLines::Kind kind = LogLines::Line;
    qint64 bytes = 0;
    QList<QcRecordLine> records;
    // A batch is counted in records, and bounded in bytes however short they are.
    batch.atEnd = false;
    while (records.size() < maxRecords && bytes < maxBatchBytes) {
        if (!lines.next(&line, &kind) || kind == LogLines::Unfinished) {
            batch.atEnd = true; // an unfinished line waits for its end
            break;
        }
        const qint64 number = ++batch.next.lines;
        bytes += line.size();
        if (kind == LogLines::TooLong) {
            batch.malformed.append(
                {number, QStringLiteral("longer than %1 bytes").arg(QcRecordLimits::lineBytes)});
            continue;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        // Copied: the record keeps its bytes, which the reader's buffer does not.
        QcRecordLine read = qcReadRecordLine(QByteArray(line.constData(), line.size()));
        read.number = number;
        // A serial that no station could have given: the fleet's attempts would count it
        // apart.
        const QString serialProblem
            = read.status == QcRecordLine::Read ? qcSerialProblem(read.record.serial) : QString();
        if (!serialProblem.isEmpty())
            batch.malformed.append({number, serialProblem});
        else if (read.status == QcRecordLine::Read)
            records.append(std::move(read));
        else if (read.status == QcRecordLine::UnknownVersion)
            ++batch.unknown;
        else
            batch.malformed.append({number, read.problem});
    }
    batch.next.bytes += lines.passed();
    batch.next.sha256 = checksumBefore(log, batch.next.bytes);
    batch.ready = RecordStore::prepare(std::move(records));
    return batch;
}

bool LogSync::step(int maxRecords)
{
    Batch batch;
    if (readAhead_.valid())
        batch = readAhead_.get();
    // Read again when the state moved otherwise, or the log changed since the batch reached its
    // end.
    if (batch.logSize < 0 || !(batch.from == state_)
        || (batch.atEnd && QFileInfo(logPath_).size() != batch.logSize))
        batch = readBatch(state_, maxRecords);
    atEnd_ = batch.atEnd;
    if (batch.empty())
        return true;
    if (!batch.atEnd)
        readAhead_
            = std::async(std::launch::async, &LogSync::readBatch, this, batch.next, maxRecords);

    int added = 0;
    QStringList conflicts;
    QList<RecordStore::Refusal> refused;
    if (!store_.addBatch(batch.ready, host_, logPath_, batch.next, &added, &conflicts, &refused)) {
        error_ = store_.error();
        atEnd_ = false;
        return false;
    }
    state_ = batch.next;
    sent_ += added;
    newestSent_ = QDateTime();
    for (const QcRecordLine &line : std::as_const(batch.ready.records)) {
        if (!newestSent_.isValid() || line.record.judged > newestSent_)
            newestSent_ = line.record.judged;
    }
    read_ += batch.ready.records.size();
    unknownVersions_ += batch.unknown;
    skipped_ += batch.malformed.size();
    refused_ += refused.size();
    warnAbout(batch.malformed, refused, conflicts);
    return true;
}

void LogSync::warnAbout(const QList<SkippedLine> &malformed,
                        const QList<RecordStore::Refusal> &refused, const QStringList &conflicts)
{
    if (!warn)
        return;
    for (const SkippedLine &line : malformed)
        warn(QStringLiteral("line %1 of %2 is no record (%3); skipped")
                 .arg(line.line)
                 .arg(logPath_, line.reason));
    for (const RecordStore::Refusal &r : refused)
        warn(refusalText(r));
    for (const QString &id : conflicts)
        warn(QStringLiteral("record %1 differs from the one the database holds; left as it is")
                 .arg(id));
}
