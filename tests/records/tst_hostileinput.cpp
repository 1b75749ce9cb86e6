// Hostile records, captures, database URLs and files against the record libraries: a poison
// record is skipped alike by every reader and never blocks the ones after it, a capture is used
// only as evidence, no password is shown, outputs are whole or untouched, files are the user's.
#include "common/files.h"
#include "records/capturefile.h"
#include "records/databaserecordsource.h"
#include "records/databaseurl.h"
#include "records/logsync.h"
#include "records/recordsettings.h"
#include "records/recordsource.h"
#include "records/reportdata.h"
#include "records/reporthtml.h"
#include "records/resultslog.h"
#include "support/postgresserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray goodLine(int n, const QString &host = QStringLiteral("station-1"))
{
    QcRecord r;
    r.id = QUuid::createUuidV5(QUuid(), QString::number(n)).toString(QUuid::WithoutBraces);
    r.time = QStringLiteral("2026-03-0%1T10:00:00.000+01:00").arg(n % 9 + 1);
    r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
    r.program = QStringLiteral("envtool");
    r.rules = QStringLiteral("qc");
    r.host = host;
    r.test = QStringLiteral("Board A");
    r.verdict = QStringLiteral("Fail");
    r.failures = QStringList {QStringLiteral("channel 1: too few good frames")};
    QcRecordChannel c;
    c.channel = 1;
    c.samples = 400;
    c.window = QcRecordWindow {-100, 100, -50, 50};
    c.x = {-3.0, 4.0, 0.5, 1.25};
    c.y = {-1.0, 2.0, 0.1, 0.5};
    r.channels = {c};
    return r.toLine();
}

QByteArray write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return bytes;
}

} // namespace

class TestHostileInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void poisonIsSkippedAlikeEverywhere_data();
    void poisonIsSkippedAlikeEverywhere();
    void refusedRecordIsSetAside();
    void schemaOneIsMigrated();
    void capturesAreEvidence_data();
    void capturesAreEvidence();
    void passwordsAreNeverShown_data();
    void passwordsAreNeverShown();
    void outputsAreWholeOrUntouched();
    void filesAreTheUsersAlone();
    void configurationNeverBlocks();

private:
    QString freshDatabase();

    QTemporaryDir dir;
    PostgresServer server;
    bool serverUp = false;
    int databases = 0;
};

void TestHostileInput::initTestCase()
{
    QVERIFY(dir.isValid());
    serverUp = server.start();
}

QString TestHostileInput::freshDatabase()
{
    return serverUp ? server.createDatabase(QStringLiteral("hostile%1").arg(++databases))
                    : QString();
}

void TestHostileInput::poisonIsSkippedAlikeEverywhere_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("accepted");
    const QByteArray good = goodLine(100);
    const auto with = [&](const char *from, const QByteArray &to) {
        return QByteArray(good).replace(from, to);
    };
    QTest::newRow("byte-order mark") << "\xEF\xBB\xBF" + good << true;
    QTest::newRow("raw TAB") << with("station-1", "station\t1") << false;
    QTest::newRow("NUL") << with("station-1", "station\\u00001") << false;
    QTest::newRow("escaped backslash, then u0000") << with("station-1", "station\\\\u0000") << true;
    QTest::newRow("lone surrogate") << with("station-1", "\\ud800") << false;
    QTest::newRow("high surrogate, then none") << with("station-1", "\\ud83dxude00") << false;
    QTest::newRow("surrogate pair") << with("station-1", "\\ud83d\\ude00") << true;
    QTest::newRow("not UTF-8") << with("station-1", "station\xC0\xAF") << false;
    QTest::newRow("a key twice") << with("\"rules\":\"qc\"", "\"rules\":[1],\"r\\u0075les\":\"qc\"")
                                 << false;
    QTest::newRow("samples 1e17") << with("400", "1e17") << true;
    QTest::newRow("samples 1e300") << with("400", "1e300") << false;
    QTest::newRow("samples 2^63") << with("400", "9223372036854775808") << false;
    QTest::newRow("samples 0.5") << with("400", "0.5") << false;
    QTest::newRow("mean 1e308") << with("\"mean\":0.5", "\"mean\":1e308") << false;
    QTest::newRow("mean 1e-400") << with("\"mean\":0.5", "\"mean\":1e-400") << false;
    // Below a double's normal range, which the database's view of the channels reads too.
    QTest::newRow("mean 1e-310") << with("\"mean\":0.5", "\"mean\":1e-310") << true;
    QTest::newRow("year 1 at +14:00")
        << with("2026-03-02T10:00:00.000+01:00", "0001-01-01T00:00:00.000+14:00") << false;
    QTest::newRow("year 9999 at -14:00")
        << with("2026-03-02T10:00:00.000+01:00", "9999-12-31T23:00:00.000-14:00") << false;
    QTest::newRow("300-byte host") << with("station-1", QByteArray(300, 'h')) << false;
    QTest::newRow("2 MB host") << with("station-1", QByteArray(2 << 20, 'h')) << false;
    // Longer than what a sync reads at once.
    QTest::newRow("9 MB host") << with("station-1", QByteArray(9 << 20, 'h')) << false;
}

// Each poison between two good records: the log's readers, sync into PostgreSQL and the report
// take the good ones and skip the poison alike, with its line and reason.
void TestHostileInput::poisonIsSkippedAlikeEverywhere()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, accepted);
    const QString log
        = dir.filePath(QStringLiteral("poison-%1.jsonl").arg(QTest::currentDataTag()));
    write(log, goodLine(1) + line + goodLine(3));
    const int expected = 2 + accepted;

    LogRecordSource source(log);
    QStringList warnings;
    source.warn = [&](const QString &w) { warnings << w; };
    ReportData report {YieldQuery()};
    QVERIFY(source.records({}, [&](const QcRecord &r) { report.add(r); }));
    report.setYields(report.totals(), report.days());
    QCOMPARE(report.totals().value(0).runs, expected);
    QCOMPARE(warnings.filter(QStringLiteral("line 2 of ")).size(), accepted ? 0 : 1);
    ReportPage page;
    page.tests = report.tests();
    QVERIFY(reportHtml(page).contains(QStringLiteral("<td>%1</td>").arg(expected).toUtf8()));

    const QString url = freshDatabase();
    if (url.isEmpty())
        QSKIP(qPrintable("no PostgreSQL server: " + server.whyNot()));
    RecordStore store;
    QVERIFY2(store.open(url), qPrintable(store.error()));
    LogSync sync(store, log, QStringLiteral("station-1"));
    QStringList syncWarnings;
    sync.warn = [&](const QString &w) { syncWarnings << w; };
    QVERIFY2(sync.begin(), qPrintable(sync.error()));
    for (int steps = 0; steps < 5 && !sync.atEnd(); ++steps)
        QVERIFY2(sync.step(100), qPrintable(sync.error()));
    QCOMPARE(sync.sent(), qint64(expected));
    QCOMPARE(sync.skipped(), qint64(!accepted));
    QCOMPARE(sync.refused(), qint64(0));
    if (!accepted)
        QCOMPARE(syncWarnings.value(0).section(QLatin1Char('('), 1),
                 warnings.value(0).section(QLatin1Char('('), 1));
    // The store's report and its view of the channels read what it holds, whatever it holds.
    QList<ReportTest> fromDatabase;
    DatabaseRecordSource database(url);
    QVERIFY2(database.report({}, &fromDatabase), qPrintable(database.error()));
    QCOMPARE(fromDatabase.value(0).total.runs, expected);
    QVERIFY(!server
                 .query(QStringLiteral("hostile%1").arg(databases),
                        "SELECT count(*) FROM qc_channel WHERE x_mean IS NOT NULL")
                 .trimmed()
                 .isEmpty());
}

// A record the store refuses (here by a rule of the database's own) is set aside with its line,
// bytes and reason; the records after it arrive, and it is tried again only when asked.
void TestHostileInput::refusedRecordIsSetAside()
{
    const QString url = freshDatabase();
    if (url.isEmpty())
        QSKIP(qPrintable("no PostgreSQL server: " + server.whyNot()));
    const QString name = QStringLiteral("hostile%1").arg(databases);
    RecordStore store;
    QVERIFY2(store.open(url), qPrintable(store.error()));
    server.query(name,
                 "ALTER TABLE qc_record ADD CONSTRAINT no_refuse CHECK (host <> 'refuse-me')");
    const QString log = dir.filePath(QStringLiteral("refused.jsonl"));
    const QByteArray refused = goodLine(2, QStringLiteral("refuse-me"));
    write(log, goodLine(1) + refused + goodLine(3));
    LogSync sync(store, log, QStringLiteral("station-1"));
    QStringList warnings;
    sync.warn = [&](const QString &w) { warnings << w; };
    QVERIFY(sync.begin() && sync.step(100));
    QCOMPARE(sync.sent(), qint64(2));
    QCOMPARE(sync.refused(), qint64(1));
    QVERIFY2(warnings.value(0).contains(QStringLiteral("line 2 of %1 was refused by the database "
                                                       "(")
                                            .arg(log))
                 && warnings.value(0).contains(QStringLiteral("no_refuse")),
             qPrintable(warnings.join('\n')));
    QCOMPARE(server.query(name,
                          "SELECT line || ' ' || (convert_from(bytes, 'UTF8') || E'\\n' = "
                          "'" + QString::fromUtf8(refused).replace("'", "''")
                              + "') FROM qc_refused"),
             QStringLiteral("2 true"));

    // A later sync passes it by; asked to, it tries again.
    write(log, goodLine(1) + refused + goodLine(3) + goodLine(4));
    QVERIFY(sync.begin() && sync.step(100));
    QCOMPARE(sync.sent(), qint64(3));
    QCOMPARE(warnings.size(), 1);
    server.query(name, "ALTER TABLE qc_record DROP CONSTRAINT no_refuse");
    int added = 0;
    QVERIFY2(sync.retryRefused(&added), qPrintable(sync.error()));
    QCOMPARE(added, 1);
    QCOMPARE(server.query(name,
                          "SELECT (SELECT count(*) FROM qc_record) || ' ' || "
                          "(SELECT count(*) FROM qc_refused)"),
             QStringLiteral("4 0"));
}

// A database of schema version 1 takes the table of refused records and keeps every record.
void TestHostileInput::schemaOneIsMigrated()
{
    const QString url = freshDatabase();
    if (url.isEmpty())
        QSKIP(qPrintable("no PostgreSQL server: " + server.whyNot()));
    const QString name = QStringLiteral("hostile%1").arg(databases);
    {
        RecordStore store;
        QVERIFY(store.open(url));
        const QString log = dir.filePath(QStringLiteral("migrated.jsonl"));
        write(log, goodLine(1) + goodLine(2));
        LogSync sync(store, log, QStringLiteral("station-1"));
        QVERIFY(sync.begin() && sync.step(100));
    }
    // Back to what version 1 made: without the refused records, the stations of version 3 and
    // the summaries of version 4.
    server.query(name,
                 "DROP TABLE qc_day_yield, qc_day_failure, qc_day_channel, qc_day_bin, qc_board, "
                 "qc_board_day; ALTER TABLE qc_channel DROP COLUMN outside, DROP COLUMN x_bin, "
                 "DROP COLUMN y_bin; DROP INDEX qc_record_test_judged; "
                 "CREATE INDEX qc_record_test_judged ON qc_record (test, judged); "
                 "DROP TABLE qc_refused; DROP VIEW qc_attempt_yield; DROP VIEW qc_run; "
                 "ALTER TABLE qc_record DROP COLUMN time_written; "
                 "ALTER TABLE qc_record DROP COLUMN station, DROP COLUMN fixture, "
                 "DROP COLUMN operator; DELETE FROM envviewer_schema; "
                 "INSERT INTO envviewer_schema VALUES (1)");
    RecordStore store;
    QVERIFY2(store.open(url), qPrintable(store.error()));
    QCOMPARE(server.query(name,
                          "SELECT max(version) || ' ' || (SELECT count(*) FROM qc_record) || "
                          "' ' || (to_regclass('qc_refused') IS NOT NULL) FROM "
                          "envviewer_schema"),
             QStringLiteral("%1 2 true").arg(RecordStore::schemaVersion));
}

void TestHostileInput::capturesAreEvidence_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("bytes"); // -1: the file's own size
    QTest::addColumn<bool>("given");
    QTest::addColumn<QString>("unavailable"); // empty: opened

    QTest::newRow("in the folder") << "captures/good.session" << qint64(-1) << false << "";
    QTest::newRow("absolute, in the folder")
        << "@/captures/good.session" << qint64(-1) << false << "";
    QTest::newRow("/dev/zero") << "/dev/zero" << qint64(100) << false << "it is not in";
    QTest::newRow("/dev/zero, given")
        << "/dev/zero" << qint64(100) << true << "it is no regular file";
    QTest::newRow("a FIFO") << "captures/fifo" << qint64(100) << false << "it is no regular file";
    QTest::newRow("2 GB sparse") << "captures/sparse" << qint64(1000) << false
                                 << "it is larger than the 1000 bytes";
    QTest::newRow("wrong sha256") << "captures/other.session" << qint64(-1) << false
                                  << "its sha256 is not the one";
    QTest::newRow("outside the folder")
        << "outside.session" << qint64(-1) << false << "it is not in";
    QTest::newRow("outside, given") << "outside.session" << qint64(-1) << true << "";
    QTest::newRow("link out of the folder")
        << "captures/link" << qint64(-1) << false << "it is not in";
    QTest::newRow("missing") << "captures/none" << qint64(1) << false << "No such file";
}

// What a record names is opened only as the capture it vouches for, and never hangs.
void TestHostileInput::capturesAreEvidence()
{
    QFETCH(QString, path);
    QFETCH(qint64, bytes);
    QFETCH(bool, given);
    QFETCH(QString, unavailable);
    const QString data = dir.filePath(QStringLiteral("station"));
    const QString folder = data + QStringLiteral("/captures");
    const QByteArray content = "envtool session 1\n";
    if (!QFile::exists(folder)) {
        QVERIFY(QDir().mkpath(folder));
        write(folder + "/good.session", content);
        write(folder + "/other.session", "envtool session 1\n" + QByteArray(10, 'x'));
        write(data + "/outside.session", content);
        QCOMPARE(::mkfifo(QFile::encodeName(folder + "/fifo").constData(), 0600), 0);
        QFile sparse(folder + "/sparse");
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(2) << 30));
        QVERIFY(QFile::link(data + "/outside.session", folder + "/link"));
    }
    path.replace(QLatin1Char('@'), data);
    const QString absolute = QDir(data).absoluteFilePath(path);
    QcRecord record;
    record.capture = QcRecordCapture {
        path,
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()),
        bytes < 0 ? QFileInfo(absolute).size() : bytes};
    const QcCaptureEvidence evidence
        = qcOpenRecordCapture(record, folder, given ? QStringList {absolute} : QStringList());
    QVERIFY2(unavailable.isEmpty() ? evidence.unavailable.isEmpty()
                                   : evidence.unavailable.startsWith(unavailable),
             qPrintable(evidence.unavailable));
    QCOMPARE(bool(evidence.file), unavailable.isEmpty());
    if (evidence.file)
        QCOMPARE(evidence.file->readAll(), content);

    // The report names the reason for that run and goes on.
    QcRecord failed = record;
    failed.verdict = QStringLiteral("Fail");
    failed.test = QStringLiteral("A");
    ReportTest test;
    test.latestFailed = {failed};
    ReportPage page;
    page.tests = {test};
    page.lastFramePng = [&](const QcRecord &run, QString *why) {
        *why = qcOpenRecordCapture(run, folder).unavailable;
        return QByteArray();
    };
    if (!unavailable.isEmpty() && !given)
        QVERIFY(reportHtml(page).contains("capture unavailable: " + unavailable.toUtf8()));
}

void TestHostileInput::passwordsAreNeverShown_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("shown");
    QTest::newRow("user and password") << "postgresql://qc:S3cretPw@db/fleet"
                                       << "postgresql://qc:***@db/fleet";
    QTest::newRow("':' in the password") << "postgresql://qc:S3c:ret:Pw@db:5433/fleet"
                                         << "postgresql://qc:***@db:5433/fleet";
    QTest::newRow("'@' and '/' in the password") << "postgres://qc:S3c@r/etPw@db/fleet"
                                                 << "postgres://qc:***@db/fleet";
    QTest::newRow("encoded") << "postgresql://qc:S3cret%40Pw@db/fleet"
                             << "postgresql://qc:***@db/fleet";
    QTest::newRow("?password=") << "postgresql://qc@db/fleet?sslmode=require&password=S3cretPw"
                                << "postgresql://qc:***@db/fleet?sslmode=require";
    QTest::newRow("?sslpassword=") << "postgresql://qc@db/fleet?sslpassword=S3cretPw"
                                   << "postgresql://qc@db/fleet?sslpassword=***";
    QTest::newRow("socket folder") << "postgresql://qc:S3cretPw@/fleet?host=/run/postgresql"
                                   << "postgresql://qc:***@/fleet?host=/run/postgresql";
    QTest::newRow("?host= of no name") << "postgresql://qc:S3cretPw@db/f?host=a:b@c"
                                       << "postgresql://qc:***@/f?host=a%3Ab%40c";
    QTest::newRow("bad port") << "postgresql://qc:S3cretPw@db:x/fleet"
                              << "postgresql://db (in part)";
    QTest::newRow("another scheme") << "mysql://qc:S3cretPw@db/fleet"
                                    << "mysql://db (in part)";
    QTest::newRow("no scheme") << "qc:S3cretPw@db"
                               << "the --db URL";
    QTest::newRow("libpq keywords") << "host=db password=S3cretPw"
                                    << "the --db URL";
    QTest::newRow("';' in a key") << "postgresql://qc:S3cretPw@db/f?options=a;password=S3cretPw"
                                  << "postgresql://db (in part)";
}

// Whatever the URL looks like, neither its redaction nor the store's error shows the password.
void TestHostileInput::passwordsAreNeverShown()
{
    QFETCH(QString, url);
    QFETCH(QString, shown);
    QCOMPARE(redactedDatabaseUrl(url), shown);
    if (!DatabaseUrl::parse(url).problem.isEmpty()) {
        RecordStore store;
        QVERIFY(!store.open(url));
        QVERIFY2(store.error().startsWith(shown) && !store.error().contains("S3c"),
                 qPrintable(store.error()));
    }
}

// On a full file system the old output stays as it was, nothing is left beside it, and the
// error names the system's reason.
void TestHostileInput::outputsAreWholeOrUntouched()
{
    QString error;
    QVERIFY(!writeFileAtomically(QStringLiteral("/proc/version"), "x", &error));
    QVERIFY2(error.startsWith("cannot write /proc/version: ") && !error.contains("Unknown"),
             qPrintable(error));
    // A device is written in place, never replaced by a file.
    QVERIFY(!writeFileAtomically(QStringLiteral("/dev/full"), "x", &error));
    QCOMPARE(error, QStringLiteral("cannot write /dev/full: No space left on device"));
    QVERIFY(writeFileAtomically(QStringLiteral("/dev/null"), "x", &error));
    QVERIFY(QFileInfo(QStringLiteral("/dev/full")).exists()
            && !QFileInfo(QStringLiteral("/dev/full")).isFile()
            && !QFileInfo(QStringLiteral("/dev/null")).isFile());
    const QString fifo = dir.filePath(QStringLiteral("output-fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!writeFileAtomically(fifo, "x", &error)); // no reader: refused at once

    const QString full = dir.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(full));
    if (::mount("tmpfs", QFile::encodeName(full).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a small tmpfs here (needs root)");
    const QString target = full + QStringLiteral("/x.png");
    const QByteArray old(1000, 'o');
    QVERIFY(writeFileAtomically(target, old, &error));
    QVERIFY(!writeFileAtomically(target, QByteArray(200 << 10, 'n'), &error));
    const QStringList left = QDir(full).entryList(QDir::Files | QDir::Hidden);
    QFile kept(target);
    const bool whole = kept.open(QIODevice::ReadOnly) && kept.readAll() == old;
    kept.close();
    // A capture that fills the disk mid-run stops with the system's reason.
    QcCaptureFile capture;
    const bool opened = capture.open(full + QStringLiteral("/captures"));
    for (int i = 0; i < 100 && capture.error().isEmpty(); ++i)
        capture.add(QByteArray(4096, 'c'));
    if (capture.error().isEmpty())
        capture.keep(full + QStringLiteral("/captures/run.session"));
    const QString captureError = capture.error();
    ::umount(QFile::encodeName(full).constData());
    QVERIFY(opened);
    QVERIFY2(captureError.endsWith(QStringLiteral("No space left on device")),
             qPrintable(captureError));
    QCOMPARE(error, QStringLiteral("cannot write %1: No space left on device").arg(target));
    QVERIFY(whole);
    QCOMPARE(left, QStringList {"x.png"});
}

// Under umask 022 the data folder, log and captures are the user's alone, and a link planted in
// the place of the log or the captures folder is not written through.
void TestHostileInput::filesAreTheUsersAlone()
{
    const mode_t mask = ::umask(022);
    const QString data = dir.filePath(QStringLiteral("modes/data/envviewer"));
    const auto mode = [](const QString &path) {
        struct stat s = {};
        ::lstat(QFile::encodeName(path).constData(), &s);
        return int(s.st_mode & 0777);
    };
    QString error;
    QVERIFY2(ResultsLog(data + "/qc-results.jsonl").append(QJsonObject {{"a", 1}}, &error),
             qPrintable(error));
    QcCaptureFile capture;
    QVERIFY(capture.open(data + "/captures"));
    capture.add("bytes");
    QVERIFY(capture.keep(data + "/captures/run.session").has_value());
    ::umask(mask);
    QCOMPARE(mode(data), 0700);
    QCOMPARE(mode(data + "/qc-results.jsonl"), 0600);
    QCOMPARE(mode(data + "/captures"), 0700);
    QCOMPARE(mode(data + "/captures/run.session"), 0600);

    const QString elsewhere = dir.filePath(QStringLiteral("modes/elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    write(elsewhere + "/target", "untouched");
    const QString links = dir.filePath(QStringLiteral("modes/links"));
    QVERIFY(QDir().mkpath(links));
    QVERIFY(QFile::link(elsewhere + "/target", links + "/qc-results.jsonl"));
    QVERIFY(QFile::link(elsewhere, links + "/captures"));
    QVERIFY(!ResultsLog(links + "/qc-results.jsonl").append(QJsonObject {{"a", 1}}, &error));
    QVERIFY2(error.endsWith("it is a symbolic link"), qPrintable(error));
    QcCaptureFile planted;
    QVERIFY(!planted.open(links + "/captures"));
    QVERIFY2(planted.error().endsWith("it is a symbolic link"), qPrintable(planted.error()));
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden), QStringList {"target"});
    QFile target(elsewhere + "/target");
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("untouched"));
}

// A FIFO in the configuration file's place is refused at once; a password others may read in it
// is told.
void TestHostileInput::configurationNeverBlocks()
{
    const QString fifo = dir.filePath(QStringLiteral("fifo.conf"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(readQcRecordSettings(fifo).problem.endsWith("it is no regular file"));
    // Nor does a FIFO in the log's place hold up results, report or sync.
    LogRecordSource source(fifo);
    QVERIFY(!source.records({}, [](const QcRecord &) {}));
    QVERIFY2(source.error().endsWith("it is no regular file"), qPrintable(source.error()));
    const QString url = freshDatabase();
    if (!url.isEmpty()) {
        RecordStore store;
        QVERIFY(store.open(url));
        LogSync sync(store, fifo, QStringLiteral("station-1"));
        QVERIFY(!sync.begin());
        QVERIFY2(sync.error().endsWith("it is no regular file"), qPrintable(sync.error()));
    }
    QVERIFY(clock.elapsed() < 5000);

    const QString conf = dir.filePath(QStringLiteral("envviewer.conf"));
    write(conf, "[records]\ndatabase=postgresql://qc:S3cretPw@db/fleet\ncaptures=all\n");
    QFile::setPermissions(conf, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QcRecordSettings settings = readQcRecordSettings(conf);
    QCOMPARE(settings.database, QStringLiteral("postgresql://qc:S3cretPw@db/fleet"));
    QCOMPARE(settings.captures, QcCaptureKeeping::All);
    QVERIFY2(settings.problem.contains("password that others can read")
                 && !settings.problem.contains("S3c"),
             qPrintable(settings.problem));
    QFile::setPermissions(conf, QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(readQcRecordSettings(conf).problem, QString());
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostileinput.moc"
