#include "records/recordstore.h"

#include "records/recordsettings.h"
#include "records/resultslog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#include <cstdio>
#include <dlfcn.h>

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
    R"(CREATE VIEW qc_attempt_yield AS
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
GROUP BY test)",
};

struct SchemaStep
{
    const char *const *statements;
    size_t count;
};
template<size_t n>
constexpr SchemaStep step(const char *const (&statements)[n])
{
    return {statements, n};
}
// Step i takes the schema from version i to version i + 1.
const SchemaStep schemaSteps[] = {step(schemaVersion1), step(schemaVersion2), step(schemaVersion3)};
static_assert(sizeof(schemaSteps) / sizeof(schemaSteps[0]) == RecordStore::schemaVersion,
              "one step per version");

// The columns of one record as a batch carries it: the keys of each batch entry are the names of
// the columns they fill.
const char addBatchStatement[] = R"(
WITH batch AS (
    SELECT * FROM json_to_recordset(CAST(? AS json)) AS b(
        id uuid, record jsonb, judged timestamptz, judged_day date, host text, station text,
        fixture text, operator text, program text, software text, test text, serial text,
        verdict text, plan_sha256 text, failures text[], channels json)),
added AS (
    INSERT INTO qc_record (id, record, judged, judged_day, host, station, fixture, operator,
                           program, software, test, serial, verdict, plan_sha256, failures)
    SELECT id, record, judged, judged_day, host, station, fixture, operator, program, software,
           test, serial, verdict, plan_sha256, failures FROM batch
    ON CONFLICT (id) DO NOTHING
    RETURNING id),
added_channels AS (
    INSERT INTO qc_channel (record_id, channel, good, need, samples, x_low, x_high, y_low, y_high,
                            x_min, x_max, x_mean, x_sd, y_min, y_max, y_mean, y_sd)
    SELECT b.id, c.* FROM batch b JOIN added USING (id)
    CROSS JOIN LATERAL json_to_recordset(b.channels) AS c(
        channel integer, good integer, need integer, samples bigint, x_low float8, x_high float8,
        y_low float8, y_high float8, x_min float8, x_max float8, x_mean float8, x_sd float8,
        y_min float8, y_max float8, y_mean float8, y_sd float8)
    RETURNING 1)
-- Of the records not added, those there before this statement with other content.
SELECT 'conflict', b.id::text FROM batch b LEFT JOIN added a USING (id)
WHERE a.id IS NULL AND EXISTS (SELECT 1 FROM qc_record r WHERE r.id = b.id AND r.record <> b.record)
UNION ALL SELECT 'added', count(*)::text FROM added
UNION ALL SELECT 'channels', count(*)::text FROM added_channels)";

// A batch is written as JSON text directly: building Qt's JSON objects for a hundred thousand
// records costs more than the database's work on them.
class BatchWriter
{
public:
    QByteArray text = "[";

    void key(const char *name)
    {
        if (!text.endsWith('[') && !text.endsWith('{'))
            text += ',';
        text += '"';
        text += name;
        text += "\":";
    }
    void string(const QString &value)
    {
        text += '"';
        for (const char c : value.toUtf8()) {
            if (c == '"' || c == '\\') {
                text += '\\';
                text += c;
            } else if (uchar(c) < 0x20) {
                text += "\\u00";
                text += "0123456789abcdef"[uchar(c) >> 4];
                text += "0123456789abcdef"[uchar(c) & 15];
            } else {
                text += c;
            }
        }
        text += '"';
    }
    void stringOrNull(const QString &value) { value.isEmpty() ? null() : string(value); }
    void number(double value)
    {
        if (qIsFinite(value))
            text += QByteArray::number(value, 'g', 17);
        else
            null();
    }
    void number(const std::optional<double> &value) { value ? number(*value) : null(); }
    void null() { text += "null"; }
    void raw(const QByteArray &json) { text += json; }
    void open(char bracket)
    {
        if (!text.endsWith('[') && !text.endsWith(':'))
            text += ',';
        text += bracket;
    }
    void close(char bracket) { text += bracket; }

    void add(const QcRecordLine &line)
    {
        const QcRecord &r = line.record;
        open('{');
        key("id");
        string(r.id);
        key("record");
        raw(line.bytes);
        key("judged");
        // In UTC with milliseconds, whatever the line gave: a time without an offset is the
        // station's local time, which the server's time zone need not be.
        string(r.judged.toUTC().toString(Qt::ISODateWithMs));
        key("judged_day");
        string(r.day());
        key("host");
        string(r.host);
        key("station");
        string(r.stationOrHost());
        key("fixture");
        stringOrNull(r.fixture);
        key("operator");
        stringOrNull(r.operatorName);
        key("program");
        string(r.program);
        key("software");
        string(r.software);
        key("test");
        string(r.test);
        key("serial");
        stringOrNull(r.serial);
        key("verdict");
        string(r.verdict);
        key("plan_sha256");
        stringOrNull(r.planSha256);
        key("failures");
        open('[');
        for (int i = 0; i < r.failures.size(); ++i) {
            if (i > 0)
                text += ',';
            string(r.failures.at(i));
        }
        close(']');
        key("channels");
        open('[');
        for (const QcRecordChannel &c : r.channels) {
            open('{');
            key("channel");
            number(c.channel);
            key("good");
            number(c.good);
            key("need");
            number(c.need);
            key("samples");
            // As a whole number: a bigint column refuses "1e+17".
            c.samples ? raw(QByteArray::number(*c.samples)) : null();
            if (c.window) {
                key("x_low");
                number(c.window->xMin);
                key("x_high");
                number(c.window->xMax);
                key("y_low");
                number(c.window->yMin);
                key("y_high");
                number(c.window->yMax);
            }
            key("x_min");
            number(c.x.min);
            key("x_max");
            number(c.x.max);
            key("x_mean");
            number(c.x.mean);
            key("x_sd");
            number(c.x.sd);
            key("y_min");
            number(c.y.min);
            key("y_max");
            number(c.y.max);
            key("y_mean");
            number(c.y.mean);
            key("y_sd");
            number(c.y.sd);
            close('}');
        }
        close(']');
        close('}');
    }
};

// Qt's PostgreSQL driver tells the server's notices and its own warnings through Qt's messages;
// the store reports every error itself, in one line, so these are dropped while it lives.
void dropDriverMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// libpq writes the server's notices (a shutdown's warning among them) straight to standard
// error; the driver has libpq loaded, and the store turns that off for its connection.
void silenceNotices(const QSqlDatabase &db)
{
    using NoticeProcessor = void (*)(void *, const char *);
    using SetNoticeProcessor = NoticeProcessor (*)(void *, NoticeProcessor, void *);
    const QVariant handle = db.driver()->handle();
    void *libpq = ::dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD);
    if (!libpq || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return;
    const auto set = reinterpret_cast<SetNoticeProcessor>(::dlsym(libpq, "PQsetNoticeProcessor"));
    if (set)
        set(
            *static_cast<void *const *>(handle.data()), [](void *, const char *) {}, nullptr);
    ::dlclose(libpq);
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
    silenceNotices(db);
    return makeSchema();
}

bool RecordStore::fail(const QString &what, const QSqlQuery &query)
{
    return fail(what, query.lastError());
}

bool RecordStore::fail(const QString &what, const QSqlError &e)
{
    error_ = QStringLiteral("database error %1: %2").arg(what, reasonOf(e));
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    db.rollback();
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
        const SchemaStep &next = schemaSteps[from];
        for (size_t i = 0; i < next.count; ++i) {
            if (!q.exec(QString::fromUtf8(next.statements[i])))
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
bool refusesRecord(const QSqlError &e)
{
    const QString state = e.nativeErrorCode();
    return state.startsWith(QLatin1String("22")) || state.startsWith(QLatin1String("23"))
        || state.startsWith(QLatin1String("54"));
}

} // namespace

bool RecordStore::insertRecords(QSqlQuery &q, const QList<const QcRecordLine *> &records,
                                int *added, QStringList *conflicts)
{
    BatchWriter batch;
    for (const QcRecordLine *line : records)
        batch.add(*line);
    batch.close(']');
    q.prepare(QString::fromUtf8(addBatchStatement));
    q.addBindValue(QString::fromUtf8(batch.text));
    if (!q.exec())
        return false;
    while (q.next()) {
        if (q.value(0).toString() == QLatin1String("conflict"))
            conflicts->append(q.value(1).toString());
        else if (q.value(0).toString() == QLatin1String("added"))
            *added += q.value(1).toInt();
    }
    return true;
}

bool RecordStore::addOrSetAside(QSqlQuery &q, const QList<const QcRecordLine *> &records,
                                const QString &host, const QString &log, int *added,
                                QStringList *conflicts, QList<Refusal> *refused)
{
    if (records.isEmpty())
        return true;
    if (!q.exec(QStringLiteral("SAVEPOINT batch")))
        return false;
    if (insertRecords(q, records, added, conflicts))
        return q.exec(QStringLiteral("RELEASE SAVEPOINT batch"));
    const QSqlError batchError = q.lastError();
    if (!refusesRecord(batchError) || !q.exec(QStringLiteral("ROLLBACK TO SAVEPOINT batch"))) {
        q.exec(QStringLiteral("ROLLBACK TO SAVEPOINT batch"));
        lastError_ = batchError;
        return false;
    }
    // One record spoils its batch: each alone finds which, and the rest go in.
    for (const QcRecordLine *line : records) {
        if (!q.exec(QStringLiteral("SAVEPOINT one")))
            return false;
        if (insertRecords(q, {line}, added, conflicts)) {
            if (!q.exec(QStringLiteral("RELEASE SAVEPOINT one")))
                return false;
            continue;
        }
        const QSqlError e = q.lastError();
        if (!refusesRecord(e)) {
            lastError_ = e;
            return false;
        }
        if (!q.exec(QStringLiteral("ROLLBACK TO SAVEPOINT one")))
            return false;
        const Refusal refusal {line->number, line->record.id, reasonOf(e)};
        q.prepare(QStringLiteral(
            "INSERT INTO qc_refused (host, log_path, line, bytes, reason) VALUES (?, ?, ?, ?, ?) "
            "ON CONFLICT (host, log_path, line) DO UPDATE SET bytes = EXCLUDED.bytes, "
            "reason = EXCLUDED.reason, refused_at = now()"));
        q.addBindValue(host);
        q.addBindValue(log);
        q.addBindValue(refusal.line);
        q.addBindValue(line->bytes);
        q.addBindValue(refusal.reason);
        if (!q.exec())
            return false;
        refused->append(refusal);
    }
    return true;
}

bool RecordStore::addBatch(const QList<QcRecordLine> &records, const QString &host,
                           const QString &log, const LogState &state, int *added,
                           QStringList *conflicts, QList<Refusal> *refused)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    *added = 0;
    // One entry per id: a second line with an id already in the batch is either the same record
    // again or a conflict.
    QHash<QString, int> inBatch;
    QList<const QcRecordLine *> entries;
    for (int i = 0; i < records.size(); ++i) {
        const QcRecordLine &line = records.at(i);
        const auto seen = inBatch.constFind(line.record.id);
        if (seen != inBatch.constEnd()) {
            // The same record logged again may differ in its bytes only (spacing, key order).
            if (records.at(*seen).bytes != line.bytes
                && QJsonDocument::fromJson(records.at(*seen).bytes)
                    != QJsonDocument::fromJson(line.bytes))
                conflicts->append(line.record.id);
            continue;
        }
        inBatch.insert(line.record.id, i);
        entries.append(&line);
    }
    if (!db.transaction())
        return fail(QStringLiteral("starting a transaction"), db.lastError());
    lastError_ = QSqlError();
    if (!addOrSetAside(q, entries, host, log, added, conflicts, refused))
        return fail(QStringLiteral("adding records"),
                    lastError_.isValid() ? lastError_ : q.lastError());
    q.prepare(QStringLiteral(
        "INSERT INTO qc_sync_state (host, log_path, synced_bytes, synced_lines, sha256) "
        "VALUES (?, ?, ?, ?, ?) ON CONFLICT (host, log_path) DO UPDATE SET "
        "synced_bytes = EXCLUDED.synced_bytes, synced_lines = EXCLUDED.synced_lines, "
        "sha256 = EXCLUDED.sha256, synced_at = now()"));
    q.addBindValue(host);
    q.addBindValue(log);
    q.addBindValue(state.bytes);
    q.addBindValue(state.lines);
    q.addBindValue(QString::fromLatin1(state.sha256));
    if (!q.exec())
        return fail(QStringLiteral("keeping the sync state"), q);
    if (!db.commit())
        return fail(QStringLiteral("committing records"), db.lastError());
    return true;
}

bool RecordStore::retryRefused(const QString &host, const QString &log, int *added,
                               QList<Refusal> *refused)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    *added = 0;
    if (!db.transaction())
        return fail(QStringLiteral("starting a transaction"), db.lastError());
    q.prepare(QStringLiteral("SELECT line, bytes FROM qc_refused WHERE host = ? AND log_path = ? "
                             "ORDER BY line"));
    q.addBindValue(host);
    q.addBindValue(log);
    if (!q.exec())
        return fail(QStringLiteral("reading refused records"), q);
    QList<QcRecordLine> lines;
    while (q.next()) {
        QcRecordLine line = qcReadRecordLine(q.value(1).toByteArray());
        line.number = q.value(0).toLongLong();
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
        q.prepare(
            QStringLiteral("DELETE FROM qc_refused WHERE host = ? AND log_path = ? AND line = ?"));
        q.addBindValue(host);
        q.addBindValue(log);
        q.addBindValue(line->number);
        if (!q.exec())
            return fail(QStringLiteral("retrying refused records"), q);
    }
    QStringList conflicts;
    lastError_ = QSqlError();
    if (!addOrSetAside(q, again, host, log, added, &conflicts, refused))
        return fail(QStringLiteral("retrying refused records"),
                    lastError_.isValid() ? lastError_ : q.lastError());
    if (!db.commit())
        return fail(QStringLiteral("committing records"), db.lastError());
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
    q.prepare(QStringLiteral("SELECT r.id::text, q.record->>CAST(? AS text), r.station, r.test, "
                             "r.serial, r.attempt, r.verdict, r.failures[1], r.capture "
                             "FROM qc_run r JOIN qc_record q USING (id) WHERE %1 "
                             "ORDER BY r.judged, r.id")
                  .arg(conditions.join(QLatin1String(" AND "))));
    q.addBindValue(QcRecord::timeJsonKey());
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

bool RecordStore::yields(const YieldQuery &query, QList<YieldRow> *rows)
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
    const QString timeKey = QcRecord::timeJsonKey();
    if (!run(
            QStringLiteral("SELECT test, %1, count(*), count(*) FILTER (WHERE verdict = 'Pass'), "
                           "(array_agg(record->>CAST(? AS text) ORDER BY judged, id))[1], "
                           "(array_agg(record->>CAST(? AS text) ORDER BY judged DESC, id DESC))[1] "
                           "FROM qc_record WHERE %2 GROUP BY 1, 2")
                .arg(group, where),
            {timeKey, timeKey}))
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
