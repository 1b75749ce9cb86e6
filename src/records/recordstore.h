#pragma once

#include "records/copyformat.h"
#include "records/databaseurl.h"
#include "records/record.h"
#include "records/reportdata.h"
#include "records/resultslog.h"
#include "records/runlist.h"
#include "records/storesummaries.h"
#include "records/yieldsummary.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QSqlError;
class QSqlQuery;
struct pg_conn;
struct pg_result;

// The fleet's store of test records: a PostgreSQL database, reached through Qt SQL, and through
// libpq on the same connection where Qt SQL has no equal (COPY). The schema is made on first use
// and carries its version.
class RecordStore
{
public:
    // 2 added the refused records (qc_refused); 3 the station, fixture and operator, and the
    // fleet's attempts (qc_run, qc_attempt_yield); 4 the summaries kept with each batch (by day:
    // yields, failures, channels' spreads and histogram bins; each board's attempts); 5 the
    // record as its station wrote it, with its channels read from it (the view qc_channel).
    static constexpr int schemaVersion = 5;

    // The statements that take the schema to `version` from the one before, as open() runs them:
    // for making an old database to migrate.
    static QStringList schemaStep(int version);

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
        bool operator==(const LogState &o) const
        {
            return bytes == o.bytes && lines == o.lines && sha256 == o.sha256;
        }
    };
    bool logState(const QString &host, const QString &log, LogState *state);

    // A record the database refused (its data, a constraint, a limit), set aside in qc_refused
    // with its line, its bytes and the server's reason.
    struct Refusal
    {
        qint64 line = 0;
        QString id;
        QString reason;
    };

    // Records as a batch sends them: their rows and what they add to the summaries.
    struct Sent
    {
        explicit Sent(const QList<const QcRecordLine *> &lines);
        QList<const QcRecordLine *> lines;
        CopyBinary rows;
        StoreSummaries::BatchSummary summary;
        QByteArray ids, boardTests, boardSerials; // array literals
    };
    // A batch of a log's records, made ready to send on any thread, so that the next batch is
    // made while the server stores this one.
    struct Batch
    {
        QList<QcRecordLine> records;
        QStringList conflicts; // ids that came again in the batch with other content
        std::shared_ptr<const Sent> sent; // one record a id
    };
    static Batch prepare(QList<QcRecordLine> records);
    // Adds the records that the store lacks and moves the log's state on, in one transaction.
    // `conflicts` gets the ids that are there with other content, which are left as they are;
    // `refused` those the database refused, set aside so that the others go in all the same.
    bool addBatch(const Batch &batch, const QString &host, const QString &log,
                  const LogState &state, int *added, QStringList *conflicts,
                  QList<Refusal> *refused);
    // Tries the records set aside for a log again; those refused again stay aside, in `refused`.
    bool retryRefused(const QString &host, const QString &log, int *added, QList<Refusal> *refused);

    // The summaries YieldSummary gives, computed by the database over every record it holds.
    bool yields(const YieldQuery &query, QList<YieldRow> *rows);
    // What ReportData gathers from the records `query` selects, from the summaries; only the
    // charts' latest runs and the latest failed runs are read row by row.
    bool report(const YieldQuery &query, QList<ReportTest> *tests);
    // Hands every record that `query` selects (its split aside) to `take`, in time order. One
    // stored before this program's rule and beyond it is passed over, its reason in
    // skippedRecords() (the first ResultsLogRead::skippedLinesKept).
    bool records(const YieldQuery &query, const std::function<void(const QcRecord &)> &take);
    // The runs `filter` selects, oldest first, each with its attempt across every station.
    bool runs(const RunFilter &filter, QList<RunRow> *rows);
    const QList<SkippedLine> &skippedRecords() const { return skippedRecords_; }

private:
    struct ReportScope;
    // The steps of report(): the yields, the channels' spreads and histograms, the charts'
    // latest runs, and each test's latest and latest failed runs.
    bool reportYields(const YieldQuery &query, QMap<QString, ReportTest> *byTest);
    bool reportChannels(const ReportScope &scope, QMap<QString, ReportTest> *byTest);
    bool reportDrift(const ReportScope &scope, QMap<QString, ReportTest> *byTest);
    bool reportLatestRuns(const ReportScope &scope, QMap<QString, ReportTest> *byTest);
    // Hands each record of the first column of `sql`'s rows to `take`; one not read is passed
    // over.
    bool readRecords(const QString &sql, const std::function<void(const QcRecord &)> &take);

    // A statement's end through libpq: its rows' first column, or why it failed.
    struct Outcome
    {
        bool ok = true;
        QString state; // SQLSTATE
        QString reason; // one line
        QList<QByteArray> rows;
    };
    // `binaryParameter`: the index of a parameter sent as bytes (bytea), or -1.
    Outcome pq(const QByteArray &sql, const QList<QByteArray> &parameters = {},
               int binaryParameter = -1);
    Outcome outcomeOf(pg_result *result);
    Outcome copy(const char *table, const char *columns, const QByteArray &rows, bool binary);
    bool makeStagingTables(); // its reason in lastReason_
    Outcome emptyStaging();
    Outcome addSummaries(const StoreSummaries::BatchSummary &summary);
    bool run(const char *statement); // its reason in lastReason_
    bool fail(const QString &what, const QSqlQuery &query);
    bool fail(const QString &what, const QSqlError &error);
    bool failWith(const QString &what, const QString &reason);
    // The server's reason, as one line; never empty.
    static QString reasonOf(const QSqlError &error);
    bool makeSchema();
    QString literal(const QString &value) const;
    bool yieldsFromRecords(const YieldQuery &query, QList<YieldRow> *rows);
    Outcome insertRecords(const Sent &sent, int *added, QStringList *conflicts);
    bool addOrSetAside(const Sent &sent, const QString &host, const QString &log, int *added,
                       QStringList *conflicts, QList<Refusal> *refused);

    QString connection_;
    pg_conn *pq_ = nullptr; // the Qt connection's own
    QString error_;
    QString lastReason_; // of the statement that failed inside addOrSetAside
    QList<SkippedLine> skippedRecords_;
    bool staging_ = false; // whether this connection has made its staging tables
    QtMessageHandler previousHandler_ = nullptr;
};
