// The record line reader against the QJsonDocument reader it replaced: every line is read, or
// refused for the same reason, alike; and a log read through a real file keeps its line numbers
// across the reader's buffers.
#include "records/jsondocumentreader.h"
#include "records/record.h"
#include "records/resultslog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray id = R"("id":"3f0b6a52-93d4-4c8e-9a57-0c1d2e3f4a5b")";
const QByteArray judgedAt = R"("time":"2026-03-01T10:01:02.487+01:00")";

// A record of the keys every reader needs, and `rest` (",..." or nothing) in it.
QByteArray record(const QByteArray &rest = {}, const QByteArray &idPart = id,
                  const QByteArray &timePart = judgedAt)
{
    return R"({"version":1,)" + idPart + ',' + timePart + R"(,"test":"A","verdict":"Pass")" + rest
        + '}';
}

QByteArray withTime(const QByteArray &value)
{
    return record({}, id, R"("time":)" + value);
}

QByteArray channelRecord(const QByteArray &channels)
{
    return record(R"(,"channels":)" + channels);
}

QByteArray typicalLine()
{
    QcRecord r;
    r.id = QStringLiteral("3f0b6a52-93d4-4c8e-9a57-0c1d2e3f4a5b");
    r.time = QStringLiteral("2026-12-07T10:01:02.487+01:00");
    r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
    r.program = r.rules = QStringLiteral("envviewer_qc");
    r.host = QStringLiteral("station-3");
    r.planPath = QStringLiteral("/etc/xdg/envviewer/qc.json");
    r.test = QStringLiteral("Board \"A\" \\ é");
    r.duration = 10.25;
    r.frames = 160;
    r.verdict = QStringLiteral("Fail");
    r.failures = QStringList {QStringLiteral("Sample Count Fail : 0"), QStringLiteral("b")};
    r.serial = QStringLiteral("SN-1");
    r.attempt = 2;
    r.capture = QcRecordCapture {QStringLiteral("/tmp/c.envsession"), QString(64, 'a'), 1234};
    for (int channel : {0, 26}) {
        QcRecordChannel c;
        c.channel = channel;
        c.good = c.need = 160;
        c.samples = 160;
        c.window = QcRecordWindow {-100, 100, 200, 1500};
        c.x = {-11.0, 12.0, 0.1 + 0.2, 5.1021};
        c.y = {790.0, 912.0, 851.2, 1e-7};
        r.channels.append(c);
    }
    QByteArray line = r.toLine();
    line.chop(1);
    return line;
}

} // namespace

class TestRecordReader : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithJsonDocument_data();
    void agreesWithJsonDocument();
    void logKeepsLineNumbers();
    void overlongLastLineIsTold();
};

void TestRecordReader::agreesWithJsonDocument_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("status"); // what the new reader must say, besides agreeing

    const int read = QcRecordLine::Read, malformed = QcRecordLine::Malformed;
    QTest::newRow("typical") << typicalLine() << read;
    QTest::newRow("written again") << record() << read;
    QTest::newRow("byte-order mark") << "\xEF\xBB\xBF" + record() << read;
    QTest::newRow("spaces") << " { \"version\" : 1 , " + id + " , " + judgedAt
            + R"( , "test" : "A" , "verdict" : "Pass" } )"
                            << read;
    QTest::newRow("no id: derived")
        << R"({"version":1,)" + judgedAt + R"(,"test":"A","verdict":"Pass"})" << read;
    QTest::newRow("id braced, upper case")
        << record({}, R"("id":"{3F0B6A52-93D4-4C8E-9A57-0C1D2E3F4A5B}")") << read;
    QTest::newRow("id with more after it")
        << record({}, R"("id":"3f0b6a52-93d4-4c8e-9a57-0c1d2e3f4a5bzz")") << read;
    QTest::newRow("id nil") << record({}, R"("id":"00000000-0000-0000-0000-000000000000")")
                            << malformed;
    QTest::newRow("id null") << record({}, R"("id":null)") << malformed;
    QTest::newRow("id number") << record({}, R"("id":5)") << malformed;
    QTest::newRow("id short") << record({}, R"("id":"3f0b6a52-93d4")") << malformed;
    QTest::newRow("time Z") << withTime(R"("2026-03-01T10:01:02.487Z")") << read;
    QTest::newRow("time +00:00") << withTime(R"("2026-03-01T10:01:02.487+00:00")") << read;
    QTest::newRow("time -05:30") << withTime(R"("2026-03-01T10:01:02.487-05:30")") << read;
    QTest::newRow("time +14:00") << withTime(R"("2026-03-01T10:01:02.487+14:00")") << read;
    QTest::newRow("time +15:00") << withTime(R"("2026-03-01T10:01:02.487+15:00")") << -1;
    QTest::newRow("time +0100") << withTime(R"("2026-03-01T10:01:02.487+0100")") << -1;
    QTest::newRow("time without ms") << withTime(R"("2026-03-01T10:01:02+01:00")") << read;
    QTest::newRow("time without offset") << withTime(R"("2026-03-01T10:01:02.487")") << read;
    QTest::newRow("time 24:00") << withTime(R"("2026-03-01T24:00:00.000+01:00")") << -1;
    QTest::newRow("time 23:60") << withTime(R"("2026-03-01T23:60:00.000+01:00")") << malformed;
    QTest::newRow("time 30 February")
        << withTime(R"("2026-02-30T10:01:02.487+01:00")") << malformed;
    QTest::newRow("time year 0") << withTime(R"("0000-03-01T10:01:02.487+01:00")") << malformed;
    QTest::newRow("time year 1, west")
        << withTime(R"("0001-01-01T00:00:00.000+01:00")") << malformed;
    QTest::newRow("time year signed") << withTime(R"("2+26-03-01T10:01:02.487+01:00")") << -1;
    QTest::newRow("time digits not") << withTime(R"("2026-03-0xT10:01:02.487+01:00")") << malformed;
    QTest::newRow("time number") << withTime("5") << malformed;
    QTest::newRow("version 2") << QByteArray(R"({"version":2})")
                               << int(QcRecordLine::UnknownVersion);
    QTest::newRow("version text") << QByteArray(R"({"version":"1"})")
                                  << int(QcRecordLine::UnknownVersion);
    QTest::newRow("version 1.0") << R"({"version":1.0,)" + id + ',' + judgedAt
            + R"(,"test":"A","verdict":"Pass"})"
                                 << read;
    QTest::newRow("verdict other")
        << R"({"version":1,)" + judgedAt + R"(,"test":"A","verdict":"Ok"})" << malformed;
    QTest::newRow("test number") << R"({"version":1,)" + judgedAt + R"(,"test":1,"verdict":"Pass"})"
                                 << malformed;
    QTest::newRow("duration text") << record(R"(,"duration":"1")") << malformed;
    QTest::newRow("duration null") << record(R"(,"duration":null)") << read;
    QTest::newRow("frames -1") << record(R"(,"frames":-1)") << malformed;
    QTest::newRow("frames 1.5") << record(R"(,"frames":1.5)") << malformed;
    QTest::newRow("frames 2^31") << record(R"(,"frames":2147483648)") << malformed;
    QTest::newRow("frames 1e2") << record(R"(,"frames":1e2)") << read;
    QTest::newRow("frames -0") << record(R"(,"frames":-0)") << read;
    QTest::newRow("frames true") << record(R"(,"frames":true)") << malformed;
    QTest::newRow("program number") << record(R"(,"program":1)") << malformed;
    QTest::newRow("program escapes")
        << record(R"(,"program":"a\"b\\c\u00e9\ud83d\ude00\/")") << read;
    QTest::newRow("plan no object") << record(R"(,"plan":[1])") << read;
    QTest::newRow("plan path number") << record(R"(,"plan":{"path":1})") << malformed;
    QTest::newRow("channels no array") << record(R"(,"channels":{"a":1})") << read;
    QTest::newRow("channel no object") << channelRecord("[5]") << malformed;
    QTest::newRow("channel without number") << channelRecord(R"([{"good":1}])") << malformed;
    QTest::newRow("channel twice")
        << channelRecord(R"([{"channel":1},{"channel":1}])") << malformed;
    QTest::newRow("channel window null")
        << channelRecord(R"([{"channel":1,"window":null}])") << malformed;
    QTest::newRow("channel window one number")
        << channelRecord(R"([{"channel":1,"window":{"x":[1],"y":[1,2]}}])") << malformed;
    QTest::newRow("channel window three")
        << channelRecord(R"([{"channel":1,"window":{"x":[1,2],"y":[1,2,3]}}])") << malformed;
    QTest::newRow("channel window text")
        << channelRecord(R"([{"channel":1,"window":{"x":[1,2],"y":["1",2]}}])") << malformed;
    QTest::newRow("channel stats no object") << channelRecord(R"([{"channel":1,"x":3}])") << read;
    QTest::newRow("channel stats text")
        << channelRecord(R"([{"channel":1,"samples":2,"x":{"min":"1"}}])") << malformed;
    QTest::newRow("channel samples 1.5")
        << channelRecord(R"([{"channel":1,"samples":1.5}])") << malformed;
    QTest::newRow("channel mean beyond")
        << channelRecord(R"([{"channel":1,"samples":2,"x":{"mean":1e13}}])") << malformed;
    QTest::newRow("failures no array") << record(R"(,"failures":"a")") << read;
    QTest::newRow("failure number") << record(R"(,"failures":["a",1])") << malformed;
    QTest::newRow("attempt 0") << record(R"(,"attempt":0)") << malformed;
    QTest::newRow("attempt 1.5") << record(R"(,"attempt":1.5)") << malformed;
    QTest::newRow("attempt 2") << record(R"(,"attempt":2)") << read;
    QTest::newRow("capture null") << record(R"(,"capture":null)") << read;
    QTest::newRow("capture without bytes") << record(R"(,"capture":{"path":"p"})") << malformed;
    QTest::newRow("capture whole")
        << record(R"(,"capture":{"path":"p","sha256":"s","bytes":3})") << read;
    QTest::newRow("key escaped") << R"({"version":1,)" + id + ',' + judgedAt
            + R"(,"t\u0065st":"A","verdict":"Pass"})"
                                 << read;
    QTest::newRow("unknown key, nested")
        << record(R"(,"extra":{"a":[1,{"b":null}],"c":false})") << read;
    QTest::newRow("number without digits before its point") << record(R"(,"duration":.5)") << read;
    QTest::newRow("number without digits after its point")
        << record(R"(,"extra":[1.,-.5e1])") << read;
    QTest::newRow("number too small") << record(R"(,"extra":1e-400)") << malformed;
    QTest::newRow("number subnormal") << record(R"(,"extra":4.9e-324)") << read;
    QTest::newRow("number of a point") << record(R"(,"extra":-.)") << malformed;
    QTest::newRow("huge number") << record(R"(,"extra":1e400)") << -1;
    QTest::newRow("long integer") << record(R"(,"extra":123456789012345678901234567890)") << -1;
    QTest::newRow("cut short") << QByteArray(R"({"version":1,"id":)") << malformed;
    QTest::newRow("garbage after") << record() + "x" << malformed;
    QTest::newRow("two objects") << record() + record() << malformed;
    QTest::newRow("array") << QByteArray("[1,2]") << malformed;
    QTest::newRow("array cut short") << QByteArray("[1,") << malformed;
    QTest::newRow("number") << QByteArray("1") << malformed;
    QTest::newRow("empty") << QByteArray() << malformed;
    QTest::newRow("bad literal, unknown key") << record(R"(,"extra":tru)") << malformed;
    QTest::newRow("bad number, nested") << record(R"(,"extra":[1,2x])") << malformed;
    QTest::newRow("bad literal, known key") << record(R"(,"duration":nul)") << malformed;
    QTest::newRow("comma missing") << record(R"( "extra":1)") << malformed;
    QTest::newRow("comma trailing") << record(R"(,"extra":[1,])") << malformed;
    QTest::newRow("leading zero") << record(R"(,"frames":01)") << malformed;
    QTest::newRow("key twice") << record(R"(,"test":"B")") << malformed;
    QTest::newRow("key twice, escaped") << record(R"(,"t\u0065st":"B")") << malformed;
    QTest::newRow("key twice, unknown") << record(R"(,"a":1,"a":2)") << malformed;
    QTest::newRow("key twice, nested") << record(R"(,"extra":[{"a":1,"a":1}])") << malformed;
    QTest::newRow("key twice, in a channel")
        << channelRecord(R"([{"channel":1,"channel":2}])") << malformed;
    QTest::newRow("key twice, then broken") << record(R"(,"a":1,"a":2,)") << malformed;
    QTest::newRow("control character") << record(",\"a\":\"\t\"") << malformed;
    QTest::newRow("no UTF-8") << record(",\"a\":\"\xC3\"") << malformed;
}

void TestRecordReader::agreesWithJsonDocument()
{
    QFETCH(QByteArray, line);
    QFETCH(int, status);
    const QcRecordLine now = qcReadRecordLine(line);
    const QcRecordLine before = jsonDocumentRecordLine(line);
    if (status >= 0)
        QCOMPARE(int(now.status), status);
    QCOMPARE(now.status, before.status);
    QCOMPARE(now.bytes, before.bytes);
    // Parsers word their syntax errors differently; every other reason is the same text.
    const QString syntax = QStringLiteral("no JSON:");
    if (!now.problem.startsWith(syntax) || !before.problem.startsWith(syntax))
        QCOMPARE(now.problem, before.problem);
    if (now.status != QcRecordLine::Read)
        return;
    QCOMPARE(now.record.toJson(), before.record.toJson());
    QCOMPARE(now.record.judged, before.record.judged);
    QCOMPARE(now.record.judged.timeSpec(), before.record.judged.timeSpec());
    QCOMPARE(now.record.judged.offsetFromUtc(), before.record.judged.offsetFromUtc());
    // What is written is what QJsonDocument wrote, and reads back as the same record.
    QByteArray written = now.record.toLine();
    QVERIFY(written.endsWith('\n'));
    written.chop(1);
    QCOMPARE(QJsonDocument::fromJson(written).object(), now.record.toJson());
    QCOMPARE(qcReadRecordLine(written).record.toJson(), now.record.toJson());
}

void TestRecordReader::logKeepsLineNumbers()
{
    // Lines around the reader's buffer of 1 MiB, some of them no record, CRLF and blank lines
    // among them, and a last one a writer has not finished.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("log.jsonl")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray good = typicalLine();
    QList<qint64> bad;
    qint64 number = 0, written = 0, records = 0;
    while (written < 3 * (1 << 20)) {
        ++number;
        QByteArray line = good + '\n';
        if (number % 97 == 0) {
            line = "{\"version\":1,\n";
            bad << number;
        } else if (number % 89 == 0) {
            line = "\r\n";
        } else if (number % 83 == 0) {
            line = good + "\r\n";
            ++records;
        } else if (number == 300) {
            line = QByteArray(QcRecordLimits::lineBytes + 10, 'x') + '\n';
            bad << number;
        } else {
            ++records;
        }
        written += file.write(line);
    }
    file.write(good.left(100));
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    int taken = 0;
    const ResultsLogRead read = ResultsLog::read(file, [&](const QcRecord &r) {
        taken += r.id == QLatin1String("3f0b6a52-93d4-4c8e-9a57-0c1d2e3f4a5b");
    });
    QCOMPARE(read.records, int(records));
    QCOMPARE(taken, int(records));
    QCOMPARE(read.skipped, int(bad.size()) + 1);
    QList<qint64> numbers;
    for (const SkippedLine &line : read.skippedLines)
        numbers << line.line;
    bad << number + 1;
    QCOMPARE(numbers, bad.mid(0, ResultsLogRead::skippedLinesKept));
    QCOMPARE(read.skippedLines.last().reason, QStringLiteral("a last line without its end"));
}

// A last line already too long for any record, its end not written yet, is told as too long.
void TestRecordReader::overlongLastLineIsTold()
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("log.jsonl")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(typicalLine() + '\n' + QByteArray(3 * QcRecordLimits::lineBytes, 'x'));
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    const ResultsLogRead read = ResultsLog::read(file, [](const QcRecord &) {});
    QCOMPARE(read.records, 1);
    QCOMPARE(read.skipped, 1);
    QCOMPARE(read.skippedLines.value(0).line, qint64(2));
    QCOMPARE(read.skippedLines.value(0).reason,
             QStringLiteral("longer than %1 bytes").arg(QcRecordLimits::lineBytes));
}

QTEST_GUILESS_MAIN(TestRecordReader)
#include "tst_recordreader.moc"
