#include "records/recordstore.h"

#include "records/capability.h"
#include "records/copyformat.h"
#include "records/recordsettings.h"
#include "records/resultslog.h"
#include "records/storesummaries.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// The schema of version 1. Every step runs in the one transaction that makes the schema.
const char *const schemaVersion1[] = {
    R"(CREATE TABLE qc_record (
    id uuid PRIMARY KEY,
    record jsonb NOT NULL,
    judged timestamptz NOT NULL,
    judged_day date NOT NULL,
    host text NOT NULL,
    program text NOT NULL,
    software text NOT NULL,
    test text NOT NULL,
    serial text,
    verdict text NOT NULL CHECK (verdict IN ('Pass', 'Fail')),
    plan_sha256 text,
    failures text[] NOT NULL))",
    "CREATE INDEX qc_record_test_judged ON qc_record (test, judged)",
    "CREATE INDEX qc_record_serial ON qc_record (serial, test, judged) WHERE serial IS NOT NULL",
    "CREATE INDEX qc_record_host_judged ON qc_record (host, judged)",
    R"(CREATE TABLE qc_channel (
    -- Written by the statement that writes its record; no foreign key, which would check each
    -- row again.
    record_id uuid NOT NULL,
    channel integer NOT NULL,
    good integer NOT NULL,
    need integer NOT NULL,
    samples bigint,
    x_low double precision,
    x_high double precision,
    y_low double precision,
    y_high double precision,
    x_min double precision,
    x_max double precision,
    x_mean double precision,
    x_sd double precision,
    y_min double precision,
    y_max double precision,
    y_mean double precision,
    y_sd double precision,
    PRIMARY KEY (record_id, channel)))",
    R"(CREATE TABLE qc_sync_state (
    host text NOT NULL,
    log_path text NOT NULL,
    synced_bytes bigint NOT NULL,
    synced_lines bigint NOT NULL,
    sha256 text NOT NULL,
    synced_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (host, log_path)))",
    R"(CREATE VIEW qc_yield_by_day AS
SELECT test, judged_day AS day, count(*) AS runs,
       count(*) FILTER (WHERE verdict = 'Pass') AS passes,
       100.0 * count(*) FILTER (WHERE verdict = 'Pass') / count(*) AS yield
FROM qc_record GROUP BY test, judged_day)",
    R"(CREATE VIEW qc_board_yield AS
SELECT test, count(*) FILTER (WHERE first_run) AS boards,
       count(*) FILTER (WHERE first_run AND verdict = 'Pass') AS first_passes,
       count(*) FILTER (WHERE last_run AND verdict = 'Pass') AS final_passes,
       100.0 * count(*) FILTER (WHERE first_run AND verdict = 'Pass')
           / count(*) FILTER (WHERE first_run) AS first_pass_yield,
       100.0 * count(*) FILTER (WHERE last_run AND verdict = 'Pass')
           / count(*) FILTER (WHERE first_run) AS final_yield
FROM (SELECT test, verdict,
             row_number() OVER (PARTITION BY test, serial ORDER BY judged, id) = 1 AS first_run,
             row_number() OVER (PARTITION BY test, serial ORDER BY judged DESC, id DESC) = 1
                 AS last_run
      FROM qc_record WHERE serial IS NOT NULL) AS runs
GROUP BY test)",
};

// Version 2: the records that the database refused, set aside so that they block no other.
const char *const schemaVersion2[] = {R"(CREATE TABLE qc_refused (
    host text NOT NULL,
    log_path text NOT NULL,
    line bigint NOT NULL,
    bytes bytea NOT NULL,
    reason text NOT NULL,
    refused_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (host, log_path, line)))"};

// The boards' attempt yields across the fleet, from qc_run.
const char attemptYieldView[] = R"(CREATE VIEW qc_attempt_yield AS
SELECT test, count(*) AS boards,
       count(*) FILTER (WHERE by_first) AS first_passes,
       count(*) FILTER (WHERE by_second) AS second_passes,
       count(*) FILTER (WHERE by_third) AS third_passes,
       count(*) FILTER (WHERE finally) AS final_passes,
       100.0 * count(*) FILTER (WHERE by_first) / count(*) AS first_attempt_yield,
       100.0 * count(*) FILTER (WHERE by_second) / count(*) AS second_attempt_yield,
       100.0 * count(*) FILTER (WHERE by_third) / count(*) AS third_attempt_yield,
       100.0 * count(*) FILTER (WHERE finally) / count(*) AS final_yield
FROM (SELECT test, serial,
             bool_or(verdict = 'Pass' AND attempt = 1) AS by_first,
             bool_or(verdict = 'Pass' AND attempt <= 2) AS by_second,
             bool_or(verdict = 'Pass' AND attempt <= 3) AS by_third,
             bool_or(verdict = 'Pass' AND last_run) AS finally
      FROM (SELECT test, serial, verdict, attempt,
                   row_number() OVER (PARTITION BY test, serial ORDER BY judged DESC, id DESC) = 1
                       AS last_run
            FROM qc_run WHERE serial IS NOT NULL) AS runs
      GROUP BY test, serial) AS boards
GROUP BY test)";

// Version 3: who tested where, and each board's attempts across the fleet. The records stored
// before keep everything; their station is their host, as the records themselves say.
const char *const schemaVersion3[] = {
    "ALTER TABLE qc_record ADD COLUMN station text, ADD COLUMN fixture text, "
    "ADD COLUMN operator text",
    "UPDATE qc_record SET station = coalesce(record->>'station', host), "
    "fixture = record->>'fixture', operator = record->>'operator'",
    "ALTER TABLE qc_record ALTER COLUMN station SET NOT NULL",
    "CREATE INDEX qc_record_station_judged ON qc_record (station, judged)",
    // A board's attempt is its place among all runs of the test on it, at whichever station:
    // counted when read, so a station that syncs late still puts its runs in their place.
    R"(CREATE VIEW qc_run AS
SELECT id, judged, station, fixture, operator, host, program, test, serial, verdict, failures,
       record->'capture'->>'path' AS capture,
       CASE WHEN serial IS NOT NULL THEN
           row_number() OVER (PARTITION BY test, serial ORDER BY judged, id) END AS attempt
FROM qc_record)",
    attemptYieldView,
};

// Version 5: a record is kept as the text its station wrote, which the server stores without
// parsing it; the channels are read from it when asked for, and the summaries are sent with each
// batch. The views that read the record are made again around the change.
QStringList schemaVersion5()
{
    const QcRecord::ChannelJsonKeys k = QcRecord::channelJsonKeys();
    return {
        QStringLiteral("DROP VIEW qc_attempt_yield"),
        QStringLiteral("DROP VIEW qc_run"),
        QStringLiteral("ALTER TABLE qc_record ADD COLUMN capture text"),
        QStringLiteral("UPDATE qc_record SET capture = record->'%1'->>'%2'").arg(k.capture, k.path),
        QStringLiteral("ALTER TABLE qc_record ALTER COLUMN record TYPE text USING record::text"),
        QStringLiteral("DO $$ BEGIN ALTER TABLE qc_record ALTER COLUMN record SET COMPRESSION "
                       "lz4; EXCEPTION WHEN feature_not_supported THEN NULL; END $$"),
        // No query plans by the record's text: ANALYZE need not unpack every record it samples.
        QStringLiteral("ALTER TABLE qc_record ALTER COLUMN record SET STATISTICS 0"),
        QStringLiteral("DROP TABLE qc_channel"),
        StoreSummaries::channelView(),
        QStringLiteral(R"(CREATE VIEW qc_run AS
SELECT id, judged, station, fixture, operator, host, program, test, serial, verdict, failures,
       capture,
       CASE WHEN serial IS NOT NULL THEN
           row_number() OVER (PARTITION BY test, serial ORDER BY judged, id) END AS attempt
FROM qc_record)"),
        QString::fromUtf8(attemptYieldView),
    };
}

template<size_t n>
QStringList statementsOf(const char *const (&statements)[n])
{
    QStringList list;
    for (const char *statement : statements)
        list << QString::fromUtf8(statement);
    return list;
}
// Step i takes the schema from version i to version i + 1.
using SchemaStep = QStringList (*)();
const SchemaStep schemaSteps[] = {
    [] { return statementsOf(schemaVersion1); },
    [] { return statementsOf(schemaVersion2); },
    [] { return statementsOf(schemaVersion3); },
    // Version 4: summaries kept with each batch, so that the fleet's questions are answered
    // from days rather than from every record.
    StoreSummaries::schemaVersion4,
    schemaVersion5,
};
static_assert(sizeof(schemaSteps) / sizeof(schemaSteps[0]) == RecordStore::schemaVersion,
              "one step per version");

// The columns a record's row is sent in, in qc_record's names; its staging table is made with
// them.
const char recordColumns[]
    = "id, record, judged, judged_day, time_written, host, station, fixture, operator, program, "
      "software, test, serial, verdict, plan_sha256, failures, capture";
constexpr int recordColumnCount = 17;

// Adds the staged records the store lacks; tells their ids ("added ID") and the staged ids that
// are there with other content.
const char addStagedStatement[]
    = "WITH added AS (INSERT INTO qc_record SELECT * FROM qc_stage_record "
      "ON CONFLICT (id) DO NOTHING RETURNING id) "
      "SELECT 'added ' || id::text FROM added UNION ALL "
      // Of the records not added, those there before this statement with other content: the
      // same JSON written otherwise is the same record.
      "SELECT s.id::text FROM qc_stage_record s "
      "WHERE NOT EXISTS (SELECT 1 FROM added a WHERE a.id = s.id) "
      "AND EXISTS (SELECT 1 FROM qc_record r WHERE r.id = s.id AND r.record <> s.record "
      "AND r.record::jsonb <> s.record::jsonb)";

// The boards of a batch: tests $1 and serials $2.
const char boardsOfBatch[] = "(SELECT * FROM unnest($1::text[], $2::text[]) AS b(test, serial))";

// A text[] literal of `values`.
QByteArray arrayLiteral(const QStringList &values)
{
    QByteArray literal = "{";
    for (const QString &value : values) {
        if (literal.size() > 1)
            literal += ',';
        literal += '"';
        for (const char c : value.toUtf8()) {
            if (c == '"' || c == '\\')
                literal += '\\';
            literal += c;
        }
        literal += '"';
    }
    return literal + '}';
}

// Where a batch's rows wait: its records when some may be stored already, and what it adds to
// each day summary. Each commit empties them.
const struct
{
    const char *table;
    const char *made;
} stagingTables[] = {
    {"qc_stage_record",
     "CREATE TEMPORARY TABLE qc_stage_record ON COMMIT DELETE ROWS AS SELECT * FROM qc_record "
     "WITH NO DATA"},
    {"qc_stage_day_yield",
     "CREATE TEMPORARY TABLE qc_stage_day_yield ON COMMIT DELETE ROWS AS "
     "SELECT * FROM qc_day_yield WITH NO DATA"},
    {"qc_stage_day_failure",
     "CREATE TEMPORARY TABLE qc_stage_day_failure ON COMMIT DELETE ROWS "
     "AS SELECT * FROM qc_day_failure WITH NO DATA"},
    {"qc_stage_day_channel",
     "CREATE TEMPORARY TABLE qc_stage_day_channel ON COMMIT DELETE ROWS "
     "AS SELECT * FROM qc_day_channel WITH NO DATA"},
    {"qc_stage_day_bin",
     "CREATE TEMPORARY TABLE qc_stage_day_bin ON COMMIT DELETE ROWS AS "
     "SELECT * FROM qc_day_bin WITH NO DATA"},
};

// Adds the staged summaries of a batch to the day summaries.
QByteArray addSummariesStatement()
{
    return QStringLiteral("WITH yields AS (%1), failures AS (%2), channels AS (%3), bins AS (%4) "
                          "SELECT 1")
        .arg(StoreSummaries::addDayYields(QStringLiteral("SELECT * FROM qc_stage_day_yield")),
             StoreSummaries::addDayFailures(QStringLiteral("SELECT * FROM qc_stage_day_failure")),
             StoreSummaries::addDayChannels(QStringLiteral("SELECT * FROM qc_stage_day_channel")),
             StoreSummaries::addDayBins(QStringLiteral("SELECT * FROM qc_stage_day_bin")))
        .toUtf8();
}

// A batch's records as qc_record's rows, in COPY's binary format.
void addRecordRow(CopyBinary &rows, const QcRecordLine &line)
{
    const QcRecord &r = line.record;
    rows.beginRow(recordColumnCount);
    rows.uuid(r.id);
    rows.text(line.bytes);
    rows.timestamp(r.judged);
    // The station's day, as the time was written there.
    rows.date(QDate::fromString(r.day(), Qt::ISODate));
    rows.text(r.time);
    rows.text(r.host);
    rows.text(r.stationOrHost());
    rows.textOrNone(r.fixture);
    rows.textOrNone(r.operatorName);
    rows.text(r.program);
    rows.text(r.software);
    rows.text(r.test);
    rows.textOrNone(r.serial);
    rows.text(r.verdict);
    rows.textOrNone(r.planSha256);
    rows.textArray(r.failures);
    rows.textOrNone(r.capture ? r.capture->path : QString());
}

// Qt's PostgreSQL driver tells the server's notices and its own warnings through Qt's messages;
// the store reports every error itself, in one line, so these are dropped while it lives.
void dropDriverMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

PGconn *connectionOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "PGconn*") != 0)
        return nullptr;
    return *static_cast<PGconn *const *>(handle.data());
}

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' ')).simplified();
}

// A value as a libpq connection string holds it: quoted, its quotes and backslashes escaped.
QString quotedOption(const QString &value)
{
    return QLatin1Char('\'')
        + QString(value)
              .replace(QLatin1Char('\\'), QLatin1String("\\\\"))
              .replace(QLatin1Char('\''), QLatin1String("\\'"))
        + QLatin1Char('\'');
}

} // namespace

QStringList RecordStore::schemaStep(int version)
{
    return version >= 1 && version <= schemaVersion ? schemaSteps[version - 1]() : QStringList();
}

RecordStore::RecordStore()
    : connection_(QStringLiteral("records-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    , previousHandler_(qInstallMessageHandler(dropDriverMessages))
{
}

RecordStore::~RecordStore()
{
    close();
    qInstallMessageHandler(previousHandler_);
}

bool RecordStore::isOpen() const
{
    return QSqlDatabase::contains(connection_)
        && QSqlDatabase::database(connection_, false).isOpen();
}

void RecordStore::close()
{
    if (!QSqlDatabase::contains(connection_))
        return;
    pq_ = nullptr;
    staging_ = false; // temporary tables end with their connection
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
}

bool RecordStore::open(const QString &url)
{
    close();
    const DatabaseUrl address = DatabaseUrl::parse(url);
    if (!address.problem.isEmpty()) {
        // Named without the rest: what does not parse may hold a password anywhere.
        error_ = QStringLiteral("%1 cannot be used: %2").arg(address.redacted(), address.problem);
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        error_ = QStringLiteral("Qt's PostgreSQL driver is missing (Debian: libqt5sql5-psql)");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection_);
    db.setHostName(address.host);
    db.setPort(address.port);
    db.setDatabaseName(address.database);
    db.setUserName(address.user);
    // Left empty, the driver passes none and libpq finds it in its usual places.
    db.setPassword(address.password);
    QStringList options;
    for (const auto &[key, value] : address.options)
        options << key + QLatin1Char('=') + quotedOption(value);
    db.setConnectOptions(options.join(QLatin1Char(';')));
    if (!db.open()) {
        error_ = QStringLiteral("cannot connect to the database: ")
            + oneLine(db.lastError().databaseText().isEmpty() ? db.lastError().text()
                                                              : db.lastError().databaseText());
        return false;
    }
    pq_ = connectionOf(db);
    if (!pq_) {
        error_ = QStringLiteral("Qt's PostgreSQL driver gave no libpq connection");
        return false;
    }
    // libpq writes the server's notices (a shutdown's warning among them) straight to standard
    // error; the store reports every error itself, in one line.
    PQsetNoticeProcessor(
        pq_, [](void *, const char *) {}, nullptr);
    if (!makeSchema())
        return false;
    pq("SET work_mem = '64MB'");
    // The store's statements are short, by index or over small summaries: compiling them costs
    // more than it saves.
    pq("SET jit = off");
    return true;
}

RecordStore::Outcome RecordStore::pq(const QByteArray &sql, const QList<QByteArray> &parameters,
                                     int binaryParameter)
{
    QVector<const char *> values;
    QVector<int> lengths, formats;
    for (int i = 0; i < parameters.size(); ++i) {
        values << parameters.at(i).constData();
        lengths << parameters.at(i).size();
        formats << (i == binaryParameter ? 1 : 0);
    }
    PGresult *result
        = PQexecParams(pq_, sql.constData(), int(parameters.size()), nullptr, values.constData(),
                       lengths.constData(), formats.constData(), 0);
    return outcomeOf(result);
}

RecordStore::Outcome RecordStore::outcomeOf(PGresult *result)
{
    Outcome outcome;
    const ExecStatusType status = PQresultStatus(result);
    outcome.ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (outcome.ok) {
        for (int row = 0; row < PQntuples(result); ++row)
            outcome.rows << QByteArray(PQgetvalue(result, row, 0), PQgetlength(result, row, 0));
    } else {
        outcome.state = QString::fromLatin1(PQresultErrorField(result, PG_DIAG_SQLSTATE));
        const char *message = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        outcome.reason = oneLine(QString::fromUtf8(message ? message : PQerrorMessage(pq_)));
        if (outcome.reason.isEmpty())
            outcome.reason = QStringLiteral("the server gave no reason (is the connection lost?)");
    }
    PQclear(result);
    return outcome;
}

RecordStore::Outcome RecordStore::copy(const char *table, const char *columns,
                                       const QByteArray &rows, bool binary)
{
    const QString columnList
        = columns ? QStringLiteral(" (%1)").arg(QLatin1String(columns)) : QString();
    PGresult *started = PQexec(
        pq_,
        QStringLiteral("COPY %1%2 FROM STDIN%3")
            .arg(QLatin1String(table), columnList, QLatin1String(binary ? " (FORMAT binary)" : ""))
            .toUtf8()
            .constData());
    if (PQresultStatus(started) != PGRES_COPY_IN)
        return outcomeOf(started);
    PQclear(started);
    const bool sent
        = PQputCopyData(pq_, rows.constData(), rows.size()) == 1 && PQputCopyEnd(pq_, nullptr) == 1;
    Outcome done;
    while (PGresult *result = PQgetResult(pq_)) {
        const Outcome o = outcomeOf(result);
        if (!o.ok && done.ok)
            done = o;
    }
    if (!sent && done.ok)
        done = {false, QString(), oneLine(QString::fromUtf8(PQerrorMessage(pq_))), {}};
    return done;
}

bool RecordStore::fail(const QString &what, const QSqlQuery &query)
{
    return fail(what, query.lastError());
}

bool RecordStore::fail(const QString &what, const QSqlError &e)
{
    return failWith(what, reasonOf(e));
}

bool RecordStore::failWith(const QString &what, const QString &reason)
{
    error_ = QStringLiteral("database error %1: %2").arg(what, reason);
    if (pq_ && PQtransactionStatus(pq_) != PQTRANS_IDLE)
        PQclear(PQexec(pq_, "ROLLBACK"));
    return false;
}

QString RecordStore::reasonOf(const QSqlError &e)
{
    QString reason = oneLine(e.databaseText().isEmpty() ? e.text() : e.databaseText());
    if (reason.isEmpty())
        reason = oneLine(e.driverText());
    return reason.isEmpty() ? QStringLiteral("the server gave no reason (is the connection lost?)")
                            : reason;
}

bool RecordStore::makeSchema()
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    if (!db.transaction())
        return fail(QStringLiteral("starting a transaction"), db.lastError());
    // Stations that start at once make the schema one after the other.
    if (!q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(4711001)"))
        || !q.exec(QStringLiteral("SELECT to_regclass('envviewer_schema') IS NOT NULL"))
        || !q.next())
        return fail(QStringLiteral("reading the schema's version"), q);
    int version = 0;
    if (q.value(0).toBool()) {
        if (!q.exec(QStringLiteral("SELECT max(version) FROM envviewer_schema")) || !q.next())
            return fail(QStringLiteral("reading the schema's version"), q);
        version = q.value(0).toInt();
    } else if (!q.exec(
                   QStringLiteral("CREATE TABLE envviewer_schema (version integer NOT NULL)"))) {
        return fail(QStringLiteral("making the schema"), q);
    }
    if (version > schemaVersion) {
        db.rollback();
        error_ = QStringLiteral("the database's schema is version %1, newer than this program's %2")
                     .arg(version)
                     .arg(schemaVersion);
        return false;
    }
    for (int from = version; from < schemaVersion; ++from) {
        for (const QString &statement : schemaSteps[from]()) {
            if (!q.exec(statement))
                return fail(QStringLiteral("making the schema's version %1").arg(from + 1), q);
        }
        if (!q.exec(
                QStringLiteral("INSERT INTO envviewer_schema (version) VALUES (%1)").arg(from + 1)))
            return fail(QStringLiteral("making the schema"), q);
    }
    if (!db.commit())
        return fail(QStringLiteral("making the schema"), db.lastError());
    return true;
}

bool RecordStore::logState(const QString &host, const QString &log, LogState *state)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT synced_bytes, synced_lines, sha256 FROM qc_sync_state "
                             "WHERE host = ? AND log_path = ?"));
    q.addBindValue(host);
    q.addBindValue(log);
    if (!q.exec())
        return fail(QStringLiteral("reading the sync state"), q);
    *state = {};
    if (q.next())
        *state = {q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toByteArray()};
    return true;
}

namespace {

// Errors of the record itself, not of the server or the connection: its data (22), a constraint
// (23), or a limit such as an index row's size (54). Only these set a record aside.
bool refusesRecord(const QString &state)
{
    return state.startsWith(QLatin1String("22")) || state.startsWith(QLatin1String("23"))
        || state.startsWith(QLatin1String("54"));
}

} // namespace

bool RecordStore::makeStagingTables()
{
    if (staging_)
        return true;
    for (const auto &t : stagingTables) {
        const Outcome made = pq(t.made);
        if (!made.ok) {
            lastReason_ = made.reason;
            return false;
        }
    }
    // A record staged is packed once, as the store packs it.
    pq("DO $$ BEGIN ALTER TABLE qc_stage_record ALTER COLUMN record SET COMPRESSION lz4; "
       "EXCEPTION WHEN feature_not_supported THEN NULL; END $$");
    staging_ = true;
    return true;
}

RecordStore::Outcome RecordStore::emptyStaging()
{
    for (const auto &t : stagingTables) {
        const Outcome emptied = pq(QByteArray("DELETE FROM ") + t.table);
        if (!emptied.ok)
            return emptied;
    }
    return {};
}

RecordStore::Outcome RecordStore::addSummaries(const StoreSummaries::BatchSummary &summary)
{
    const std::pair<const char *, QByteArray> rows[]
        = {{"qc_stage_day_yield", summary.dayYieldRows()},
           {"qc_stage_day_failure", summary.dayFailureRows()},
           {"qc_stage_day_channel", summary.dayChannelRows()},
           {"qc_stage_day_bin", summary.dayBinRows()}};
    for (const auto &[table, text] : rows) {
        if (text.isEmpty())
            continue;
        const Outcome o = copy(table, nullptr, text, false);
        if (!o.ok)
            return o;
    }
    static const QByteArray add = addSummariesStatement();
    return pq(add);
}

RecordStore::Sent::Sent(const QList<const QcRecordLine *> &lines)
    : lines(lines)
{
    QStringList idList, tests, serials;
    for (const QcRecordLine *line : lines) {
        const QcRecord &r = line->record;
        addRecordRow(rows, *line);
        summary.add(r);
        idList << r.id;
        if (!r.serial.isEmpty()) {
            tests << r.test;
            serials << r.serial;
        }
    }
    rows.finish();
    ids = arrayLiteral(idList);
    boardTests = arrayLiteral(tests);
    boardSerials = arrayLiteral(serials);
}

RecordStore::Batch RecordStore::prepare(QList<QcRecordLine> records)
{
    Batch batch;
    batch.records = std::move(records);
    // One entry per id: a second line with an id already in the batch is either the same record
    // again or a conflict.
    QHash<QString, int> inBatch;
    QList<const QcRecordLine *> entries;
    for (int i = 0; i < batch.records.size(); ++i) {
        const QcRecordLine &line = batch.records.at(i);
        const auto seen = inBatch.constFind(line.record.id);
        if (seen != inBatch.constEnd()) {
            if (batch.records.at(*seen).bytes != line.bytes)
                batch.conflicts.append(line.record.id);
            continue;
        }
        inBatch.insert(line.record.id, i);
        entries.append(&line);
    }
    batch.sent = std::make_shared<const Sent>(entries);
    return batch;
}

RecordStore::Outcome RecordStore::insertRecords(const Sent &sent, int *added,
                                                QStringList *conflicts)
{
    Outcome o = emptyStaging();
    if (!o.ok)
        return o;
    // A batch of new records, as a first sync sends, goes straight into the table; one that
    // holds any stored id is staged, to be compared. Another station adding one of these ids
    // meanwhile fails this batch as a duplicate, which sets it apart record by record.
    o = pq("SELECT count(*) FROM qc_record WHERE id = ANY($1::uuid[])", {sent.ids});
    if (!o.ok)
        return o;
    if (o.rows.value(0) == "0") {
        o = copy("qc_record", recordColumns, sent.rows.data(), true);
        if (o.ok)
            o = addSummaries(sent.summary);
        static const QByteArray boards
            = StoreSummaries::recountBoards(QLatin1String(boardsOfBatch)).toUtf8();
        if (o.ok)
            o = pq(boards, {sent.boardTests, sent.boardSerials});
        if (o.ok)
            *added += int(sent.lines.size());
        return o;
    }
    o = copy("qc_stage_record", recordColumns, sent.rows.data(), true);
    if (!o.ok)
        return o;
    o = pq(addStagedStatement);
    if (!o.ok)
        return o;
    QHash<QString, const QcRecordLine *> byId;
    for (const QcRecordLine *line : sent.lines)
        byId.insert(line->record.id, line);
    StoreSummaries::BatchSummary summary;
    for (const QByteArray &row : std::as_const(o.rows)) {
        if (!row.startsWith("added ")) {
            conflicts->append(QString::fromLatin1(row));
            continue;
        }
        if (const QcRecordLine *line = byId.value(QString::fromLatin1(row.mid(6))))
            summary.add(line->record);
        ++*added;
    }
    o = addSummaries(summary);
    if (!o.ok)
        return o;
    // A board's attempts are counted over all its runs, those stored before this batch too.
    static const QByteArray boards
        = StoreSummaries::recountBoards(QStringLiteral("qc_stage_record")).toUtf8();
    return pq(boards);
}

bool RecordStore::addOrSetAside(const Sent &sent, const QString &host, const QString &log,
                                int *added, QStringList *conflicts, QList<Refusal> *refused)
{
    const QList<const QcRecordLine *> &records = sent.lines;
    if (records.isEmpty())
        return true;
    if (!run("SAVEPOINT batch"))
        return false;
    const Outcome batch = insertRecords(sent, added, conflicts);
    if (batch.ok)
        return run("RELEASE SAVEPOINT batch");
    if (!refusesRecord(batch.state) || !run("ROLLBACK TO SAVEPOINT batch")) {
        run("ROLLBACK TO SAVEPOINT batch");
        lastReason_ = batch.reason;
        return false;
    }
    *added = 0;
    // One record spoils its batch: each alone finds which, and the rest go in.
    for (const QcRecordLine *line : records) {
        if (!run("SAVEPOINT one"))
            return false;
        const Outcome one = insertRecords(Sent({line}), added, conflicts);
        if (one.ok) {
            if (!run("RELEASE SAVEPOINT one"))
                return false;
            continue;
        }
        if (!refusesRecord(one.state)) {
            lastReason_ = one.reason;
            return false;
        }
        if (!run("ROLLBACK TO SAVEPOINT one"))
            return false;
        const Refusal refusal {line->number, line->record.id, one.reason};
        const Outcome kept
            = pq("INSERT INTO qc_refused (host, log_path, line, bytes, reason) "
                 "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (host, log_path, line) DO UPDATE SET "
                 "bytes = EXCLUDED.bytes, reason = EXCLUDED.reason, refused_at = now()",
                 {host.toUtf8(), log.toUtf8(), QByteArray::number(refusal.line), line->bytes,
                  refusal.reason.toUtf8()},
                 3);
        if (!kept.ok) {
            lastReason_ = kept.reason;
            return false;
        }
        refused->append(refusal);
    }
    return true;
}

bool RecordStore::run(const char *statement)
{
    const Outcome o = pq(statement);
    if (!o.ok)
        lastReason_ = o.reason;
    return o.ok;
}

bool RecordStore::addBatch(const Batch &batch, const QString &host, const QString &log,
                           const LogState &state, int *added, QStringList *conflicts,
                           QList<Refusal> *refused)
{
    *added = 0;
    *conflicts += batch.conflicts;
    // A batch's statements touch its own rows only: by their indexes, whatever the planner's
    // statistics of a store that grows by the batch say.
    if (!makeStagingTables())
        return failWith(QStringLiteral("making the staging tables"), lastReason_);
    if (!run("BEGIN") || !run("SET LOCAL enable_seqscan = off"))
        return failWith(QStringLiteral("starting a transaction"), lastReason_);
    if (batch.sent && !addOrSetAside(*batch.sent, host, log, added, conflicts, refused))
        return failWith(QStringLiteral("adding records"), lastReason_);
    const Outcome kept
        = pq("INSERT INTO qc_sync_state (host, log_path, synced_bytes, synced_lines, sha256) "
             "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (host, log_path) DO UPDATE SET "
             "synced_bytes = EXCLUDED.synced_bytes, synced_lines = EXCLUDED.synced_lines, "
             "sha256 = EXCLUDED.sha256, synced_at = now()",
             {host.toUtf8(), log.toUtf8(), QByteArray::number(state.bytes),
              QByteArray::number(state.lines), state.sha256});
    if (!kept.ok)
        return failWith(QStringLiteral("keeping the sync state"), kept.reason);
    if (!run("COMMIT"))
        return failWith(QStringLiteral("committing records"), lastReason_);
    return true;
}

bool RecordStore::retryRefused(const QString &host, const QString &log, int *added,
                               QList<Refusal> *refused)
{
    *added = 0;
    if (!makeStagingTables())
        return failWith(QStringLiteral("making the staging tables"), lastReason_);
    if (!run("BEGIN"))
        return failWith(QStringLiteral("starting a transaction"), lastReason_);
    const Outcome read = pq("SELECT line::text || ' ' || encode(bytes, 'base64') FROM qc_refused "
                            "WHERE host = $1 AND log_path = $2 ORDER BY line",
                            {host.toUtf8(), log.toUtf8()});
    if (!read.ok)
        return failWith(QStringLiteral("reading refused records"), read.reason);
    QList<QcRecordLine> lines;
    for (const QByteArray &row : read.rows) {
        const int space = row.indexOf(' ');
        QcRecordLine line = qcReadRecordLine(QByteArray::fromBase64(row.mid(space + 1)));
        line.number = row.left(space).toLongLong();
        lines.append(line);
    }
    QList<const QcRecordLine *> again;
    for (const QcRecordLine &line : lines) {
        if (line.status == QcRecordLine::Read)
            again.append(&line);
        else
            refused->append({line.number, QString(), line.problem});
    }
    // Those refused again are set aside again, with the server's reason of today; a line that
    // is no record by this program's rules stays as it was.
    for (const QcRecordLine *line : again) {
        const Outcome removed
            = pq("DELETE FROM qc_refused WHERE host = $1 AND log_path = $2 AND line = $3",
                 {host.toUtf8(), log.toUtf8(), QByteArray::number(line->number)});
        if (!removed.ok)
            return failWith(QStringLiteral("retrying refused records"), removed.reason);
    }
    QStringList conflicts;
    if (!addOrSetAside(Sent(again), host, log, added, &conflicts, refused))
        return failWith(QStringLiteral("retrying refused records"), lastReason_);
    if (!run("COMMIT"))
        return failWith(QStringLiteral("committing records"), lastReason_);
    return true;
}

namespace {

// The condition that selects a query's records, and the values it binds.
QString selection(const YieldQuery &query, QVariantList *values)
{
    QStringList conditions {QStringLiteral("true")};
    if (!query.test.isEmpty()) {
        conditions << QStringLiteral("test = CAST(? AS text)");
        *values << query.test;
    }
    if (query.since.isValid()) {
        conditions << QStringLiteral("judged >= CAST(? AS timestamptz)");
        *values << query.since.toUTC().toString(Qt::ISODateWithMs);
    }
    return conditions.join(QLatin1String(" AND "));
}

} // namespace

bool RecordStore::records(const YieldQuery &query,
                          const std::function<void(const QcRecord &)> &take)
{
    QVariantList values;
    const QString where = selection(query, &values);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT record::text FROM qc_record WHERE %1 ORDER BY judged, id")
                  .arg(where));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        return fail(QStringLiteral("reading records"), q);
    skippedRecords_.clear();
    while (q.next()) {
        const QcRecordLine read = qcReadRecordLine(q.value(0).toString().toUtf8());
        if (read.status == QcRecordLine::Read)
            take(read.record);
        else if (skippedRecords_.size() < ResultsLogRead::skippedLinesKept)
            skippedRecords_.append({0, read.problem});
    }
    return true;
}

bool RecordStore::runs(const RunFilter &filter, QList<RunRow> *rows)
{
    QStringList conditions {QStringLiteral("true")};
    QVariantList values;
    const auto condition = [&](const char *sql, const QVariant &value) {
        conditions << QString::fromLatin1(sql);
        values << value;
    };
    if (!filter.serial.isEmpty())
        condition("r.serial = CAST(? AS text)", filter.serial);
    if (!filter.label.isEmpty())
        condition("r.test = CAST(? AS text)", filter.label);
    if (!filter.station.isEmpty())
        condition("r.station = CAST(? AS text)", filter.station);
    if (!filter.verdict.isEmpty())
        condition("r.verdict = CAST(? AS text)", filter.verdict);
    if (filter.since.isValid())
        condition("r.judged >= CAST(? AS timestamptz)",
                  filter.since.toUTC().toString(Qt::ISODateWithMs));
    if (filter.until.isValid())
        condition("r.judged < CAST(? AS timestamptz)",
                  filter.until.toUTC().toString(Qt::ISODateWithMs));
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    // The view counts attempts over every run before the filter applies.
    q.prepare(QStringLiteral("SELECT r.id::text, q.time_written, r.station, r.test, "
                             "r.serial, r.attempt, r.verdict, r.failures[1], r.capture "
                             "FROM qc_run r JOIN qc_record q USING (id) WHERE %1 "
                             "ORDER BY r.judged, r.id")
                  .arg(conditions.join(QLatin1String(" AND "))));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        return fail(QStringLiteral("listing runs"), q);
    rows->clear();
    while (q.next()) {
        RunRow row;
        row.id = q.value(0).toString();
        row.time = q.value(1).toString();
        row.judged = QDateTime::fromString(row.time, Qt::ISODateWithMs);
        row.station = q.value(2).toString();
        row.test = q.value(3).toString();
        row.serial = q.value(4).toString();
        if (!q.value(5).isNull())
            row.attempt = q.value(5).toInt();
        row.verdict = q.value(6).toString();
        row.firstFailure = q.value(7).toString();
        row.capture = q.value(8).toString();
        rows->append(row);
    }
    return true;
}

bool RecordStore::yieldsFromRecords(const YieldQuery &query, QList<YieldRow> *rows)
{
    const QString group = query.split == YieldQuery::ByHost ? QStringLiteral("host")
        : query.split == YieldQuery::ByDay ? QStringLiteral("to_char(judged_day, 'YYYY-MM-DD')")
                                           : QStringLiteral("''");
    QVariantList values;
    const QString where = selection(query, &values);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    const auto run = [&](const QString &sql, const QVariantList &leading) {
        q.prepare(sql);
        for (const QVariant &v : leading + values)
            q.addBindValue(v);
        return q.exec();
    };

    QMap<QPair<QString, QString>, YieldRow> byKey;
    if (!run(QStringLiteral("SELECT test, %1, count(*), count(*) FILTER (WHERE verdict = 'Pass'), "
                            "(array_agg(time_written ORDER BY judged, id))[1], "
                            "(array_agg(time_written ORDER BY judged DESC, id DESC))[1] "
                            "FROM qc_record WHERE %2 GROUP BY 1, 2")
                 .arg(group, where),
             {}))
        return fail(QStringLiteral("summarising runs"), q);
    while (q.next()) {
        YieldRow &row = byKey[{q.value(0).toString(), q.value(1).toString()}];
        row.test = q.value(0).toString();
        row.group = q.value(1).toString();
        row.runs = q.value(2).toInt();
        row.passes = q.value(3).toInt();
        row.firstTime = q.value(4).toString();
        row.lastTime = q.value(5).toString();
    }
    // A board's attempts are its runs of the test in time order; "at the second attempt" counts
    // the boards that passed at their first or second.
    if (!run(QStringLiteral(
                 "SELECT test, grp, count(*), count(*) FILTER (WHERE by_first), "
                 "count(*) FILTER (WHERE by_second), count(*) FILTER (WHERE by_third), "
                 "count(*) FILTER (WHERE finally) FROM ("
                 "SELECT test, grp, serial, bool_or(verdict = 'Pass' AND first_rank = 1) AS "
                 "by_first, "
                 "bool_or(verdict = 'Pass' AND first_rank <= 2) AS by_second, "
                 "bool_or(verdict = 'Pass' AND first_rank <= 3) AS by_third, "
                 "bool_or(verdict = 'Pass' AND last_rank = 1) AS finally FROM ("
                 "SELECT test, %1 AS grp, serial, verdict, "
                 "row_number() OVER (PARTITION BY test, %1, serial ORDER BY judged, id) "
                 "AS first_rank, "
                 "row_number() OVER (PARTITION BY test, %1, serial ORDER BY judged DESC, id DESC) "
                 "AS last_rank FROM qc_record WHERE serial IS NOT NULL AND %2) AS ranked "
                 "GROUP BY 1, 2, 3) AS boards GROUP BY 1, 2")
                 .arg(group, where),
             {}))
        return fail(QStringLiteral("summarising boards"), q);
    while (q.next()) {
        YieldRow &row = byKey[{q.value(0).toString(), q.value(1).toString()}];
        row.boards = q.value(2).toInt();
        row.firstPasses = q.value(3).toInt();
        row.secondPasses = q.value(4).toInt();
        row.thirdPasses = q.value(5).toInt();
        row.finalPasses = q.value(6).toInt();
    }
    if (!run(QStringLiteral("SELECT test, %1, failure, count(*) FROM qc_record, "
                            "unnest(failures) AS failure WHERE %2 GROUP BY 1, 2, 3")
                 .arg(group, where),
             {}))
        return fail(QStringLiteral("summarising failures"), q);
    while (q.next())
        byKey[{q.value(0).toString(), q.value(1).toString()}].failures.insert(q.value(2).toString(),
                                                                              q.value(3).toInt());
    *rows = byKey.values();
    return true;
}

QString RecordStore::literal(const QString &value) const
{
    const QByteArray utf8 = value.toUtf8();
    char *escaped = PQescapeLiteral(pq_, utf8.constData(), size_t(utf8.size()));
    const QString text = QString::fromUtf8(escaped ? escaped : "NULL");
    PQfreemem(escaped);
    return text;
}

namespace {

// Each name of a column list, as the table `alias` holds it.
QString columnsOf(const QString &alias, const QString &columns)
{
    QStringList names = columns.split(QLatin1String(", "));
    for (QString &name : names)
        name.prepend(alias + QLatin1Char('.'));
    return names.join(QLatin1String(", "));
}

// The days of a report's tests from a time on, each whole (begun at or after it) or cut by it.
QString daysSince(const QString &since, const QString &testIs)
{
    return QStringLiteral("SELECT test, judged_day, first_judged >= %1 AS whole, last_judged "
                          "FROM qc_day_yield s WHERE last_judged >= %1 AND %2")
        .arg(since, testIs);
}

// The rows of a summary table that a query selects: every day of the test, or from a time on the
// days that begin after it; the days it cuts are summed from their records.
QString summaryInScope(const QString &table, const QString &columns, const QString &testIs,
                       const QString &since)
{
    if (since.isEmpty())
        return QStringLiteral("SELECT %1 FROM %2 s WHERE %3")
            .arg(columnsOf(QStringLiteral("s"), columns), table, testIs);
    return QStringLiteral("WITH days AS (%1) SELECT %2 FROM %3 s JOIN days d ON d.test = s.test "
                          "AND d.judged_day = s.judged_day AND d.whole")
        .arg(daysSince(since, testIs), columnsOf(QStringLiteral("s"), columns), table);
}

QString dayText(const QVariant &day)
{
    return day.toDate().toString(Qt::ISODate);
}

} // namespace

bool RecordStore::yields(const YieldQuery &query, QList<YieldRow> *rows)
{
    // A board's attempts from a time on are counted among the runs from then on, which no
    // summary of whole boards holds; the split by host has none either.
    if (query.split == YieldQuery::ByHost || query.since.isValid())
        return yieldsFromRecords(query, rows);
    const bool byDay = query.split == YieldQuery::ByDay;
    const QString testIs = query.test.isEmpty()
        ? QStringLiteral("true")
        : QStringLiteral("s.test = %1").arg(literal(query.test));
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    struct Ends
    {
        QDateTime first, last;
        QString firstId, lastId;
    };
    QMap<QPair<QString, QString>, YieldRow> byKey;
    QHash<QPair<QString, QString>, Ends> ends;
    if (!q.exec(summaryInScope(QStringLiteral("qc_day_yield"), StoreSummaries::dayYieldColumns(),
                               testIs, QString())))
        return fail(QStringLiteral("summarising runs"), q);
    while (q.next()) {
        const QPair<QString, QString> key {q.value(0).toString(),
                                           byDay ? dayText(q.value(1)) : QString()};
        YieldRow &row = byKey[key];
        Ends &e = ends[key];
        const bool first = row.runs == 0;
        row.test = key.first;
        row.group = key.second;
        row.runs += q.value(2).toInt();
        row.passes += q.value(3).toInt();
        const QDateTime firstJudged = q.value(4).toDateTime(), lastJudged = q.value(7).toDateTime();
        const QString firstId = q.value(5).toString(), lastId = q.value(8).toString();
        if (first || firstJudged < e.first || (firstJudged == e.first && firstId < e.firstId)) {
            e.first = firstJudged;
            e.firstId = firstId;
            row.firstTime = q.value(6).toString();
        }
        if (first || lastJudged > e.last || (lastJudged == e.last && lastId > e.lastId)) {
            e.last = lastJudged;
            e.lastId = lastId;
            row.lastTime = q.value(9).toString();
        }
    }
    if (!q.exec(summaryInScope(QStringLiteral("qc_day_failure"),
                               StoreSummaries::dayFailureColumns(), testIs, QString())))
        return fail(QStringLiteral("summarising failures"), q);
    while (q.next())
        byKey[{q.value(0).toString(), byDay ? dayText(q.value(1)) : QString()}]
            .failures[q.value(2).toString()]
            += q.value(3).toInt();
    if (!q.exec(QStringLiteral("SELECT test, %1, count(*), count(*) FILTER (WHERE by_first), "
                               "count(*) FILTER (WHERE by_second), count(*) FILTER (WHERE "
                               "by_third), count(*) FILTER (WHERE finally) FROM %2 s WHERE %3 "
                               "GROUP BY 1, 2")
                    .arg(byDay ? QStringLiteral("judged_day") : QStringLiteral("NULL::date"),
                         byDay ? QStringLiteral("qc_board_day") : QStringLiteral("qc_board"),
                         testIs)))
        return fail(QStringLiteral("summarising boards"), q);
    while (q.next()) {
        YieldRow &row = byKey[{q.value(0).toString(), byDay ? dayText(q.value(1)) : QString()}];
        row.boards = q.value(2).toInt();
        row.firstPasses = q.value(3).toInt();
        row.secondPasses = q.value(4).toInt();
        row.thirdPasses = q.value(5).toInt();
        row.finalPasses = q.value(6).toInt();
    }
    *rows = byKey.values();
    return true;
}

namespace {

// A day's row as ReportData gives it: the page shows no boards by day.
YieldRow withoutBoards(YieldRow row)
{
    row.boards = row.firstPasses = row.secondPasses = row.thirdPasses = row.finalPasses = 0;
    return row;
}

} // namespace

// Which records a report's statements take: its test and its time.
struct RecordStore::ReportScope
{
    QString testIs; // a condition on the summaries' `s.test`
    QString since; // a timestamptz literal; empty for every time
    QString runsSince; // a condition on the records' `r.judged`
};

bool RecordStore::report(const YieldQuery &query, QList<ReportTest> *tests)
{
    ReportScope scope;
    scope.testIs = query.test.isEmpty() ? QStringLiteral("true")
                                        : QStringLiteral("s.test = %1").arg(literal(query.test));
    if (query.since.isValid())
        scope.since = literal(query.since.toUTC().toString(Qt::ISODateWithMs))
            + QLatin1String("::timestamptz");
    scope.runsSince = scope.since.isEmpty() ? QStringLiteral("true")
                                            : QStringLiteral("r.judged >= %1").arg(scope.since);
    QMap<QString, ReportTest> byTest;
    if (!reportYields(query, &byTest) || !reportChannels(scope, &byTest)
        || !reportDrift(scope, &byTest) || !reportLatestRuns(scope, &byTest))
        return false;
    *tests = byTest.values();
    return true;
}

bool RecordStore::reportYields(const YieldQuery &query, QMap<QString, ReportTest> *byTest)
{
    for (const YieldQuery::Split split : {YieldQuery::None, YieldQuery::ByDay}) {
        YieldQuery q = query;
        q.split = split;
        QList<YieldRow> rows;
        if (!yields(q, &rows))
            return false;
        for (const YieldRow &row : std::as_const(rows)) {
            ReportTest &test = (*byTest)[row.test];
            test.test = row.test;
            if (split == YieldQuery::None)
                test.total = row;
            else // in day order, as the map gave them
                test.days.append(withoutBoards(row));
        }
    }
    return true;
}

namespace {

QcRecordWindow windowAt(const QSqlQuery &q, int column)
{
    return QcRecordWindow {q.value(column).toDouble(), q.value(column + 1).toDouble(),
                           q.value(column + 2).toDouble(), q.value(column + 3).toDouble()};
}

} // namespace

namespace {

// A run's means, newest first, on the charts of the channels in scope that want more.
void addDriftPoints(const QcRecord &r, ReportTest *test)
{
    for (const QcRecordChannel &c : r.channels) {
        const auto channel = test->channels.find(c.channel);
        if (channel == test->channels.end() || !c.window || !c.x.mean || !c.y.mean
            || channel->drift.size() >= ReportChannel::driftRunsShown)
            continue;
        if (channel->drift.isEmpty()) {
            channel->window = *c.window;
            channel->latest = r.judged;
            channel->latestId = r.id;
        }
        channel->drift.append({r.judged, r.id, *c.x.mean, *c.y.mean});
    }
}

} // namespace

bool RecordStore::readRecords(const QString &sql, const std::function<void(const QcRecord &)> &take)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    if (!q.exec(sql))
        return fail(QStringLiteral("reading records"), q);
    while (q.next()) {
        const QcRecordLine line = qcReadRecordLine(q.value(0).toString().toUtf8());
        if (line.status == QcRecordLine::Read)
            take(line.record);
    }
    return true;
}

bool RecordStore::reportChannels(const ReportScope &scope, QMap<QString, ReportTest> *byTest)
{
    using StoreSummaries::BatchSummary;
    QMap<BatchSummary::ChannelKey, BatchSummary::ChannelDay> days;
    // The days a time cuts, from their records at or after it: a range of the index on test and
    // time for each (OFFSET 0 keeps the planner from joining all records from the time on).
    if (!scope.since.isEmpty()) {
        BatchSummary cut;
        if (!readRecords(QStringLiteral("WITH days AS (%1) SELECT r.record FROM days d CROSS JOIN "
                                        "LATERAL (SELECT record FROM qc_record r WHERE r.test = "
                                        "d.test AND r.judged >= %2 AND r.judged <= d.last_judged "
                                        "AND r.judged_day = d.judged_day OFFSET 0) r "
                                        "WHERE NOT d.whole")
                             .arg(daysSince(scope.since, scope.testIs), scope.since),
                         [&](const QcRecord &r) { cut.add(r); }))
            return false;
        days = cut.channelDays();
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    const auto keyAt = [&q] {
        return BatchSummary::ChannelKey {q.value(0).toString(), dayText(q.value(1)),
                                         q.value(2).toInt(), windowAt(q, 3)};
    };
    if (!q.exec(summaryInScope(QStringLiteral("qc_day_channel"),
                               StoreSummaries::dayChannelColumns(), scope.testIs, scope.since)))
        return fail(QStringLiteral("summarising channels"), q);
    while (q.next()) {
        ChannelSums &sums = days[keyAt()].sums;
        sums.meanRuns = q.value(7).toLongLong();
        const qint64 runs = q.value(8).toLongLong(), samples = q.value(9).toLongLong();
        sums.x = {runs, samples, q.value(10).toDouble(), q.value(11).toDouble(),
                  q.value(12).toDouble()};
        sums.y = {runs, samples, q.value(13).toDouble(), q.value(14).toDouble(),
                  q.value(15).toDouble()};
        sums.outside
            = {q.value(16).toLongLong(), q.value(17).toLongLong(), q.value(18).toLongLong()};
    }
    if (!q.exec(summaryInScope(QStringLiteral("qc_day_bin"), StoreSummaries::dayBinColumns(),
                               scope.testIs, scope.since)))
        return fail(QStringLiteral("summarising histograms"), q);
    while (q.next()) {
        BatchSummary::ChannelDay &day = days[keyAt()];
        const int bin = qBound(0, q.value(8).toInt(), histogramBins - 1);
        (q.value(7).toString() == QLatin1String("x") ? day.bins.x : day.bins.y)[bin]
            += q.value(9).toLongLong();
    }
    // In day order within each test, so that windows are met as the runs met them.
    for (auto i = days.cbegin(); i != days.cend(); ++i) {
        const BatchSummary::ChannelKey &key = i.key();
        ReportTest &test = (*byTest)[key.test];
        ReportChannel &c = test.channels[key.channel];
        c.channel = key.channel;
        if (c.meanRuns > 0 && c.window != key.window)
            c.windowsDiffer = true;
        c.window = key.window;
        c.merge(i->sums);
        c.binsFor(key.window).add(i->bins);
    }
    return true;
}

// The charts' latest runs: each test's records newest first, read through the index on test
// and time a page at a time, until every channel has its latest runs or the records end. The
// newest run gives the channel's window.
bool RecordStore::reportDrift(const ReportScope &scope, QMap<QString, ReportTest> *byTest)
{
    constexpr int page = ReportChannel::driftRunsShown;
    for (ReportTest &test : *byTest) {
        const auto wanting = [&test] {
            for (const ReportChannel &c : std::as_const(test.channels)) {
                if (c.drift.size() < qMin<qint64>(ReportChannel::driftRunsShown, c.meanRuns))
                    return true;
            }
            return false;
        };
        QString before = QStringLiteral("true");
        for (int read = page; wanting() && read == page;) {
            read = 0;
            QString lastId;
            QDateTime lastJudged;
            if (!readRecords(QStringLiteral("SELECT record FROM qc_record r WHERE "
                                            "r.test = %1 AND %2 AND %3 ORDER BY r.judged DESC, "
                                            "r.id DESC LIMIT %4")
                                 .arg(literal(test.test), scope.runsSince, before)
                                 .arg(page),
                             [&](const QcRecord &r) {
                                 ++read;
                                 lastId = r.id;
                                 lastJudged = r.judged;
                                 addDriftPoints(r, &test);
                             }))
                return false;
            // The next page: the runs before the last one read, by time and then by id.
            before = QStringLiteral("(r.judged, r.id) < (%1::timestamptz, %2::uuid)")
                         .arg(literal(lastJudged.toUTC().toString(Qt::ISODateWithMs)),
                              literal(lastId));
        }
        for (ReportChannel &c : test.channels)
            std::reverse(c.drift.begin(), c.drift.end());
    }
    return true;
}

// Each test's latest run (its rules) and its latest failed runs, whole.
bool RecordStore::reportLatestRuns(const ReportScope &scope, QMap<QString, ReportTest> *byTest)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
                    "SELECT t.test, l.latest, l.id::text, l.record::text FROM (SELECT DISTINCT "
                    "test FROM qc_day_yield s WHERE %1) t CROSS JOIN LATERAL ("
                    "(SELECT true AS latest, r.id, r.record FROM qc_record r "
                    "WHERE r.test = t.test AND %2 ORDER BY r.judged DESC, r.id DESC LIMIT 1) "
                    "UNION ALL (SELECT false, r.id, r.record FROM qc_record r WHERE "
                    "r.test = t.test AND %2 AND r.verdict = 'Fail' "
                    "ORDER BY r.judged DESC, r.id DESC LIMIT %3)) l")
                    .arg(scope.testIs, scope.runsSince)
                    .arg(ReportData::failedRunsShown)))
        return fail(QStringLiteral("reading the latest runs"), q);
    while (q.next()) {
        const auto test = byTest->find(q.value(0).toString());
        QcRecordLine line = qcReadRecordLine(q.value(3).toString().toUtf8());
        if (test == byTest->end() || line.status != QcRecordLine::Read)
            continue;
        // A record logged before records carried ids keeps the one it was stored under.
        line.record.id = q.value(2).toString();
        if (q.value(1).toBool()) {
            test->rules = line.record.rules;
            test->rulesJudged = line.record.judged;
            test->rulesId = line.record.id;
        } else {
            test->latestFailed.append(line.record);
        }
    }
    return true;
}
