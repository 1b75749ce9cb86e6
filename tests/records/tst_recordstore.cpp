// Test records sent to a PostgreSQL server of the test's own by `envtool sync`, and summarised
// by `envtool results` from the log and from the database.
#include "envtool/envtoolrunner.h"
#include "link/streamencoder.h"
#include "records/record.h"
#include "support/postgresserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>

namespace {

QByteArray recordLine(const QString &time, const QString &test, bool passed,
                      const QString &serial = QString(), const QString &host = "h1",
                      const QStringList &failures = {}, bool withId = true)
{
    QcRecord r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.time = time;
    r.program = "envtool";
    r.host = host;
    r.test = test;
    r.verdict = passed ? "Pass" : "Fail";
    r.failures = failures;
    r.serial = serial;
    QcRecordChannel channel;
    channel.channel = 3;
    channel.samples = 4;
    channel.window = QcRecordWindow {-5, 5, 200, 1500};
    channel.x = {-2.0, 3.0, 0.5, 1.5};
    r.channels = {channel};
    QJsonObject json = r.toJson();
    if (!withId)
        json.remove("id"); // as logged before records had one
    return QJsonDocument(json).toJson(QJsonDocument::Compact) + '\n';
}

bool appendFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
}

} // namespace

class TestRecordStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { QVERIFY2(server.start(), qPrintable(server.whyNot())); }
    void syncsEachRecordOnce_data();
    void syncsEachRecordOnce();
    void resumesAfterTheServerDies();
    void watchFollowsJudgements();
    void sameSummaryFromFileAndDatabase_data();
    void sameSummaryFromFileAndDatabase();
    void sameReportFromFileAndDatabase();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    // A new database for each case, its URL kept in `url` and its name in `name`.
    bool freshDatabase();
    qint64 count(const QString &sql) { return server.query(name, sql).toLongLong(); }
    ToolResult sync(const QString &log, const QStringList &more = {})
    {
        return runTool(QStringList {"sync", "--log", log, "--db", url} + more, {}, 120000);
    }

    PostgresServer server;
    QTemporaryDir dir;
    QString url;
    QString name;
    int databases = 0;
};

void TestRecordStore::initTestCase()
{
    QVERIFY(dir.isValid());
    if (!server.start())
        QSKIP(qPrintable("no PostgreSQL server for the record store: " + server.whyNot()));
}

bool TestRecordStore::freshDatabase()
{
    name = QStringLiteral("records%1").arg(++databases);
    url = server.createDatabase(name);
    return !url.isEmpty();
}

void TestRecordStore::syncsEachRecordOnce_data()
{
    QTest::addColumn<QByteArray>("stationA"); // synced twice, with `later` appended between
    QTest::addColumn<QByteArray>("stationB");
    QTest::addColumn<QByteArray>("later");
    QTest::addColumn<int>("first"); // records after the first round
    QTest::addColumn<int>("second"); // after the second
    QTest::addColumn<QStringList>("warnings"); // the first round's, %A for station A's log

    const QByteArray a1 = recordLine("2026-03-01T10:00:00.000+01:00", "Board A", true, "S1");
    const QByteArray legacy
        = recordLine("2026-03-01T10:01:00.000+01:00", "Board A", false, "S2", "h1", {}, false);
    const QByteArray b1 = recordLine("2026-03-01T11:00:00.000+01:00", "Board A", true, "S3", "h2");
    QTest::newRow("two stations, old records without an id")
        << a1 + legacy << b1 << QByteArray() << 3 << 3 << QStringList();
    // The same id with other content, on the other station.
    QByteArray changed = a1;
    changed.replace("\"Pass\"", "\"Fail\"");
    QTest::newRow("conflict") << a1 << changed + b1 << QByteArray() << 2 << 2
                              << QStringList {"envtool sync: record "
                                              + QJsonDocument::fromJson(a1)["id"].toString()
                                              + " differs from the one the database holds; left "
                                                "as it is"};
    const QByteArray unfinished = b1.left(40);
    QTest::newRow("malformed, unknown version, unfinished")
        << "{\"version\":2,\"id\":\"x\"}\n" + a1 + "not a record\n\n" + legacy + unfinished
        << QByteArray() << b1.mid(40) << 2 << 3
        << QStringList {
               "envtool sync: line 3 of %A is no record (no JSON: illegal value); "
               "skipped",
               "envtool sync: skipped 1 record(s) of an unknown version in %A"};
}

// Two stations into one database; the second round sends only what came since, never twice.
void TestRecordStore::syncsEachRecordOnce()
{
    QFETCH(QByteArray, stationA);
    QFETCH(QByteArray, stationB);
    QFETCH(QByteArray, later);
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(QStringList, warnings);
    QVERIFY(freshDatabase());
    const QString logA = path(QString(QTest::currentDataTag()) + "-a.jsonl");
    const QString logB = path(QString(QTest::currentDataTag()) + "-b.jsonl");
    QVERIFY(appendFile(logA, stationA));
    QVERIFY(appendFile(logB, stationB));

    const ToolResult syncA = sync(logA);
    QCOMPARE(syncA.exitCode, 0);
    const ToolResult syncB = sync(logB);
    QCOMPARE(syncB.exitCode, 0);
    QCOMPARE(syncA.errLines() + syncB.errLines(), warnings.replaceInStrings("%A", logA));
    QCOMPARE(count("SELECT count(*) FROM qc_record"), first);

    QVERIFY(appendFile(logA, later));
    for (const QString &log : {logA, logB}) {
        const ToolResult again = sync(log);
        QCOMPARE(again.exitCode, 0);
        QCOMPARE(again.errLines(), QStringList());
    }
    QCOMPARE(count("SELECT count(*) FROM qc_record"), second);
    QCOMPARE(count("SELECT count(*) FROM qc_channel"), second);
    QCOMPARE(count("SELECT sum(synced_bytes) FROM qc_sync_state"),
             QFileInfo(logA).size() + QFileInfo(logB).size());

    // A log written anew under the same name is compared in full: still nothing twice.
    QFile::remove(logB);
    QVERIFY(appendFile(logB, stationA + stationB));
    QCOMPARE(sync(logB).exitCode, 0);
    QCOMPARE(count("SELECT count(*) FROM qc_record"), second);
}

// The server dies in the middle of a long sync: the sync says why in one line, and once the
// server is back the next one completes it, every record once and each whole.
void TestRecordStore::resumesAfterTheServerDies()
{
    QVERIFY(freshDatabase());
    const int records = 60000;
    QByteArray log;
    for (int i = 0; i < records; ++i)
        log += recordLine("2026-03-01T10:00:00.000+01:00", "Board A", i % 3, QString::number(i));
    QVERIFY(appendFile(path("long.jsonl"), log));

    QProcess first;
    first.start(ENVTOOL_PATH, {"sync", "--log", path("long.jsonl"), "--db", url});
    QTRY_VERIFY_WITH_TIMEOUT(count("SELECT count(*) FROM qc_record") > 0, 60000);
    QVERIFY(server.stop(true));
    QVERIFY(first.waitForFinished(30000));
    QCOMPARE(first.exitCode(), 2);
    const QByteArray errText = first.readAllStandardError();
    const QList<QByteArray> err = errText.split('\n');
    QVERIFY2(err.size() == 2, errText.constData()); // one line and its end
    QVERIFY2(err.first().startsWith("envtool sync: database error "), err.first().constData());

    QVERIFY2(server.start(), qPrintable(server.whyNot()));
    const qint64 before = count("SELECT count(*) FROM qc_record");
    QVERIFY(before > 0 && before < records);
    QCOMPARE(count("SELECT count(*) FROM qc_channel"), before); // no record half-written
    const ToolResult second = sync(path("long.jsonl"));
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(count("SELECT count(*) FROM qc_record"), records);
    QCOMPARE(count("SELECT count(*) FROM qc_channel"), records);
    QCOMPARE(count("SELECT count(DISTINCT serial) FROM qc_record"), records);
}

// `sync --watch` beside `envtool qc` judging: each record arrives within moments, and records
// judged while the server is down arrive once it is back.
void TestRecordStore::watchFollowsJudgements()
{
    QVERIFY(freshDatabase());
    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < 60; ++f) {
        QVector<StreamPoint> points;
        for (int i = 0; i < 27; ++i)
            points.append({qint16(f % 7 - 3), qint16(300 + i)});
        encoder.appendFrame(points, 0);
    }
    QVERIFY(appendFile(path("frames.bin"), encoder.takeBytes()));
    const QString log = path("watched.jsonl");
    const auto judge = [&](const QString &serial) {
        return runTool({"qc", "--plan", EXAMPLE_PLAN, "--test", "Board A", "--capture",
                        path("frames.bin"), "--log", log, "--serial", serial})
            .exitCode;
    };

    QProcess watch;
    watch.start(ENVTOOL_PATH, {"sync", "--watch", "--log", log, "--db", url});
    QVERIFY(watch.waitForStarted());
    QCOMPARE(judge("SN-1"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(count("SELECT count(*) FROM qc_record"), 1, 2500);
    // The samples the check saw, channel by channel: x is f % 7 - 3 over 60 frames.
    QCOMPARE(server.query(name,
                          "SELECT channel, samples, x_min, x_max, x_low, x_high, y_mean "
                          "FROM qc_channel ORDER BY channel"),
             "0|60|-3|3|-100|100|300\n26|60|-3|3|-80|80|326");

    QVERIFY(server.stop(true));
    QCOMPARE(judge("SN-2"), 0);
    QCOMPARE(judge("SN-3"), 0);
    QVERIFY(server.start());
    QTRY_COMPARE_WITH_TIMEOUT(count("SELECT count(*) FROM qc_record"), 3, 20000);
    QCOMPARE(server.query(name, "SELECT string_agg(serial, ',' ORDER BY serial) FROM qc_record"),
             "SN-1,SN-2,SN-3");

    ::kill(pid_t(watch.processId()), SIGTERM);
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    const QByteArray watchErr = watch.readAllStandardError();
    QVERIFY2(watchErr.startsWith("envtool sync: database error"), watchErr.constData());
    // One line per batch sent, which is what its journal shows.
    int sent = 0;
    const QRegularExpression batch(
        R"(^sent (\d+) record\(s\), 0 already there; \d+\.\d s behind the log$)");
    for (const QByteArray &line : watch.readAllStandardOutput().split('\n')) {
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch m = batch.match(QString::fromUtf8(line));
        QVERIFY2(m.hasMatch(), line.constData());
        sent += m.captured(1).toInt();
    }
    QCOMPARE(sent, 3);
}

void TestRecordStore::sameSummaryFromFileAndDatabase_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("table") << QStringList();
    QTest::newRow("by host") << QStringList {"--by", "host"};
    QTest::newRow("by day, csv") << QStringList {"--by", "day", "--format", "csv"};
    QTest::newRow("json of a label since a time")
        << QStringList {"--format", "json", "--label", "Board A", "--since", "2026-03-01T09:00Z"};
    // The runs one by one, with each board's attempts across both hosts.
    QTest::newRow("runs of a board") << QStringList {"runs", "--serial", "S1"};
    QTest::newRow("runs failed at a station, csv")
        << QStringList {"runs", "--station", "h2", "--verdict", "Fail", "--format", "csv"};
    QTest::newRow("runs of a label until a time, json") << QStringList {"runs",
                                                                        "--format",
                                                                        "json",
                                                                        "--label",
                                                                        "Board A",
                                                                        "--until",
                                                                        "2026-03-01T22:00:00Z",
                                                                        "--since",
                                                                        "2026-03-01T09:00Z"};
}

// One fleet's log: retested boards, two stations, two days, times given with different offsets,
// two runs at the same instant, and a record logged twice and once more with other content.
void TestRecordStore::sameSummaryFromFileAndDatabase()
{
    QFETCH(QStringList, args);
    const QString log = path("fleet.jsonl");
    if (!QFileInfo::exists(log)) {
        QVERIFY(freshDatabase());
        const QStringList countFail {"Frame Count Fail"};
        const QByteArray first
            = recordLine("2026-03-01T10:00:00.000+01:00", "Board A", false, "S1", "h1", countFail);
        QByteArray changed = first; // the same id with another verdict: the first one counts
        changed.replace("\"Fail\"", "\"Pass\"");
        QVERIFY(appendFile(
            log,
            first + first + changed
                + recordLine("2026-03-01T09:30:00.000+00:00", "Board A", true, "S1", "h2")
                + recordLine("2026-03-01T08:59:00.000+00:00", "Board A", true, "S2", "h1")
                + recordLine("2026-03-02T00:30:00.000+02:00", "Board A", false, "S3", "h2",
                             {"Frame Count Fail", "Sample Count Fail : 4"})
                + recordLine("2026-03-01T22:00:00.000+00:00", "Board A", true, "S3", "h2")
                + recordLine("2026-03-02T08:00:00.000+00:00", "Board A", false, "", "h1", countFail)
                + recordLine("2026-03-02T08:00:00.000+00:00", "Board B", true, "S1", "h1")
                + recordLine("2026-03-02T08:00:00.000+00:00", "Board B", false, "S1", "h1")));
        QCOMPARE(sync(log).exitCode, 0);
    }
    const bool runs = args.value(0) == "runs";
    const QString command = runs ? QStringLiteral("runs") : QStringLiteral("results");
    if (runs)
        args.removeFirst();
    const ToolResult fromFile = runTool(QStringList {command, "--log", log} + args);
    const ToolResult fromDatabase = runTool(QStringList {command, "--db", url} + args);
    QCOMPARE(fromFile.exitCode, 0);
    QCOMPARE(fromDatabase.exitCode, 0);
    QCOMPARE(fromDatabase.err, QByteArray());
    QCOMPARE(fromDatabase.out, fromFile.out);
    if (args.isEmpty()) {
        // Board A: S1 failed first and passed last, S2 passed, S3 passed first (22:00 UTC) and
        // failed last; Board B's two runs at one instant are ordered by their ids.
        QVERIFY2(fromFile.outLines().value(1).contains(
                     QRegularExpression("^Board A +6 +3 +3 +50.0% +3 +66.7% +66.7% ")),
                 fromFile.out.constData());
    }
    if (runs && args.size() == 2) {
        // S1 failed on h1 and passed on h2, its second attempt; Board B counts on its own.
        QCOMPARE(fromFile.outLines().size(), 5);
        QVERIFY2(
            fromFile.outLines().value(2).contains(QRegularExpression(" h2 +Board A +S1 +2 +Pass")),
            fromFile.out.constData());
    }
}

// envtool report's page from that log and from the database alike, but for the line that names
// where the records came from and when the page was made.
void TestRecordStore::sameReportFromFileAndDatabase()
{
    const QString log = path("fleet.jsonl");
    QVERIFY(QFileInfo::exists(log));
    QStringList pages;
    for (const QStringList &source : {QStringList {"--log", log}, QStringList {"--db", url}}) {
        const ToolResult made = runTool(QStringList {"report", "-o", path("report.html")} + source);
        QCOMPARE(made.exitCode, 0);
        QFile page(path("report.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        pages << QString::fromUtf8(page.readAll())
                     .remove(QRegularExpression("<p>Records from .*?</p>"));
    }
    QVERIFY(pages.first().contains("<td>6</td><td>3</td><td>3</td><td>50.0%</td><td>3</td>"));
    QCOMPARE(pages.last(), pages.first());
}

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
