// Test records appended to a real results log.
#include "qc/qcrecorder.h"
#include "qctestsupport.h"
#include "records/recordsettings.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>

using Samples = QList<QPair<short, short>>;
Q_DECLARE_METATYPE(Samples)

class TestQcRecord : public QObject
{
    Q_OBJECT

private slots:
    void concurrentWritersKeepWholeLines();
    void recordCutShortIsTakenBack();
    void keepsEachChannelsSamples_data();
    void keepsEachChannelsSamples();
    void readsLines_data();
    void readsLines();
};

void TestQcRecord::keepsEachChannelsSamples_data()
{
    QTest::addColumn<Samples>("samples"); // channel 5's (y, x) per frame
    QTest::addColumn<QString>("channel5"); // its entry in the record

    QTest::newRow("three frames, one outside the window, which takes one away")
        << Samples {{300, 1}, {310, 2}, {2000, 6}}
        << R"({"channel":5,"good":1,"need":2,"samples":3,"window":{"x":[-4,5],"y":[250,1450]},)"
           R"("x":{"max":6,"mean":3,"min":1,"sd":2.160246899469287},)"
           R"("y":{"max":2000,"mean":870,"min":300,"sd":799.0410919762929}})";
    QTest::newRow("no frames")
        << Samples {}
        << R"({"channel":5,"good":0,"need":2,"samples":0,"window":{"x":[-4,5],"y":[250,1450]},)"
           R"("x":{"max":null,"mean":null,"min":null,"sd":null},)"
           R"("y":{"max":null,"mean":null,"min":null,"sd":null}})";
}

// Each listed channel's samples in the counted frames beside the window they were judged by; the
// record reads back as it was written.
void TestQcRecord::keepsEachChannelsSamples()
{
    QFETCH(Samples, samples);
    QFETCH(QString, channel5);
    QcType type {"T", 1, 0, 200, 1500, {{5, 2, -4, 5, 50, -50}}};
    QcCheck check(Deliverable::Viewer, {type});
    check.start("T", 0);
    for (const auto &sample : samples)
        QVERIFY(check.addFrame(channelFrame(5, sample.first, sample.second), 10));
    check.addFrame(channelFrame(5, 300, 0), 5000); // after the deadline: not counted
    QcRecorder recorder;
    recorder.setProgram("envtool", Deliverable::Viewer);
    QcRecord record = recorder.judgement(check, check.judge(), QDateTime::currentDateTime());
    if (samples.isEmpty())
        record.capture = QcRecordCapture {"/captures/run.session", "5e", 4096};

    const QJsonObject json = record.toJson();
    QCOMPARE(QJsonDocument(json["channels"][0].toObject()).toJson(QJsonDocument::Compact),
             channel5.toUtf8());
    QVERIFY(
        QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
            .match(json["id"].toString())
            .hasMatch());
    QVERIFY(json["software"].toString().startsWith("envtool 1."));
    QByteArray line = record.toLine();
    line.chop(1);
    const QcRecordLine read = qcReadRecordLine(line);
    QCOMPARE(read.status, QcRecordLine::Read);
    QCOMPARE(QJsonDocument::fromJson(read.bytes).object(), json);
    QCOMPARE(read.record.toJson(), json);
    QCOMPARE(json["capture"].isNull(), !samples.isEmpty());
}

void TestQcRecord::readsLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("id");

    const QByteArray old = R"({"version":1,"time":"2026-03-01T10:00:00.000+01:00","test":"A",)"
                           R"("verdict":"Pass","failures":[]})";
    // Name-based (version 5): the same bytes always give the same id.
    QTest::newRow("logged without an id")
        << old << int(QcRecordLine::Read) << "98b6304f-e991-5c17-854a-6f9128f15362";
    QTest::newRow("another line without an id")
        << QByteArray(old).replace("10:00", "10:01") << int(QcRecordLine::Read)
        << "6bc7c372-e49e-588b-a6df-93c98a42978b";
    QTest::newRow("with an id") << QByteArray(old).replace(
        "{", R"({"id":"{0F8A3C7E-1111-4222-8333-444455556666}",)")
                                << int(QcRecordLine::Read)
                                << "0f8a3c7e-1111-4222-8333-444455556666";
    QTest::newRow("a later version")
        << QByteArray(old).replace(":1,", ":2,") << int(QcRecordLine::UnknownVersion) << "";
    QTest::newRow("no version") << QByteArray(old).replace(R"("version":1,)", "")
                                << int(QcRecordLine::UnknownVersion) << "";
    QTest::newRow("not an id") << QByteArray(old).replace("{", R"({"id":"x",)")
                               << int(QcRecordLine::Malformed) << "";
    QTest::newRow("no verdict") << QByteArray(old).replace("Pass", "Maybe")
                                << int(QcRecordLine::Malformed) << "";
    QTest::newRow("a NUL character")
        << QByteArray(old).replace("\"A\"", "\"\\u0000\"") << int(QcRecordLine::Malformed) << "";
    QTest::newRow("cut short") << old.left(40) << int(QcRecordLine::Malformed) << "";
}

void TestQcRecord::readsLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, status);
    QFETCH(QString, id);
    const QcRecordLine read = qcReadRecordLine(line);
    QCOMPARE(int(read.status), status);
    QCOMPARE(read.record.id, id);
}

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
