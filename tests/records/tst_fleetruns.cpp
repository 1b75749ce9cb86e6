// Two stations' logs synced into one database of the test's own: each board's attempts counted
// across the stations, yield by attempt, and the runs that filters select, from the logs and from
// the database alike, against a table counted by hand.
#include "records/databaserecordsource.h"
#include "records/logsync.h"
#include "records/recordsource.h"
#include "support/postgresserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    const char *station, *time, *test, *serial, *verdict;
    int attempt; // across both stations, counted by hand; 0 without a serial
};

// S1 fails at A and passes at B: attempt 2. The times carry each station's offset, so text order
// is not time order (S6). S5's two runs are at one instant: the id orders them.
const Run runs[] = {
    {"A", "2026-03-01T07:00:00.000+01:00", "T", "S4", "Fail", 1},
    {"A", "2026-03-01T08:00:00.000+01:00", "T", "S1", "Fail", 1},
    {"A", "2026-03-01T08:10:00.000+01:00", "T", "S3", "Fail", 1},
    {"A", "2026-03-01T08:20:00.000+01:00", "T", "S3", "Fail", 2},
    {"B", "2026-03-01T07:30:00.000+00:00", "T", "S2", "Pass", 1},
    {"B", "2026-03-01T08:00:00.000+00:00", "T", "S1", "Pass", 2},
    {"B", "2026-03-01T09:00:00.000+00:00", "T", "S3", "Fail", 3},
    {"B", "2026-03-01T10:00:00.000+00:00", "T", "S3", "Pass", 4},
    {"A", "2026-03-01T12:00:00.000+01:00", "U", "S1", "Pass", 1},
    {"A", "2026-03-01T13:00:00.000+01:00", "T", "", "Fail", 0},
    {"A", "2026-03-01T14:00:00.000+01:00", "T", "S5", "Fail", 1},
    {"B", "2026-03-01T13:00:00.000+00:00", "T", "S5", "Pass", 2},
    {"A", "2026-03-01T15:00:00.000+01:00", "T", "S6", "Pass", 1},
    {"B", "2026-03-01T14:30:00.000+00:00", "T", "S6", "Fail", 2},
};
constexpr int runCount = int(sizeof runs / sizeof runs[0]);

QString idOf(int i)
{
    return QStringLiteral("00000000-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
}

QByteArray line(int i)
{
    const Run &r = runs[i];
    QcRecord record;
    record.id = idOf(i);
    record.time = QString::fromLatin1(r.time);
    record.program = QStringLiteral("envviewer");
    record.host = QStringLiteral("host-") + r.station;
    record.station = QStringLiteral("station-") + r.station;
    record.test = QString::fromLatin1(r.test);
    record.serial = QString::fromLatin1(r.serial);
    record.verdict = QString::fromLatin1(r.verdict);
    if (record.verdict == QLatin1String("Fail"))
        record.failures = QStringList {QStringLiteral("Frame Count Fail")};
    return record.toLine();
}

// How a run is shown in the comparisons: index, station and attempt.
QStringList describe(const QList<RunRow> &rows)
{
    QStringList shown;
    for (const RunRow &row : rows)
        shown << QStringLiteral("%1 %2 #%3")
                     .arg(row.id.right(2), row.station)
                     .arg(row.attempt ? QString::number(*row.attempt) : QStringLiteral("-"));
    return shown;
}

QStringList expected(const QList<int> &indexes)
{
    QStringList shown;
    for (int i : indexes)
        shown << QStringLiteral("%1 station-%2 #%3")
                     .arg(idOf(i).right(2), QLatin1String(runs[i].station))
                     .arg(runs[i].attempt ? QString::number(runs[i].attempt) : QStringLiteral("-"));
    return shown;
}

} // namespace

class TestFleetRuns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void attemptsAcrossStations();
    void runFilters_data();
    void runFilters();
    void yieldByAttempt();
    void olderSchemaKeepsItsRecords();
    void syncRefusesSerialsNoStationGives();

private:
    PostgresServer server;
    QTemporaryDir dir;
    QString url;
    QString both; // the two logs one after the other, as one source
};

void TestFleetRuns::initTestCase()
{
    QVERIFY(dir.isValid());
    if (!server.start())
        QSKIP(qPrintable("no PostgreSQL server: " + server.whyNot()));
    url = server.createDatabase(QStringLiteral("fleet"));
    QVERIFY2(!url.isEmpty(), qPrintable(server.whyNot()));
    both = dir.filePath("both.jsonl");
    QFile all(both);
    QVERIFY(all.open(QIODevice::WriteOnly));
    for (const char *station : {"A", "B"}) {
        const QString path = dir.filePath(QStringLiteral("%1.jsonl").arg(station));
        QFile log(path);
        QVERIFY(log.open(QIODevice::WriteOnly));
        for (int i = 0; i < runCount; ++i) {
            if (QByteArray(runs[i].station) == station) {
                log.write(line(i));
                all.write(line(i));
            }
        }
        log.close();
        RecordStore store;
        QVERIFY2(store.open(url), qPrintable(store.error()));
        LogSync sync(store, path, QStringLiteral("host-") + station);
        QVERIFY2(sync.begin(), qPrintable(sync.error() + store.error()));
        QVERIFY2(sync.step(1000), qPrintable(sync.error()));
        QVERIFY(sync.atEnd());
    }
}

void TestFleetRuns::attemptsAcrossStations()
{
    // Every run in time order with its attempt, from the database and from the logs.
    QList<int> inOrder;
    for (int i = 0; i < runCount; ++i)
        inOrder << i;
    std::sort(inOrder.begin(), inOrder.end(), [](int a, int b) {
        const auto at
            = [](int i) { return QDateTime::fromString(runs[i].time, Qt::ISODateWithMs); };
        return at(a) != at(b) ? at(a) < at(b) : a < b;
    });
    for (const QString &source : {url, QString()}) {
        const auto records = recordSourceFor(both, source);
        QList<RunRow> rows;
        QVERIFY2(records->runs({}, &rows), qPrintable(records->error()));
        QCOMPARE(describe(rows), expected(inOrder));
    }
}

void TestFleetRuns::runFilters_data()
{
    QTest::addColumn<QStringList>("options"); // key=value
    QTest::addColumn<QList<int>>("selected");
    QTest::newRow("serial") << QStringList {"serial=S3"} << QList<int> {2, 3, 6, 7};
    // A filter leaves the attempts as they are: S1's pass at B is its second.
    QTest::newRow("station and verdict")
        << QStringList {"station=station-B", "verdict=Pass"} << QList<int> {4, 5, 7, 11};
    QTest::newRow("label and serial") << QStringList {"label=U", "serial=S1"} << QList<int> {8};
    QTest::newRow("since and until")
        << QStringList {"since=2026-03-01T08:00:00+01:00", "until=2026-03-01T09:00:00+01:00"}
        << QList<int> {1, 2, 3, 4};
    QTest::newRow("failed at A") << QStringList {"station=station-A", "verdict=Fail", "label=T"}
                                 << QList<int> {0, 1, 2, 3, 9, 10};
    QTest::newRow("nothing") << QStringList {"serial=S9"} << QList<int> {};
}

void TestFleetRuns::runFilters()
{
    QFETCH(QStringList, options);
    QFETCH(QList<int>, selected);
    RunFilter filter;
    for (const QString &option : options) {
        const QString key = option.section('=', 0, 0), value = option.section('=', 1);
        if (key == "serial")
            filter.serial = value;
        else if (key == "label")
            filter.label = value;
        else if (key == "station")
            filter.station = value;
        else if (key == "verdict")
            filter.verdict = value;
        else if (key == "since")
            filter.since = QDateTime::fromString(value, Qt::ISODate);
        else if (key == "until")
            filter.until = QDateTime::fromString(value, Qt::ISODate);
    }
    for (const QString &source : {url, QString()}) {
        const auto records = recordSourceFor(both, source);
        QList<RunRow> rows;
        QVERIFY2(records->runs(filter, &rows), qPrintable(records->error()));
        QCOMPARE(describe(rows), expected(selected));
    }
}

void TestFleetRuns::yieldByAttempt()
{
    // T's boards: S1 F P, S2 P, S3 F F F P, S4 F, S5 F P, S6 P F. Passed at the first attempt:
    // S2, S6; by the second: and S1, S5; by the third: the same; last run passed: S1 S2 S3 S5.
    const QString want = QStringLiteral("T 6 2 4 4 4|U 1 1 1 1 1");
    for (const QString &source : {url, QString()}) {
        const auto records = recordSourceFor(both, source);
        QList<YieldRow> rows;
        QVERIFY2(records->yields({}, &rows), qPrintable(records->error()));
        QStringList got;
        for (const YieldRow &r : rows)
            got << QStringLiteral("%1 %2 %3 %4 %5 %6")
                       .arg(r.test)
                       .arg(r.boards)
                       .arg(r.firstPasses)
                       .arg(r.secondPasses)
                       .arg(r.thirdPasses)
                       .arg(r.finalPasses);
        QCOMPARE(got.join('|'), want);
    }
    QCOMPARE(server
                 .query("fleet",
                        "SELECT test, boards, first_passes, second_passes, third_passes, "
                        "final_passes, round(second_attempt_yield, 1) FROM qc_attempt_yield "
                        "ORDER BY test")
                 .trimmed(),
             QStringLiteral("T|6|2|4|4|4|66.7\nU|1|1|1|1|1|100.0"));
}

void TestFleetRuns::olderSchemaKeepsItsRecords()
{
    // The database as the schema's version before stations left it, with its records: opening it
    // moves it to the current version, every record kept, each station taken from its record.
    const QString older = server.createDatabase(QStringLiteral("older"));
    {
        RecordStore store;
        QVERIFY2(store.open(older), qPrintable(store.error()));
        LogSync sync(store, dir.filePath("A.jsonl"), QStringLiteral("host-A"));
        QVERIFY(sync.begin() && sync.step(1000));
    }
    const QString firstChannels
        = RecordStore::schemaStep(1).filter("CREATE TABLE qc_channel").value(0);
    server.query(
        "older",
        "DROP VIEW qc_attempt_yield; DROP VIEW qc_run; DROP VIEW qc_channel; " + firstChannels
            + "; "
              "ALTER TABLE qc_record ALTER COLUMN record TYPE jsonb USING record::jsonb, "
              "DROP COLUMN capture; "
              "DROP TABLE qc_day_yield, qc_day_failure, qc_day_channel, qc_day_bin, qc_board, "
              "qc_board_day; DROP INDEX qc_record_test_judged; "
              "CREATE INDEX qc_record_test_judged ON qc_record (test, judged); "
              "ALTER TABLE qc_record DROP COLUMN time_written; "
              "ALTER TABLE qc_record DROP COLUMN station, DROP COLUMN fixture, "
              "DROP COLUMN operator; DELETE FROM envviewer_schema WHERE version > 2");
    QCOMPARE(server.query("older", "SELECT max(version) FROM envviewer_schema").trimmed(),
             QStringLiteral("2"));
    RecordStore store;
    QVERIFY2(store.open(older), qPrintable(store.error()));
    QCOMPARE(server.query("older", "SELECT max(version) FROM envviewer_schema").trimmed(),
             QString::number(RecordStore::schemaVersion));
    QCOMPARE(server
                 .query("older",
                        "SELECT count(*), count(DISTINCT station), min(station) "
                        "FROM qc_record")
                 .trimmed(),
             QStringLiteral("8|1|station-A"));
}

void TestFleetRuns::syncRefusesSerialsNoStationGives()
{
    // The sync checks a serial as the dialog and envtool qc do.
    const QString path = dir.filePath("C.jsonl");
    QFile log(path);
    QVERIFY(log.open(QIODevice::WriteOnly));
    QcRecord r;
    r.time = "2026-03-02T10:00:00.000+01:00";
    r.host = "host-C";
    r.test = "V";
    r.verdict = "Pass";
    for (const QString &serial : {QStringLiteral("SN 1"), QStringLiteral("SN-2")}) {
        r.id = qcNewRecordId();
        r.serial = serial;
        log.write(r.toLine());
    }
    log.close();
    const QString database = server.createDatabase(QStringLiteral("refusing"));
    RecordStore store;
    QVERIFY2(store.open(database), qPrintable(store.error()));
    LogSync sync(store, path, "host-C");
    QStringList warnings;
    sync.warn = [&](const QString &line) { warnings << line; };
    QVERIFY(sync.begin() && sync.step(1000));
    QCOMPARE(warnings,
             QStringList {"line 1 of " + path + " is no record (" + qcSerialProblem("SN 1")
                          + "); skipped"});
    QCOMPARE(server.query("refusing", "SELECT string_agg(serial, ',') FROM qc_record").trimmed(),
             QStringLiteral("SN-2"));
}

QTEST_GUILESS_MAIN(TestFleetRuns)
#include "tst_fleetruns.moc"
