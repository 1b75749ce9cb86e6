#pragma once

#include "records/recordstore.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <future>

// Sends the records of one results log to a RecordStore, batch by batch, each batch in one
// transaction with the log's sync state: how many bytes of the log are synced, and the SHA-256 of
// the last 64 KiB of those. A later sync reads only the log's new tail; a log that does not match
// the state is compared again from its start, which never doubles a record since the store keeps
// each id once.
class LogSync
{
public:
    LogSync(RecordStore &store, const QString &logPath, const QString &host);

    // Where this sync reports what it skips: "line 12 of LOG is no record", a conflicting id.
    std::function<void(const QString &)> warn;

    // Reads the log's state from the store and checks the log against it. False on a database
    // error (the store says which) or when the log cannot be read (`error()` says why).
    bool begin();
    // The whole lines past the synced part: what is left to send.
    qint64 pendingLines() const;
    // Sends up to `maxRecords` records of whole lines past the synced part. False on an error;
    // what was sent before it stays, and begin() starts again from what the store holds.
    bool step(int maxRecords);
    // Sends again the records the database refused from this log before; those it refuses
    // again stay set aside and are told to `warn`.
    bool retryRefused(int *added);
    // Whether the last step reached the last whole line of the log.
    bool atEnd() const { return atEnd_; }
    // Whether the log changed under us (cut short or replaced): begin() again.
    bool logReplaced() const;

    const QString &error() const { return error_; }
    qint64 sent() const { return sent_; }
    qint64 read() const { return read_; }
    qint64 unknownVersions() const { return unknownVersions_; }
    // Lines that were no record, each told to `warn` with its reason.
    qint64 skipped() const { return skipped_; }
    // Records the database refused and that were set aside, each told to `warn`.
    qint64 refused() const { return refused_; }
    qint64 syncedBytes() const { return state_.bytes; }
    // The judgement time of the newest record the last step sent; invalid when it sent none.
    const QDateTime &newestSent() const { return newestSent_; }

private:
    // What one step reads of the log from a state on: the records of its whole lines, what was
    // no record, and the state after them.
    struct Batch
    {
        RecordStore::LogState from; // the state it was read from
        RecordStore::LogState next;
        RecordStore::Batch ready; // the records, made ready to send
        QList<SkippedLine> malformed;
        qint64 unknown = 0;
        bool atEnd = true; // no whole line left after it
        qint64 logSize = -1; // the log's size when it was read; -1 when it was not
        bool empty() const { return next.bytes == from.bytes && malformed.isEmpty(); }
    };
    Batch readBatch(const RecordStore::LogState &from, int maxRecords) const;
    void warnAbout(const QList<SkippedLine> &malformed, const QList<RecordStore::Refusal> &refused,
                   const QStringList &conflicts);
    RecordStore &store_;
    QString logPath_;
    QString host_;
    RecordStore::LogState state_;
    quint64 inode_ = 0;
    bool atEnd_ = false;
    qint64 sent_ = 0;
    qint64 read_ = 0;
    qint64 unknownVersions_ = 0;
    QDateTime newestSent_;
    qint64 skipped_ = 0;
    qint64 refused_ = 0;
    QString error_;
    // The batch after the one being sent, read meanwhile on another thread: the log is read
    // while the server stores what was read before.
    std::future<Batch> readAhead_;

    QString refusalText(const RecordStore::Refusal &refusal) const;
};
