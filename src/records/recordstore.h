#pragma once

#include "records/record.h"
#include "records/runlist.h"
#include "records/yieldsummary.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QSqlQuery;

// The fleet's store of test records: a PostgreSQL database, reached through Qt SQL. The schema is
// made on first use and carries its version.
class RecordStore
{
public:
    static constexpr int schemaVersion = 2;

    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // `url`: postgresql://[user[:password]@][host][:port][/dbname][?host=/socket/folder&...].
    // Connects and makes the schema when the database has none.
    bool open(const QString &url);
    void close();
    bool isOpen() const;
    // The latest error, as one line.
    const QString &error() const { return error_; }

    // How far a log was synced: its first `bytes` bytes (`lines` lines) whose SHA-256 is
    // `sha256`. All zero and empty when nothing was synced yet.
    struct LogState
    {
        qint64 bytes = 0;
        qint64 lines = 0;
        QByteArray sha256;
    };
    bool logState(const QString &host, const QString &log, LogState *state);

    // Adds the records that the store lacks and moves the log's state on, in one transaction.
    // `conflicts` gets the ids that are there with other content, which are left as they are.
    bool addBatch(const QList<QcRecordLine> &records, const QString &host, const QString &log,
                  const LogState &state, int *added, QStringList *conflicts);

    // The summaries YieldSummary gives, computed by the database over every record it holds.
    bool yields(const YieldQuery &query, QList<YieldRow> *rows);
    // Hands every record that `query` selects (its split aside) to `take`, in time order.
    bool records(const YieldQuery &query, const std::function<void(const QcRecord &)> &take);
    // The runs `filter` selects, oldest first, each with its attempt across every station.
    bool runs(const RunFilter &filter, QList<RunRow> *rows);

private:
    bool fail(const QString &what, const QSqlQuery &query);
    bool makeSchema();

    QString connection_;
    QString error_;
    QtMessageHandler previousHandler_ = nullptr;
};
