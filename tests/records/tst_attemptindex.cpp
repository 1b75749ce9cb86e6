// The attempt index beside a results log: what a lookup answers from it and the log's tail, and
// that an index that is missing, damaged or made for another log is never trusted.
#include "records/attemptindex.h"
#include "records/record.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray run(const QString &serial, const QString &test = "T", const QString &station = "st-a",
               const QString &host = "host-a")
{
    QcRecord r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.time = "2026-03-01T10:00:00.000+01:00";
    r.host = host;
    r.station = station;
    r.test = test;
    r.serial = serial;
    r.verdict = "Fail";
    return r.toLine();
}

bool append(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
}

} // namespace

class TestAttemptIndex : public QObject
{
    Q_OBJECT

private slots:
    void lookups_data();
    void lookups();
    void largeLogWithoutIndex();
};

void TestAttemptIndex::lookups_data()
{
    QTest::addColumn<QString>("index"); // what is done to the index before the last appends
    QTest::newRow("none") << "none";
    QTest::newRow("up to date, then appended to") << "updated";
    QTest::newRow("damaged") << "garbage";
    QTest::newRow("cut short") << "truncated";
    QTest::newRow("made for another log") << "other";
}

void TestAttemptIndex::lookups()
{
    QFETCH(QString, index);
    QTemporaryDir dir;
    const QString log = dir.filePath("qc-results.jsonl");
    const QcAttemptIndex attempts(log);
    QCOMPARE(attempts.runs({"st-a", "T", "S1"}), std::optional<int>(0)); // no log yet
    // S1 on T at st-a: three runs; other tests, stations and boards do not count, and a record
    // made before stations were named counts for its host.
    QVERIFY(append(log,
                   run("S1") + run("S1", "U") + run("S1", "T", "st-b") + run("S2")
                       + run("S1", "T", "", "st-a")));
    if (index == "other") {
        QVERIFY(append(dir.filePath("other.jsonl"), run("S1") + run("S1")));
        QVERIFY(QcAttemptIndex(dir.filePath("other.jsonl")).update());
        QVERIFY(QFile::copy(QcAttemptIndex::pathFor(dir.filePath("other.jsonl")),
                            QcAttemptIndex::pathFor(log)));
    } else if (index != "none") {
        QVERIFY(attempts.update());
    }
    QVERIFY(append(log, run("S1") + run("S2") + "{\"version\": 1, \"unfinished"));
    QFile file(QcAttemptIndex::pathFor(log));
    if (index == "garbage") {
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.seek(8);
        file.write(QByteArray(32, '\x7f'));
        file.close();
    } else if (index == "truncated") {
        QVERIFY(file.resize(file.size() - 3));
    }
    QCOMPARE(attempts.runs({"st-a", "T", "S1"}), std::optional<int>(3));
    QCOMPARE(attempts.runs({"st-a", "T", "S2"}), std::optional<int>(2));
    QCOMPARE(attempts.runs({"st-b", "T", "S1"}), std::optional<int>(1));
    QCOMPARE(attempts.runs({"st-a", "T", "S9"}), std::optional<int>(0));
    QCOMPARE(attempts.runsInWholeLog({"st-a", "T", "S1"}), 3);
}

void TestAttemptIndex::largeLogWithoutIndex()
{
    // More than a lookup reads without an index: no answer until the index is made, then the
    // count, and the lookup reads only what was appended after it.
    QTemporaryDir dir;
    const QString log = dir.filePath("qc-results.jsonl");
    QByteArray others;
    while (others.size() <= QcAttemptIndex::maxTailBytes)
        others += run(QStringLiteral("B%1").arg(others.size()));
    QVERIFY(append(log, run("S1") + others + run("S1")));
    const QcAttemptIndex attempts(log);
    QCOMPARE(attempts.runs({"st-a", "T", "S1"}), std::nullopt);
    QVERIFY(attempts.lags());
    QCOMPARE(attempts.runsUpdating({"st-a", "T", "S1"}), 2);
    QVERIFY(!attempts.lags());
    QVERIFY(append(log, run("S1")));
    QCOMPARE(attempts.runs({"st-a", "T", "S1"}), std::optional<int>(3));
}

QTEST_GUILESS_MAIN(TestAttemptIndex)
#include "tst_attemptindex.moc"
