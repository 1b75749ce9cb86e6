// Test records appended to a real results log.
#include "qc/qcrecord.h"
#include "qctestsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/wait.h>

class TestQcRecord : public QObject
{
    Q_OBJECT

private slots:
    void concurrentWritersKeepWholeLines();
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

QTEST_GUILESS_MAIN(TestQcRecord)
#include "tst_qcrecord.moc"
