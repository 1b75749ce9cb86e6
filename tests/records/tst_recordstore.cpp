// Test records sent to a PostgreSQL server of the test's own by `envtool sync`, and summarised
// by `envtool results` from the log and from the database.
#include "envtool/envtoolrunner.h"
#include "link/streamencoder.h"
#include "records/databaserecordsource.h"
#include "records/logsync.h"
#include "records/record.h"
#include "records/recordstore.h"
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

// Three days of two tests: channels whose window changes, one without samples, one kept before
// windows were, bounds inside and outside the window under both counting rules, retested
// boards, and more runs than a chart shows.
QByteArray capabilityLog()
{
    QByteArray lines;
    const QDateTime start
        = QDateTime::fromString("2026-03-01T06:00:00.000+01:00", Qt::ISODateWithMs);
    for (int i = 0; i < 640; ++i) {
        QcRecord r;
        r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.judged = start.addSecs(i * 400);
        r.time = qcRecordTime(r.judged);
        r.program = "envtool";
        r.rules = i % 4 ? "envviewer_qc" : "envviewer";
        r.host = i % 3 ? "h1" : "h2";
        r.test = i % 5 ? "Board A" : "Board B";
        r.serial = QStringLiteral("S%1").arg(i / 2);
        r.verdict = i % 7 ? "Pass" : "Fail";
        if (!r.passed())
            r.failures = QStringList {"Channel 1 Fail"};
        for (int channel = 0; channel < 4; ++channel) {
            QcRecordChannel c;
            c.channel = channel;
            c.need = 10;
            c.samples = channel == 2 && i % 9 == 0 ? 0 : 40 + i % 13;
            c.good = int(*c.samples) - i % 3;
            const double width = channel == 1 && i > 400 ? 8 : 10;
            if (channel != 3 || i % 2)
                c.window = QcRecordWindow {-width, width, 1e6, 1e6 + 400};
            if (*c.samples > 0) {
                const double mx = std::sin(i * 0.37 + channel) * 4, sx = 1 + (i % 5) * 0.25;
                const double my = 1e6 + 200 + std::cos(i * 0.11) * 50, sy = 7 + i % 3;
                c.x = {mx - 2 * sx, mx + (i % 11 ? 2 : 6) * sx, mx, sx};
                c.y = {my - 2 * sy, my + 2 * sy, my, sy};
            }
            r.channels.append(c);
        }
        lines += r.toLine();
    }
    return lines;
}

// Everything a report shows of its tests, as text; spreads to nine digits, which the log's
// running merge and the database's sums share.
QString describe(const QList<ReportTest> &tests)
{
    QStringList out;
    const auto number = [](double v) { return QString::number(v, 'g', 9); };
    const auto optional = [&](std::optional<double> v) { return v ? number(*v) : QString("-"); };
    const auto yields = [&](const YieldRow &y) {
        QStringList failures;
        for (auto f = y.failures.begin(); f != y.failures.end(); ++f)
            failures << QStringLiteral("%1=%2").arg(f.key()).arg(f.value());
        failures.sort();
        return QStringLiteral("%1 %2 runs %3 passes %4 %5..%6 boards %7 %8 %9 %10 %11 [%12]")
            .arg(y.test, y.group)
            .arg(y.runs)
            .arg(y.passes)
            .arg(y.firstTime, y.lastTime)
            .arg(y.boards)
            .arg(y.firstPasses)
            .arg(y.secondPasses)
            .arg(y.thirdPasses)
            .arg(y.finalPasses)
            .arg(failures.join(','));
    };
    const auto window = [&](const QcRecordWindow &w) {
        return QStringList {number(w.xMin), number(w.xMax), number(w.yMin), number(w.yMax)}.join(
            ' ');
    };
    const auto spread = [&](const AxisSpread &a) {
        return QStringLiteral("%1 runs %2 samples mean %3 within %4 overall %5")
            .arg(a.runs)
            .arg(a.samples)
            .arg(number(a.mean), optional(a.withinSd()), optional(a.overallSd()));
    };
    for (const ReportTest &t : tests) {
        out << "test " + t.test << "total " + yields(t.total);
        for (const YieldRow &day : t.days)
            out << "day " + yields(day);
        out << QStringLiteral("rules %1 of %2").arg(t.rules, t.rulesId);
        for (const QcRecord &failed : t.latestFailed)
            out << "failed " + failed.id;
        for (const ReportChannel &c : t.channels) {
            out << QStringLiteral("channel %1 window %2%3 latest %4 %5 runs %6")
                       .arg(c.channel)
                       .arg(window(c.window), c.windowsDiffer ? " (differs)" : "",
                            c.latest.toUTC().toString(Qt::ISODateWithMs), c.latestId)
                       .arg(c.meanRuns)
                << "x " + spread(c.x) << "y " + spread(c.y)
                << QStringLiteral("outside %1 %2 %3")
                       .arg(c.outside.runs)
                       .arg(c.outside.samples)
                       .arg(c.outside.outside);
            QStringList bins;
            for (const WindowBins &b : c.bins) {
                QStringList counts;
                for (int i = 0; i < histogramBins; ++i)
                    counts << QString::number(b.x[i]) + '/' + QString::number(b.y[i]);
                bins << "bins " + window(b.window) + ": " + counts.join(' ');
            }
            bins.sort();
            out << bins << QStringLiteral("drift %1 points").arg(c.drift.size());
            for (const DriftPoint &p : c.drift)
                out << QStringLiteral("%1 %2 %3 %4")
                           .arg(p.judged.toUTC().toString(Qt::ISODateWithMs), p.id, number(p.x),
                                number(p.y));
        }
    }
    return out.join('\n');
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
    void overlongLineWaitsForItsEnd();
    void resumesAfterTheServerDies();
    void watchFollowsJudgements();
    void sameSummaryFromFileAndDatabase_data();
    void sameSummaryFromFileAndDatabase();
    void sameReportFromFileAndDatabase();
    void sameCapabilityFromFileAndDatabase_data();
    void sameCapabilityFromFileAndDatabase();
    void migratesFromTheFirstVersion();

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
        << QStringList {"envtool sync: line 3 of %A is no record (no JSON: illegal value); "
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

// A line too long for any record, still being written: the sync waits for its end, then passes
// it over and goes on.
void TestRecordStore::overlongLineWaitsForItsEnd()
{
    QVERIFY(freshDatabase());
    const QString log = path("overlong.jsonl");
    QVERIFY(appendFile(log,
                       recordLine("2026-03-01T10:00:00.000Z", "Board A", true, "S1")
                           + QByteArray(QcRecordLimits::lineBytes + 10, 'x')));
    ToolResult synced = sync(log);
    QCOMPARE(synced.exitCode, 0);
    QCOMPARE(synced.errLines(), QStringList());
    QVERIFY(appendFile(log, "x\n" + recordLine("2026-03-01T11:00:00.000Z", "Board A", true, "S2")));
    synced = sync(log);
    QCOMPARE(synced.errLines(),
             QStringList {QStringLiteral("envtool sync: line 2 of %1 is no record (longer than "
                                         "%2 bytes); skipped")
                              .arg(log)
                              .arg(QcRecordLimits::lineBytes)});
    QCOMPARE(count("SELECT count(*) FROM qc_record"), 2);
    QCOMPARE(count("SELECT sum(synced_bytes) FROM qc_sync_state"), QFileInfo(log).size());
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

void TestRecordStore::sameCapabilityFromFileAndDatabase_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<QString>("since");
    QTest::newRow("every run") << QString() << QString();
    QTest::newRow("a label") << "Board A" << QString();
    // In the middle of the second day: the day is cut, and its runs before are left out.
    QTest::newRow("since a time within a day") << QString() << "2026-03-02T07:30:00.000Z";
    QTest::newRow("a label since before every run") << "Board B"
                                                    << "2026-02-01T00:00:00.000Z";
    QTest::newRow("since after every run") << QString() << "2026-04-01T00:00:00.000Z";
}

// The report's figures (yields, capability, histograms, drift, failed runs) from a log and from
// the database's summaries of it.
void TestRecordStore::sameCapabilityFromFileAndDatabase()
{
    QFETCH(QString, test);
    QFETCH(QString, since);
    const QString log = path("capability.jsonl");
    static QString capabilityUrl;
    if (capabilityUrl.isEmpty()) {
        const QByteArray lines = capabilityLog();
        QVERIFY(appendFile(log, lines));
        // Its first half under another name first: the whole log's batches then hold records
        // the store has, and go through its comparison.
        const QString half = path("capability-half.jsonl");
        QVERIFY(appendFile(half, lines.left(lines.indexOf('\n', lines.size() / 2) + 1)));
        QVERIFY(freshDatabase());
        // In small batches, so that days, channels and boards are merged across batches.
        RecordStore store;
        QVERIFY2(store.open(url), qPrintable(store.error()));
        qint64 sent = 0;
        for (const QString &part : {half, log}) {
            LogSync batches(store, part, "h1");
            QVERIFY(batches.begin());
            do
                QVERIFY2(batches.step(37), qPrintable(batches.error()));
            while (!batches.atEnd());
            sent += batches.sent();
        }
        QCOMPARE(sent, 640);
        capabilityUrl = url;
    }
    YieldQuery query;
    query.test = test;
    query.since = QDateTime::fromString(since, Qt::ISODateWithMs);
    QList<ReportTest> fromFile, fromDatabase;
    LogRecordSource file(log);
    DatabaseRecordSource database(capabilityUrl);
    QVERIFY2(file.report(query, &fromFile), qPrintable(file.error()));
    QVERIFY2(database.report(query, &fromDatabase), qPrintable(database.error()));
    QCOMPARE(describe(fromDatabase), describe(fromFile));
    if (since.isEmpty()) {
        // The chart keeps the latest runs only; channel 1's window changed.
        const ReportChannel &changed = fromFile.first().channels.value(1);
        QCOMPARE(changed.drift.size(), ReportChannel::driftRunsShown);
        QVERIFY(changed.windowsDiffer);
        QCOMPARE(changed.bins.size(), 2);
    }
}

// A database made by the first version's schema, holding records as that version stored them,
// keeps every record on migration and gets the summaries of all of them.
void TestRecordStore::migratesFromTheFirstVersion()
{
    const QString log = path("migrated.jsonl");
    QVERIFY(appendFile(log, capabilityLog()));
    QVERIFY(freshDatabase());
    QCOMPARE(sync(log).exitCode, 0);
    const QString current = name;
    QVERIFY(freshDatabase());
    QStringList first = RecordStore::schemaStep(1);
    first << "CREATE TABLE envviewer_schema (version integer NOT NULL)"
          << "INSERT INTO envviewer_schema VALUES (1)";
    for (const QString &statement : first)
        QVERIFY(server.query(name, statement + "; SELECT 'done'").trimmed().endsWith("done"));
    // What the first version wrote of each record and channel.
    const QString records = "id, record, judged, judged_day, host, program, software, test, "
                            "serial, verdict, plan_sha256, failures";
    const QString channels = "record_id, channel, good, need, samples, x_low, x_high, y_low, "
                             "y_high, x_min, x_max, x_mean, x_sd, y_min, y_max, y_mean, y_sd";
    // psql may run as the server's user: the rows pass through a folder it can write.
    QTemporaryDir transfer;
    QVERIFY(QFile::setPermissions(transfer.path(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                      | QFileDevice::WriteOther | QFileDevice::ExeOther));
    for (const auto &[table, columns] :
         {std::pair {QString("qc_record"), records}, std::pair {QString("qc_channel"), channels}}) {
        const QString rows = transfer.filePath(table + ".copy");
        server.query(
            current,
            QStringLiteral("\\copy (SELECT %1 FROM %2) TO '%3'").arg(columns, table, rows));
        server.query(name, QStringLiteral("\\copy %1 (%2) FROM '%3'").arg(table, columns, rows));
    }
    QCOMPARE(count("SELECT count(*) FROM qc_record"), 640);
    QList<ReportTest> fromFile, migrated;
    QVERIFY(LogRecordSource(log).report({}, &fromFile));
    DatabaseRecordSource database(url);
    QVERIFY2(database.report({}, &migrated), qPrintable(database.error()));
    QCOMPARE(count("SELECT max(version) FROM envviewer_schema"), RecordStore::schemaVersion);
    QCOMPARE(count("SELECT count(*) FROM qc_record WHERE time_written = record::jsonb->>'time'"),
             640);
    QCOMPARE(count("SELECT count(*) FROM qc_channel"), 640 * 4);
    // The outside counts and bins filled by the migration equal those the writer sends.
    QCOMPARE(server.query(name, "SELECT sum(outside), sum(x_bin), sum(y_bin) FROM qc_channel"),
             server.query(current, "SELECT sum(outside), sum(x_bin), sum(y_bin) FROM qc_channel"));
    QCOMPARE(describe(migrated), describe(fromFile));
}

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
