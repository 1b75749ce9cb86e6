// Test records appended to a real results log.
#include "qc/qcrecord.h"
#include "qctestsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>

class TestQcRecord : public QObject
{
    Q_OBJECT

private slots:
    void concurrentWritersKeepWholeLines();
    void recordCutShortIsTakenBack();
};

// Two processes append long records at once to a log whose last line a killed writer left
// unfinished: every record stays one whole line, and only the unfinished one is lost.
void TestQcRecord::concurrentWritersKeepWholeLines()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath("new/folder/qc-results.jsonl");
    QVERIFY(QDir().mkpath(dir.filePath("new/folder")));
    QVERIFY(writeFile(log, "{\"version\":1,\"time\":\"2026-03-01T09:05"));

    QcCheck check(Deliverable::Viewer);
    check.start("A", 0);
    const QcVerdict verdict = check.judge();
    QcRecorder recorder;
    recorder.setLog(log);
    const int perWriter = 200;
    // Longer than any stdio or QFile buffer, so a writer that splits its line would show it.
    const QString padding(20000, QLatin1Char('x'));
    const auto appendAll = [&](char writer) {
        for (int i = 0; i < perWriter; ++i) {
            recorder.setSerial(QStringLiteral("%1%2-").arg(writer).arg(i) + padding);
            QString error;
            if (!recorder.append(recorder.record(check, verdict, QDateTime::currentDateTime()),
                                 &error))
                return false;
        }
        return true;
    };
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0)
        ::_exit(appendAll('b') ? 0 : 1);
    QVERIFY(appendAll('a'));
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const QList<QJsonObject> records = readRecords(log);
    QCOMPARE(records.size(), 1 + 2 * perWriter);
    QVERIFY(records.first().isEmpty());
    QSet<QString> serials;
    for (const QJsonObject &record : records.mid(1))
        serials << record.value("serial").toString().section('-', 0, 0);
    QCOMPARE(serials.size(), 2 * perWriter);
}

// A disk that fills up in the middle of a record (here: a file size limit, which cuts the write
// short the same way) leaves no partial line behind, and the error says why.
void TestQcRecord::recordCutShortIsTakenBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath("qc-results.jsonl");
    const QByteArray earlier = "{\"version\":1}\n";
    QVERIFY(writeFile(log, earlier));
    QcCheck check(Deliverable::Viewer);
    check.start("A", 0);
    QcRecorder recorder;
    recorder.setLog(log);
    const QJsonObject record = recorder.record(check, check.judge(), QDateTime::currentDateTime());

    rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(earlier.size() + 100);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    QString error;
    const bool appended = recorder.append(record, &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!appended);
    QCOMPARE(error, "cannot append the test record to " + log + ": File too large");
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), earlier);
    QVERIFY(recorder.append(record, &error));
    QCOMPARE(readRecords(log).size(), 2);
}

QTEST_GUILESS_MAIN(TestQcRecord)
#include "tst_qcrecord.moc"
