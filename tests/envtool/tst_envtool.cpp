// envtool as its users run it: separate processes, real files, real pseudo-terminals. The
// simulator feeds record and qc through the same kind of line the viewer opens.

#include "envtoolrunner.h"
#include "link/serialline.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "link/streamencoder.h"
#include "support/pseudoterminal.h"
#include "support/temporaryxdg.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>

Q_DECLARE_METATYPE(QList<QByteArray>)

namespace {

const QString unopenablePort = QStringLiteral("/nonexistent/ttyENV0");

// One test type of one second: channel 3 with a narrow X window and its Y window narrowed by the
// additions, channel 10 listed twice (the later range governs), channel 26 admitting every X.
const QByteArray stationPlan = R"([
  {"label": "Many", "duration": 1, "frames": 1000},
  {"label": "Station", "duration": 1, "frames": 20, "y": {"min": 200, "max": 1500},
   "x": [{"index": 3, "count": 10, "min": -5, "max": 5, "minadd": 100, "maxadd": -100},
         {"index": 10, "count": 10, "min": 1000, "max": 2000},
         {"index": 10, "count": 15, "min": -2000, "max": -1000},
         {"index": 26, "count": 10, "min": -40000, "max": 40000, "minadd": 500, "maxadd": 0}]}
])";

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray moduleBytes(const QString &path)
{
    QByteArray bytes;
    QString error;
    return SessionFile::readModuleBytes(path, &bytes, &error) ? bytes : QByteArray();
}

// A stream of `frames` frames of 27 distinct points each, with flags.
QByteArray encodedFrames(int frames)
{
    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < frames; ++f) {
        QVector<StreamPoint> points;
        for (int i = 0; i < 27; ++i)
            points.append({qint16(f - i), qint16(300 + 10 * i)});
        encoder.appendFrame(points, 0x80000000u >> f);
    }
    return encoder.takeBytes();
}

// A session as tap writes it: the header, then per record its direction ('M' or 'V'), its time
// in microseconds and its size (little-endian, 8 and 4 bytes) and the chunk; here 1 ms apart.
QByteArray sessionOf(const QList<QPair<char, QByteArray>> &records, int version = 1)
{
    QByteArray file = "envtool session " + QByteArray::number(version) + '\n';
    for (int i = 0; i < records.size(); ++i) {
        char head[13];
        head[0] = records[i].first;
        qToLittleEndian<quint64>(quint64(i) * 1000, head + 1);
        qToLittleEndian<quint32>(quint32(records[i].second.size()), head + 9);
        file += QByteArray(head, 13) + records[i].second;
    }
    return file;
}

// Reads from the viewer's port until `count` bytes came or five seconds passed.
QByteArray readPort(QSerialPort &port, int count)
{
    QByteArray bytes;
    QDeadlineTimer deadline(5000);
    while (bytes.size() < count && !deadline.hasExpired()) {
        if (port.bytesAvailable() == 0)
            port.waitForReadyRead(50);
        bytes += port.readAll();
    }
    return bytes;
}

} // namespace

class TestEnvTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void usageErrors_data();
    void usageErrors();
    void help_data();
    void help();

    void decode_data();
    void decode();
    void decodeReadsAnyLengthInChunks();

    void simulatorFeedsRecordAndQc();
    void results_data();
    void results();
    void resultsCapability_data();
    void resultsCapability();
    void recordKeepsEverythingOnCtrlC();
    void recordKeepsEverythingWhenTheLineGoes();
    void defaultFramesPassTheExamplePlan_data();
    void defaultFramesPassTheExamplePlan();
    void planBuiltStreams_data();
    void planBuiltStreams();
    void frameLimitAndReplay_data();
    void frameLimitAndReplay();
    void replayLoopsTheCapture();
    void stopRemovesTheLink();
    void simulateOnAPort();
    void commandsFromTheLine_data();
    void commandsFromTheLine();

    void tapForwardsAndRecords_data();
    void tapForwardsAndRecords();
    void tapFollowsTheViewer();
    void sessionAsCapture_data();
    void sessionAsCapture();
    void replayKeepsTheSessionsTimes();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QStringList expand(QStringList args) const;

    QTemporaryDir dir;
    TemporaryXdg xdg; // every qc run appends to a log of its own
};

void TestEnvTool::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QFileInfo(QStringLiteral(ENVTOOL_PATH)).isExecutable());
    QVERIFY(writeFile(path("plan.json"), stationPlan));
    QVERIFY(writeFile(path("broken.json"), "[{\"label\": "));
    QVERIFY(writeFile(path("object.json"), "{\"label\": \"Station\"}"));
    QVERIFY(writeFile(path("capture.bin"), encodedFrames(3)));
}

QStringList TestEnvTool::expand(QStringList args) const
{
    for (QString &arg : args) {
        arg.replace(QLatin1String("%dir"), dir.path());
        arg.replace(QLatin1String("%port"), unopenablePort);
    }
    return args;
}

void TestEnvTool::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message"); // a part of the one line on standard error

    const QString plan = "%dir/plan.json";
    const QString capture = "%dir/capture.bin";
    QTest::newRow("no command") << QStringList {} << "no command";
    QTest::newRow("unknown command") << QStringList {"frobnicate"} << "unknown command";
    QTest::newRow("unknown option") << QStringList {"decode", "--bogus"} << "bogus";
    QTest::newRow("option without its value") << QStringList {"record", "--port"} << "port";

    QTest::newRow("record: no port") << QStringList {"record"} << "--port";
    QTest::newRow("record: port cannot be opened")
        << QStringList {"record", "--port", "%port"} << "cannot open /nonexistent/ttyENV0";
    QTest::newRow("record: seconds not positive")
        << QStringList {"record", "--port", "%port", "--seconds", "-1"} << "--seconds";
    QTest::newRow("record: bytes not a number")
        << QStringList {"record", "--port", "%port", "--bytes", "ten"} << "--bytes";

    QTest::newRow("decode: missing capture")
        << QStringList {"decode", "%dir/none.bin"} << "cannot read";
    QTest::newRow("decode: unknown format")
        << QStringList {"decode", capture, "--format", "xml"} << "--format";
    QTest::newRow("decode: two captures")
        << QStringList {"decode", capture, capture} << "unexpected argument";

    QTest::newRow("simulate: no line") << QStringList {"simulate"} << "--pty or --port";
    QTest::newRow("simulate: two lines")
        << QStringList {"simulate", "--pty", "--port", "%port"} << "--pty or --port";
    QTest::newRow("simulate: link without pty")
        << QStringList {"simulate", "--port", "%port", "--link", "%dir/link"} << "--link";
    QTest::newRow("simulate: port cannot be opened")
        << QStringList {"simulate", "--port", "%port"} << "cannot open /nonexistent/ttyENV0";
    QTest::newRow("simulate: loop without replay")
        << QStringList {"simulate", "--pty", "--loop"} << "--loop";
    QTest::newRow("simulate: replay with a plan")
        << QStringList {"simulate", "--pty", "--replay", capture,
                        "--plan",   plan,    "--test",   "Station"}
        << "--replay";
    QTest::newRow("simulate: missing replay")
        << QStringList {"simulate", "--pty", "--replay", "%dir/none.bin"} << "cannot read";
    QTest::newRow("simulate: plan without test")
        << QStringList {"simulate", "--pty", "--plan", plan} << "--test";
    QTest::newRow("simulate: unknown test")
        << QStringList {"simulate", "--pty", "--plan", plan, "--test", "station"} << "station";
    QTest::newRow("simulate: plan not JSON")
        << QStringList {"simulate", "--pty", "--plan", "%dir/broken.json", "--test", "Station"}
        << "not a plan";
    QTest::newRow("simulate: channel out of range")
        << QStringList {"simulate", "--pty",   "--plan",         plan,
                        "--test",   "Station", "--fail-channel", "27"}
        << "--fail-channel";
    QTest::newRow("simulate: channel the test ignores")
        << QStringList {"simulate", "--pty",   "--plan",         plan,
                        "--test",   "Station", "--fail-channel", "4"}
        << "channel 4";
    QTest::newRow("simulate: fps not positive")
        << QStringList {"simulate", "--pty", "--fps", "0"} << "--fps";
    QTest::newRow("simulate: frames negative")
        << QStringList {"simulate", "--pty", "--frames", "-3"} << "--frames";
    QTest::newRow("simulate: link over a file")
        << QStringList {"simulate", "--pty", "--link", plan} << "not a symbolic link";

    QTest::newRow("qc: no test") << QStringList {"qc", "--plan", plan, "--capture", capture}
                                 << "--test";
    QTest::newRow("qc: no source")
        << QStringList {"qc", "--plan", plan, "--test", "Station"} << "--port or --capture";
    QTest::newRow("qc: two sources")
        << QStringList {"qc",     "--plan", plan,        "--test", "Station",
                        "--port", "%port",  "--capture", capture}
        << "--port or --capture";
    QTest::newRow("qc: program without a check")
        << QStringList {"qc",        "--plan", plan,        "--test",        "Station",
                        "--capture", capture,  "--program", "envviewer_lite"}
        << "envviewer_lite";
    QTest::newRow("qc: missing plan")
        << QStringList {"qc", "--plan", "%dir/none.json", "--test", "Station", "--capture", capture}
        << "cannot read";
    QTest::newRow("qc: plan not JSON")
        << QStringList {"qc",        "--plan", "%dir/broken.json", "--test", "Station",
                        "--capture", capture}
        << "not JSON";
    QTest::newRow("qc: plan not an array")
        << QStringList {"qc",        "--plan", "%dir/object.json", "--test", "Station",
                        "--capture", capture}
        << "not an array";
    QTest::newRow("qc: unknown test")
        << QStringList {"qc", "--plan", plan, "--test", "Board A", "--capture", capture}
        << "has no test \"Board A\"; it holds \"Many\", \"Station\"";
    QTest::newRow("qc: serial with a space")
        << QStringList {"qc",        "--plan", plan,       "--test", "Station",
                        "--capture", capture,  "--serial", "SN 1"}
        << "the serial number holds ' '";
    QTest::newRow("qc: serial too long")
        << QStringList {"qc",        "--plan", plan,       "--test",        "Station",
                        "--capture", capture,  "--serial", QString(65, 'S')}
        << "longer than 64 characters";
    QTest::newRow("runs: verdict neither")
        << QStringList {"runs", "--verdict", "ok"} << "--verdict";
    QTest::newRow("runs: show an unknown id")
        << QStringList {"runs", "show", "ffff"} << "no run's id begins with 'ffff'";
    QTest::newRow("qc: port cannot be opened")
        << QStringList {"qc", "--plan", plan, "--test", "Station", "--port", "%port"}
        << "cannot open /nonexistent/ttyENV0";
    QTest::newRow("tap: no port") << QStringList {"tap", "--pty"} << "--port";
    QTest::newRow("tap: no viewer side")
        << QStringList {"tap", "--port", "%port"} << "--pty or --link";
    QTest::newRow("tap: port cannot be opened")
        << QStringList {"tap", "--port", "%port", "--pty"} << "cannot open /nonexistent/ttyENV0";
    QTest::newRow("decode: commands of a raw capture")
        << QStringList {"decode", "--commands", capture} << "raw capture";
    QTest::newRow("decode: commands as CSV")
        << QStringList {"decode", "--commands", "--format", "csv", capture} << "text or jsonl";

    QTest::newRow("qc: missing capture")
        << QStringList {"qc", "--plan", plan, "--test", "Station", "--capture", "%dir/none.bin"}
        << "cannot read";
    QTest::newRow("qc: log and no log")
        << QStringList {"qc",        "--plan", plan,    "--test",   "Station",
                        "--capture", capture,  "--log", "%dir/log", "--no-log"}
        << "--no-log";

    QTest::newRow("results: named log missing")
        << QStringList {"results", "--log", "%dir/none.jsonl"} << "cannot read";
    QTest::newRow("results: unknown format")
        << QStringList {"results", "--format", "xml"} << "--format";
    QTest::newRow("results: since not a date")
        << QStringList {"results", "--since", "yesterday"} << "--since";
    QTest::newRow("results: capability by host")
        << QStringList {"results", "--capability", "--by", "host"} << "--by";
}

void TestEnvTool::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const ToolResult result = runTool(expand(args));
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.errLines().size(), 1);
    QVERIFY2(result.err.endsWith('\n'), result.err.constData());
    const QString line = result.errLines().first();
    QVERIFY2(line.startsWith(QLatin1String("envtool")), qPrintable(line));
    QVERIFY2(line.contains(expand({message}).first()), qPrintable(line));
}

void TestEnvTool::help_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("first"); // the first line of standard output
    QTest::addColumn<QString>("mentions");

    QTest::newRow("envtool") << QStringList {"--help"} << "Usage: envtool [options] <command>"
                             << "simulate";
    QTest::newRow("version") << QStringList {"--version"} << "envtool 1.0.0"
                             << "1.0.0";
    QTest::newRow("record") << QStringList {"record", "--help"} << "Usage: envtool record [options]"
                            << "--seconds";
    QTest::newRow("decode") << QStringList {"decode", "-h"} << "Usage: envtool decode [options]"
                            << "--format";
    QTest::newRow("simulate") << QStringList {"simulate", "--help"}
                              << "Usage: envtool simulate [options]"
                              << "--fail-channel";
    QTest::newRow("qc") << QStringList {"qc", "--help"} << "Usage: envtool qc [options]"
                        << "--serial";
    QTest::newRow("tap") << QStringList {"tap", "--help"} << "Usage: envtool tap [options]"
                         << "--link";
    QTest::newRow("results") << QStringList {"results", "--help"}
                             << "Usage: envtool results [options]"
                             << "--since";
}

void TestEnvTool::help()
{
    QFETCH(QStringList, args);
    QFETCH(QString, first);
    QFETCH(QString, mentions);

    const ToolResult result = runTool(args);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QVERIFY2(result.outLines().value(0).startsWith(first), result.out.constData());
    QVERIFY(QString::fromUtf8(result.out).contains(mentions));
}

void TestEnvTool::decode_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("stats");

    const QByteArray example = hex("CC CC 00 10 00 64 00 11 00 22 FF F0 00 05 DD DD 80 00 00 01 "
                                   "CC CC 00 01 00 01 CC");
    const QString exampleStats = "bytes 27, points 4, dropped 0, broken 0, frames by marker 1, "
                                 "frames by sync 0";
    QTest::newRow("worked example, JSON Lines")
        << example << "jsonl"
        << QByteArray("{\"frame\": 0, \"flags\": \"\", \"samples\": [100, 16, 34, 17, 5, -16]}\n")
        << exampleStats;
    QTest::newRow("worked example, CSV")
        << example << "csv" << QByteArray("frame,column,x,y\n0,0,16,100\n0,1,17,34\n0,2,-16,5\n")
        << exampleStats;

    // The flags after a marker belong to the frame that follows it.
    const QByteArray twoFrames = example + hex("DD DD");
    QTest::newRow("flags go with the next frame")
        << twoFrames << "jsonl"
        << QByteArray("{\"frame\": 0, \"flags\": \"\", \"samples\": [100, 16, 34, 17, 5, -16]}\n"
                      "{\"frame\": 1, \"flags\": \"80000001\", \"samples\": [1, 1]}\n")
        << "bytes 29, points 4, dropped 0, broken 0, frames by marker 2, frames by sync 0";

    // Seven 0xCC after a point end a frame, fourteen end a second, empty one.
    const QByteArray syncFrames = hex("CC CC 00 07 01 2C") + QByteArray(14, char(0xCC));
    QTest::newRow("long sync runs end frames")
        << syncFrames << "jsonl"
        << QByteArray("{\"frame\": 0, \"flags\": \"\", \"samples\": [300, 7]}\n"
                      "{\"frame\": 1, \"flags\": \"\", \"samples\": []}\n")
        << "bytes 20, points 1, dropped 0, broken 0, frames by marker 0, frames by sync 2";
    QTest::newRow("empty frame has no CSV rows")
        << syncFrames << "csv" << QByteArray("frame,column,x,y\n0,0,7,300\n")
        << "bytes 20, points 1, dropped 0, broken 0, frames by marker 0, frames by sync 2";

    // A point without a reading is dropped; two 0xCC inside a point break it off.
    const QByteArray damaged = hex("CC CC 00 01 04 00 00 02 00 03 00 CC CC 00 09 00 0A DD DD "
                                   "00 00 00 FF CC CC");
    QTest::newRow("dropped and broken points")
        << damaged << "jsonl"
        << QByteArray("{\"frame\": 0, \"flags\": \"\", \"samples\": [3, 2, 10, 9]}\n")
        << "bytes 25, points 2, dropped 1, broken 1, frames by marker 1, frames by sync 0";
    QTest::newRow("nothing before the first sync")
        << hex("00 10 00 64 DD DD 00 00 00 00") << "jsonl" << QByteArray()
        << "bytes 10, points 0, dropped 0, broken 0, frames by marker 0, frames by sync 0";
}

void TestEnvTool::decode()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, format);
    QFETCH(QByteArray, expected);
    QFETCH(QString, stats);

    QVERIFY(writeFile(path("decode.bin"), stream));
    // From a file, and from standard input as "-" and as no argument at all.
    const QList<QPair<QStringList, QByteArray>> runs {
        {{"decode", path("decode.bin"), "--format", format}, {}},
        {{"decode", "-", "--format", format}, stream},
        {{"decode", "--format", format}, stream},
    };
    for (const auto &run : runs) {
        const ToolResult result = runTool(run.first, run.second);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, expected);
        QCOMPARE(result.errLines(), QStringList {stats});
    }
}

// A capture far larger than one read: every frame comes out, in order, and nothing is lost at
// the chunk boundaries.
void TestEnvTool::decodeReadsAnyLengthInChunks()
{
    const int frames = 3000; // about 350 kB
    const QByteArray stream = encodedFrames(1).repeated(frames);
    QVERIFY(writeFile(path("long.bin"), stream));
    const ToolResult result = runTool({"decode", path("long.bin"), "--format", "csv"});
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> rows = result.out.split('\n');
    QCOMPARE(rows.size(), 1 + frames * 27 + 1);
    QCOMPARE(rows.at(1), QByteArray("0,0,0,300"));
    QCOMPARE(rows.at(rows.size() - 2), QByteArray("2999,26,-26,560"));
    QVERIFY(result.err.contains("frames by marker 3000"));
}

void TestEnvTool::simulatorFeedsRecordAndQc()
{
    Simulation simulation({"--fps", "400", "--link", path("module")});
    QVERIFY(simulation.isRunning());
    QCOMPARE(QFileInfo(path("module")).symLinkTarget(), simulation.slavePath());

    // Recording by time, through the link, to a file.
    const ToolResult timed = runTool(
        {"record", "--port", path("module"), "-o", path("timed.bin"), "--seconds", "0.5"});
    QCOMPARE(timed.exitCode, 0);
    QCOMPARE(timed.err, QByteArray()); // no progress line: standard error is not a terminal
    const QByteArray recorded = readFile(path("timed.bin"));
    QVERIFY(recorded.size() > 5000);

    // Recording by size, on standard output.
    const ToolResult sized
        = runTool({"record", "--port", simulation.slavePath(), "--bytes", "1000"});
    QCOMPARE(sized.exitCode, 0);
    QCOMPARE(sized.out.size(), 1000);

    // The recording holds whole frames of 27 points, each decoded without loss.
    const ToolResult decoded = runTool({"decode", path("timed.bin")});
    QCOMPARE(decoded.exitCode, 0);
    const QList<QByteArray> lines = decoded.out.split('\n');
    QVERIFY(lines.size() > 50);
    for (int i = 1; i + 1 < lines.size(); ++i) {
        const QJsonObject frame = QJsonDocument::fromJson(lines.at(i)).object();
        QCOMPARE(frame.value("frame").toInt(), i);
        QCOMPARE(frame.value("samples").toArray().size(), 54);
        QCOMPARE(frame.value("flags").toString().size(), 8);
    }
    QVERIFY2(decoded.err.contains("dropped 0, broken 0"), decoded.err.constData());

    // The same check on the capture and on the live line.
    QFile::remove(xdg.log());
    const ToolResult onCapture = runTool({"qc", "--plan", QStringLiteral(EXAMPLE_PLAN), "--test",
                                          "Board A", "--capture", path("timed.bin"), "--no-log"});
    QCOMPARE(onCapture.outLines(), QStringList {"Pass"});
    QCOMPARE(onCapture.exitCode, 0);
    // Without --plan, the plan beside envtool; a log that cannot be written is an error after the
    // verdict.
    const ToolResult found = runTool({"qc", "--test", "Board A", "--capture", path("timed.bin"),
                                      "--no-log", "--json", path("found.json")});
    QCOMPARE(found.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(readFile(path("found.json")))["plan"]["path"].toString(),
             QFileInfo(QStringLiteral(ENVTOOL_PATH)).absolutePath() + "/qc.json");
    // --keep-capture keeps the module's bytes judged as a session, whatever the verdict.
    const ToolResult kept
        = runTool({"qc", "--test", "Board A", "--capture", path("timed.bin"), "--no-log",
                   "--keep-capture", path("kept.session"), "--json", path("kept.json")});
    QCOMPARE(kept.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(readFile(path("kept.json")))["capture"]["path"].toString(),
             path("kept.session"));
    QCOMPARE(moduleBytes(path("kept.session")), readFile(path("timed.bin")));
    const ToolResult unlogged
        = runTool({"qc", "--plan", QStringLiteral(EXAMPLE_PLAN), "--test", "Board A", "--capture",
                   path("timed.bin"), "--log", path("plan.json/log")});
    QCOMPARE(unlogged.outLines(), QStringList {"Pass"});
    QCOMPARE(unlogged.exitCode, 2);
    QCOMPARE(unlogged.errLines(),
             QStringList {"envtool qc: cannot append the test record to " + path("plan.json/log")
                          + ": Not a directory"});
    QVERIFY(!QFileInfo::exists(xdg.log()));

    const ToolResult onPort
        = runTool({"qc", "--plan", path("plan.json"), "--test", "Station", "--port", path("module"),
                   "--serial", "SN-7", "--json", path("record.json")});
    QCOMPARE(onPort.exitCode, 1); // the wave leaves channel 3's narrow window
    QCOMPARE(onPort.outLines().value(0), QStringLiteral("Fail"));
    const QJsonObject record = QJsonDocument::fromJson(readFile(path("record.json"))).object();
    const QByteArray log = readFile(xdg.log());
    QCOMPARE(log.count('\n'), 1);
    QCOMPARE(QJsonDocument::fromJson(log).object(), record);
    QCOMPARE(record.value("plan").toObject().value("path").toString(),
             QFileInfo(path("plan.json")).absoluteFilePath());
    QCOMPARE(record.value("test").toString(), QStringLiteral("Station"));
    QCOMPARE(record.value("program").toString(), QStringLiteral("envtool"));
    QCOMPARE(record.value("rules").toString(), QStringLiteral("envviewer"));
    QCOMPARE(record.value("source").toString(), path("module"));
    QCOMPARE(record.value("serial").toString(), QStringLiteral("SN-7"));
    QStringList needs; // channel 10 once, as the later of its ranges has it
    for (const QJsonValue &c : record.value("channels").toArray())
        needs << QString("%1:%2").arg(c["channel"].toInt()).arg(c["need"].toInt());
    QCOMPARE(needs, (QStringList {"3:10", "10:15", "26:10"}));
    QCOMPARE(record.value("verdict").toString(), QStringLiteral("Fail"));
    // A failed run keeps its capture in the captures folder, named after its id.
    const QJsonObject capture = record.value("capture").toObject();
    QCOMPARE(capture.value("path").toString(),
             xdg.path("data/envviewer/captures/") + record.value("id").toString() + ".session");
    const QByteArray captured = readFile(capture.value("path").toString());
    QCOMPARE(capture.value("sha256").toString(),
             QCryptographicHash::hash(captured, QCryptographicHash::Sha256).toHex());
    QVERIFY(!moduleBytes(capture.value("path").toString()).isEmpty());
    const QStringList messages = record.value("failures").toVariant().toStringList();
    QCOMPARE(messages, onPort.outLines().mid(1));
    // The wave crosses channel 3's window now and then, so its count is small but not always 0.
    QCOMPARE(messages.filter("Sample Count Fail : 4 [-5, 5], need: 10, got: ").size(), 1);

    QCOMPARE(simulation.stop(), 0);
}

void TestEnvTool::results_data()
{
    QTest::addColumn<QStringList>("args"); // after "results --log LOG", or alone when empty
    QTest::addColumn<QString>("out"); // JSON compared as compact JSON
    QTest::addColumn<bool>("skipped"); // whether standard error counts the two bad lines

    QTest::newRow("no log yet") << QStringList() << "no results recorded yet\n" << false;
    QTest::newRow("table")
        << QStringList {"--format", "table"}
        << R"(test                runs  passes   fails   yield  boards  first-pass   final  by-2nd  by-3rd  first                          last
Board "B", rev 2       1       1       0  100.0%       0           -       -       -       -  2026-03-02T08:05:00.000+00:00  2026-03-02T08:05:00.000+00:00
Board A                3       1       2   33.3%       0           -       -       -       -  2026-03-01T10:00:00.000+01:00  2026-03-02T08:00:00.000+00:00
       2  Sample Count Fail : 27 [-80, 80], need: 30, got: 0
       1  Frame Count Fail
)" << true;
    QTest::newRow("csv of one label")
        << QStringList {"--format", "csv", "--label", "Board \"B\", rev 2"}
        << "test,runs,passes,fails,yield,boards,first_pass,final,first,last,failure1,count1,"
           "failure2,count2,failure3,count3,second_attempt,third_attempt\n"
           "\"Board \"\"B\"\", rev 2\",1,1,0,100.0,0,,,2026-03-02T08:05:00.000+00:00,"
           "2026-03-02T08:05:00.000+00:00,,,,,,,,\n"
        << true;
    // 09:15 UTC lies between the first record (09:00 UTC) and the second (09:30 UTC).
    QTest::newRow("json since a time")
        << QStringList {"--format", "json",   "--since", "2026-03-01T10:15:00+01:00",
                        "--label",  "Board A"}
        << R"([{"boards":0,"fails":2,"failures":[{"count":2,"text":"Sample Count Fail : 27 [-80, 80], need: 30, got: 0"},{"count":1,"text":"Frame Count Fail"}],"finalYield":null,"first":"2026-03-01T09:30:00.000+00:00","firstPassYield":null,"last":"2026-03-02T08:00:00.000+00:00","passes":0,"runs":2,"secondAttemptYield":null,"test":"Board A","thirdAttemptYield":null,"yield":0}])"
        << true;
}

// A log with passes, fails, a line that is no record and one cut short by a killed writer.
void TestEnvTool::results()
{
    QFETCH(QStringList, args);
    QFETCH(QString, out);
    QFETCH(bool, skipped);

    QVERIFY(writeFile(
        path("results.jsonl"),
        R"({"version":1,"time":"2026-03-01T10:00:00.000+01:00","test":"Board A","verdict":"Pass","failures":[]}
{"version":1,"time":"2026-03-01T09:30:00.000+00:00","test":"Board A","verdict":"Fail","failures":["Frame Count Fail","Sample Count Fail : 27 [-80, 80], need: 30, got: 0"]}
not a record
{"version":1,"time":"2026-03-02T08:00:00.000+00:00","test":"Board A","verdict":"Fail","failures":["Sample Count Fail : 27 [-80, 80], need: 30, got: 0"]}
{"version":1,"time":"2026-03-02T08:05:00.000+00:00","test":"Board \"B\", rev 2","verdict":"Pass","failures":[]}
{"version":1,"time":"2026-03-02T08:06:00.0)"));
    TemporaryXdg fresh; // whatever the other tests judged
    const ToolResult result
        = runTool(QStringList {"results"}
                  + (args.isEmpty() ? args : QStringList {"--log", path("results.jsonl")} + args));
    QCOMPARE(result.exitCode, 0);
    // Each line passed over with its line and reason, then how many.
    const QByteArray log = path("results.jsonl").toUtf8();
    QCOMPARE(result.err,
             skipped ? "envtool results: line 3 of " + log
                     + " is no record (no JSON: illegal value); skipped\n"
                       "envtool results: line 6 of "
                     + log
                     + " is no record (a last line without its end); skipped\n"
                       "envtool results: skipped 2 malformed or truncated line(s) of "
                     + log + "\n"
                     : QByteArray());
    if (args.contains("json"))
        QCOMPARE(QJsonDocument::fromJson(result.out).toJson(QJsonDocument::Compact), out.toUtf8());
    else
        QCOMPARE(QString::fromUtf8(result.out), out);
}

void TestEnvTool::resultsCapability_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("out"); // JSON compared as compact JSON
    // envviewer's channel 2, shown as 3: N = 40, grand mean 4; within sd √((40 + 30) / 38),
    // overall sd √((70 + 10 · 9 + 30 · 1) / 39); the latest window [-10, 10]: 6 / (3 sd).
    QTest::newRow("table")
        << "table"
        << R"(test     channel  runs  samples  x-mean  x-within-sd  x-overall-sd  x-cpk  x-ppk  y-mean  y-within-sd  y-overall-sd  y-cpk  y-ppk  outside  known-runs  window
Board A        3     2       40       4        1.357         2.207   1.47   0.91     104        1.357         2.207   1.47   0.91    0.00%           2  x[-10, 10] y[90, 110]  under 1.33; windows differ: the latest holds
)";
    QTest::newRow("csv") << "csv"
                         << "test,channel,runs,samples,x_mean,x_within_sd,x_overall_sd,x_cpk,"
                            "x_ppk,y_mean,y_within_sd,y_overall_sd,y_cpk,y_ppk,outside_percent,"
                            "outside_runs,window_x_min,window_x_max,window_y_min,window_y_max,"
                            "windows_differ,marked\n"
                            "Board A,3,2,40,4,1.3572417850765923,2.2072142786315223,"
                            "1.4735767952260144,0.9061195459645197,104,1.3572417850765923,"
                            "2.2072142786315223,1.4735767952260144,0.9061195459645197,0,2,-10,10,"
                            "90,110,true,true\n";
    QTest::newRow("json")
        << "json"
        << R"([{"channel":3,"marked":true,"outsidePercent":0,"outsideRuns":2,"runs":2,"samples":40,"test":"Board A","window":{"x":[-10,10],"y":[90,110]},"windowsDiffer":true,"x":{"cpk":1.4735767952260144,"mean":4,"overallSd":2.2072142786315223,"ppk":0.9061195459645197,"withinSd":1.3572417850765923},"y":{"cpk":1.4735767952260144,"mean":104,"overallSd":2.2072142786315223,"ppk":0.9061195459645197,"withinSd":1.3572417850765923}}])";
}

// Two runs of one channel, the later judged with a narrower window.
void TestEnvTool::resultsCapability()
{
    QFETCH(QString, format);
    QFETCH(QString, out);
    const QString run
        = R"({"version":1,"id":"00000000-0000-4000-8000-00000000000%1","time":"2026-03-01T0%1:00:00.000+00:00","rules":"envviewer","test":"Board A","verdict":"Pass","failures":[],"channels":[{"channel":2,"good":%2,"need":5,"samples":%2,"window":{"x":[-%3,%3],"y":[%4,%5]},"x":{"min":-5,"max":8,"mean":%6,"sd":%7},"y":{"min":95,"max":108,"mean":%8,"sd":%7}}]})";
    QVERIFY(writeFile(path("capability.jsonl"),
                      (run.arg(8).arg(10).arg(20).arg(80).arg(120).arg(1).arg(2).arg(101) + '\n'
                       + run.arg(9).arg(30).arg(10).arg(90).arg(110).arg(5).arg(1).arg(105) + '\n')
                          .toUtf8()));
    const ToolResult result = runTool(
        {"results", "--capability", "--log", path("capability.jsonl"), "--format", format});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    if (format == "json")
        QCOMPARE(QJsonDocument::fromJson(result.out).toJson(QJsonDocument::Compact), out.toUtf8());
    else
        QCOMPARE(QString::fromUtf8(result.out), out);
}

void TestEnvTool::recordKeepsEverythingOnCtrlC()
{
    Simulation simulation({"--fps", "200"});
    QVERIFY(simulation.isRunning());
    QProcess record;
    record.start(QStringLiteral(ENVTOOL_PATH),
                 {"record", "--port", simulation.slavePath(), "-o", path("interrupted.bin")});
    QVERIFY(record.waitForStarted());
    QTRY_VERIFY(unfinishedOutputSize(path("interrupted.bin")) > 2000);
    ::kill(pid_t(record.processId()), SIGINT);
    QVERIFY(record.waitForFinished(5000));
    QCOMPARE(record.exitStatus(), QProcess::NormalExit);
    QCOMPARE(record.exitCode(), 0);
    QCOMPARE(record.readAllStandardError(), QByteArray());

    // Whatever was received is in the file, and it is one unbroken piece of the stream.
    const QByteArray bytes = readFile(path("interrupted.bin"));
    QVERIFY(bytes.size() > 2000);
    StreamDecoder decoder;
    decoder.decode(bytes.constData(), bytes.size());
    QCOMPARE(decoder.stats().broken, quint64(0));
    QVERIFY(decoder.stats().framesByMarker >= 10);
}

// The module goes away mid-recording: what came is kept, and the error is one line.
void TestEnvTool::recordKeepsEverythingWhenTheLineGoes()
{
    Simulation simulation({"--fps", "200"});
    QVERIFY(simulation.isRunning());
    QProcess record;
    record.start(QStringLiteral(ENVTOOL_PATH),
                 {"record", "--port", simulation.slavePath(), "-o", path("lost.bin")});
    QVERIFY(record.waitForStarted());
    QTRY_VERIFY(unfinishedOutputSize(path("lost.bin")) > 2000);
    QCOMPARE(simulation.stop(), 0);
    QVERIFY(record.waitForFinished(5000));
    QCOMPARE(record.exitCode(), 2);
    const QList<QByteArray> err = record.readAllStandardError().split('\n');
    QCOMPARE(err.size(), 2); // one line and its end
    // The module's end closed: said in words, not with a stale system error text.
    QCOMPARE(err.first(),
             "envtool record: lost " + simulation.slavePath().toUtf8() + ": the other end hung up");
    const QByteArray bytes = readFile(path("lost.bin"));
    QVERIFY(bytes.size() > 2000);
    StreamDecoder decoder;
    decoder.decode(bytes.constData(), bytes.size());
    QCOMPARE(decoder.stats().broken, quint64(0));
}

void TestEnvTool::defaultFramesPassTheExamplePlan_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("envviewer") << "envviewer";
    QTest::newRow("envviewer_cam") << "envviewer_cam";
    QTest::newRow("envviewer_qc") << "envviewer_qc";
}

// The demo: frames at the line's own pace pass the example plan in every program with the check.
void TestEnvTool::defaultFramesPassTheExamplePlan()
{
    QFETCH(QString, program);
    const QString capture = path("demo.bin");
    if (!QFileInfo::exists(capture)) {
        Simulation simulation({});
        QVERIFY(simulation.isRunning());
        const ToolResult recorded = runTool(
            {"record", "--port", simulation.slavePath(), "-o", capture, "--seconds", "1.5"});
        QCOMPARE(recorded.exitCode, 0);
        // Paced like the line, 11520 bytes a second: never faster, and slower only on a machine
        // too busy to keep up (the simulator gives up time it could not use).
        const qint64 size = QFileInfo(capture).size();
        QVERIFY2(size > 0.4 * 1.5 * 11520 && size < 1.1 * 1.5 * 11520,
                 qPrintable(QString::number(size)));
    }
    const ToolResult result = runTool({"qc", "--plan", QStringLiteral(EXAMPLE_PLAN), "--test",
                                       "Board A", "--capture", capture, "--program", program});
    QCOMPARE(result.outLines(), QStringList {"Pass"});
    QCOMPARE(result.exitCode, 0);
}

void TestEnvTool::planBuiltStreams_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("test");
    QTest::addColumn<int>("failChannel"); // -1: none
    QTest::addColumn<QString>("fps");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("envviewer passes") << "envviewer"
                                      << "Station" << -1 << "200" << QStringList {"Pass"};
    QTest::newRow("envviewer_cam passes") << "envviewer_cam"
                                          << "Station" << -1 << "200" << QStringList {"Pass"};
    QTest::newRow("envviewer_qc passes") << "envviewer_qc"
                                         << "Station" << -1 << "200" << QStringList {"Pass"};
    QTest::newRow("envviewer, channel 3 fails")
        << "envviewer"
        << "Station" << 3 << "200"
        << QStringList {"Fail", "Sample Count Fail : 4 [-5, 5], need: 10, got: 0"};
    QTest::newRow("envviewer_qc, channel 3 fails")
        << "envviewer_qc"
        << "Station" << 3 << "200"
        << QStringList {"Fail", "Sample Count Fail : 3 [-5, 5], need: 10, got: 0"};
    QTest::newRow("the later range of channel 10 governs")
        << "envviewer"
        << "Station" << 10 << "200"
        << QStringList {"Fail", "Sample Count Fail : 11 [-2000, -1000], need: 15, got: 0"};
    QTest::newRow("channel 26 admits every X, so its Y fails")
        << "envviewer_qc"
        << "Station" << 26 << "200"
        << QStringList {"Fail", "Sample Count Fail : 26 [-40000, 40000], need: 10, got: 0"};
    QTest::newRow("too few frames")
        << "envviewer"
        << "Many" << -1 << "200" << QStringList {"Fail", "Frame Count Fail"};
}

void TestEnvTool::planBuiltStreams()
{
    QFETCH(QString, program);
    QFETCH(QString, test);
    QFETCH(int, failChannel);
    QFETCH(QString, fps);
    QFETCH(QStringList, expected);

    QStringList args {"--plan", path("plan.json"), "--test", test, "--fps", fps};
    if (failChannel >= 0)
        args << "--fail-channel" << QString::number(failChannel);
    Simulation simulation(args);
    QVERIFY(simulation.isRunning());
    const ToolResult result = runTool({"qc", "--plan", path("plan.json"), "--test", test, "--port",
                                       simulation.slavePath(), "--program", program});
    QCOMPARE(result.outLines(), expected);
    QCOMPARE(result.exitCode, expected.first() == QLatin1String("Pass") ? 0 : 1);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(simulation.stop(), 0);
}

void TestEnvTool::frameLimitAndReplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QByteArray>("exactBytes"); // empty when the frames are generated

    QTest::newRow("generated frames")
        << QStringList {"--frames", "4", "--fps", "100"} << 4 << QByteArray();
    QTest::newRow("generated at the line's pace")
        << QStringList {"--frames", "2"} << 2 << QByteArray();
    QTest::newRow("replay to its end")
        << QStringList {"--replay", "%dir/capture.bin"} << 3 << encodedFrames(3);
    QTest::newRow("replay cut after two frames")
        << QStringList {"--replay", "%dir/capture.bin", "--frames", "2"} << 2
        << encodedFrames(3).left(2 + 2 * (27 * 4 + 8) - 6);
    QTest::newRow("replay looped to five frames")
        << QStringList {"--replay", "%dir/capture.bin", "--loop", "--frames", "5"} << 5
        << encodedFrames(3) + encodedFrames(3).left(2 + 2 * (27 * 4 + 8) - 6);
}

// The simulator stops by itself after its frames, once the line has taken them; the viewer's end
// of the line gets every byte, whenever it opens it.
void TestEnvTool::frameLimitAndReplay()
{
    QFETCH(QStringList, args);
    QFETCH(int, frames);
    QFETCH(QByteArray, exactBytes);

    Simulation simulation(expand(args));
    QVERIFY(simulation.isRunning());
    QSerialPort port(simulation.slavePath());
    QVERIFY(port.open(QIODevice::ReadOnly));
    QByteArray received;
    StreamDecoder decoder;
    QTRY_VERIFY_WITH_TIMEOUT(
        (received += port.readAll(), simulation.tool().state() == QProcess::NotRunning), 10000);
    received += port.readAll();
    QCOMPARE(simulation.tool().exitCode(), 0);
    decoder.decode(received.constData(), received.size());
    QCOMPARE(decoder.stats().framesByMarker, quint64(frames));
    QCOMPARE(decoder.stats().broken, quint64(0));
    if (!exactBytes.isEmpty())
        QCOMPARE(received.toHex(), exactBytes.toHex());
}

void TestEnvTool::replayLoopsTheCapture()
{
    const QByteArray capture = readFile(path("capture.bin"));
    Simulation simulation({"--replay", path("capture.bin"), "--loop"});
    QVERIFY(simulation.isRunning());
    const int size = 3 * capture.size();
    const ToolResult result
        = runTool({"record", "--port", simulation.slavePath(), "--bytes", QString::number(size)});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.size(), size);
    // Wherever the recording began, it is the capture over and over.
    QVERIFY(capture.repeated(5).contains(result.out));
    QCOMPARE(simulation.stop(), 0);
}

void TestEnvTool::stopRemovesTheLink()
{
    const QString link = path("stopped");
    QVERIFY(QFile::link(path("gone"), link)); // a stale link from an earlier run is replaced
    Simulation simulation({"--link", link});
    QVERIFY(simulation.isRunning());
    QCOMPARE(QFileInfo(link).symLinkTarget(), simulation.slavePath());
    QCOMPARE(simulation.stop(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));
}

// --port opens a named port as the viewer does: here the slave of a pseudo-terminal whose master
// end plays the computer.
void TestEnvTool::simulateOnAPort()
{
    PseudoTerminal computer;
    QVERIFY(computer.isOpen());
    QProcess simulate;
    simulate.start(QStringLiteral(ENVTOOL_PATH),
                   {"simulate", "--port", computer.slavePath(), "--frames", "5", "--fps", "50"});
    QVERIFY(simulate.waitForStarted());
    // The command goes out while the frames come: the line carries both ways at once.
    QVERIFY(computer.write(QByteArray::fromHex("FFFFFFFF0C01")));
    const QByteArray stream = computer.read(5 * (27 * 4 + 8), 5000);
    QVERIFY(simulate.waitForFinished(5000));
    QCOMPARE(simulate.exitCode(), 0);
    QCOMPARE(simulate.readAllStandardOutput(), QByteArray("pwmSet\n"));
    QCOMPARE(simulate.readAllStandardError(), QByteArray());

    StreamDecoder decoder;
    decoder.decode(stream.constData(), stream.size());
    QCOMPARE(decoder.stats().framesByMarker, quint64(5));
    QCOMPARE(decoder.stats().points, quint64(5 * 27));
    QCOMPARE(decoder.stats().broken + decoder.stats().dropped, quint64(0));
}

void TestEnvTool::commandsFromTheLine_data()
{
    QTest::addColumn<QList<QByteArray>>("writes"); // hex, one write each
    QTest::addColumn<QStringList>("named");

    using Writes = QList<QByteArray>;
    QTest::newRow("one packet") << Writes {"FFFFFFFF0201"} << QStringList {"LaserON"};
    QTest::newRow("two packets in one write")
        << Writes {"FFFFFFFF0200FFFFFFFF0402"} << QStringList {"LaserOFF", "EXP 2"};
    QTest::newRow("a packet split over writes")
        << Writes {"FFFF", "FFFF07", "0D"} << QStringList {"calibX 13"};
    QTest::newRow("the seven-byte PWM packet")
        << Writes {"FFFFFFFF020264"} << QStringList {"PWM7 100"};
    QTest::newRow("unknown bytes, then a packet")
        << Writes {"1234FFFFFFFF0A00"} << QStringList {"unknown 12 34", "calibReset"};
    QTest::newRow("unknown bytes alone come out after a pause")
        << Writes {"0102FF"} << QStringList {"unknown 01 02 FF"};
    QTest::newRow("a value the control never sends")
        << Writes {"FFFFFFFF0407"} << QStringList {"EXP 7"};
}

// The simulator names what arrives on its line, however the bytes are split.
void TestEnvTool::commandsFromTheLine()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QStringList, named);

    Simulation simulation({"--fps", "20"});
    QVERIFY(simulation.isRunning());
    QSerialPort port(simulation.slavePath());
    QVERIFY(port.open(QIODevice::WriteOnly));
    for (const QByteArray &write : writes) {
        port.write(QByteArray::fromHex(write));
        QVERIFY(port.waitForBytesWritten(2000));
        QTest::qWait(20);
    }
    QStringList lines;
    QDeadlineTimer deadline(5000);
    while (lines.size() < named.size() && !deadline.hasExpired())
        lines += simulation.waitForLines(named.size() - lines.size(), 100);
    QCOMPARE(lines, named);
    QCOMPARE(simulation.stop(), 0);
    QCOMPARE(simulation.takeLines(), QStringList());
}

void TestEnvTool::tapForwardsAndRecords_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("Ctrl-C") << "SIGINT" << 0;
    QTest::newRow("SIGTERM") << "SIGTERM" << 0;
    QTest::newRow("end of --seconds") << "seconds" << 0;
    QTest::newRow("the module goes away") << "hang-up" << 2;
}

// A module on one pseudo-terminal, a viewer on the tap's: both sides get exactly what the other
// sent, and the session holds all of it, however the tap ends.
void TestEnvTool::tapForwardsAndRecords()
{
    QFETCH(QString, ending);
    QFETCH(int, exitCode);

    PseudoTerminal module;
    const QString session = path("tap.session");
    QStringList args {"tap", "--port", module.slavePath(), "--link", path("viewer"), "-o", session};
    if (ending == "seconds")
        args << QStringList {"--seconds", "3"};
    RunningTool tap(args);
    QVERIFY(tap.isRunning());
    QSerialPort viewer(path("viewer"));
    QVERIFY(viewer.open(QIODevice::ReadWrite));

    // The first command arriving shows that the tap has seen the viewer open.
    const QList<QByteArray> commands {hex("FFFFFFFF0201"), hex("FFFFFFFF04"), hex("02"),
                                      hex("34FFFFFFFF0A00")};
    viewer.write(commands[0]);
    QCOMPARE(module.read(6), commands[0]);
    const QByteArray frames = encodedFrames(20);
    QVERIFY(module.write(frames.left(1000)));
    for (const QByteArray &command : commands.mid(1)) {
        viewer.write(command);
        QVERIFY(viewer.waitForBytesWritten(2000));
    }
    QVERIFY(module.write(frames.mid(1000)));
    QCOMPARE(readPort(viewer, frames.size()), frames);
    QCOMPARE(module.read(13), commands.mid(1).join());

    if (ending == "hang-up")
        module.closeMaster();
    if (ending == "seconds" || ending == "hang-up")
        QVERIFY(tap.tool().waitForFinished(5000));
    QCOMPARE(tap.stop(ending == "SIGINT" ? SIGINT : SIGTERM), exitCode);
    const QStringList err
        = QString::fromUtf8(tap.tool().readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(err.size(), exitCode == 0 ? 0 : 1);
    if (exitCode != 0)
        QVERIFY2(err.first().startsWith("envtool tap: lost " + module.slavePath()),
                 qPrintable(err.first()));
    // The viewer sees its module unplugged, and the link is gone.
    QTRY_VERIFY(SerialLine::isDeviceGone(viewer));
    QVERIFY(!QFileInfo(path("viewer")).isSymLink());

    // One line per command with the seconds since the start, as decode lists them from the
    // session.
    const QStringList lines = tap.takeLines();
    const QStringList names {"LaserON", "EXP 2", "unknown 34", "calibReset"};
    QCOMPARE(lines.size(), names.size());
    const QRegularExpression form("^(\\d+\\.\\d{3}) (.*)$");
    double last = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = form.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(m.captured(2), names[i]);
        QVERIFY(m.captured(1).toDouble() >= last);
        last = m.captured(1).toDouble();
    }
    const ToolResult listed = runTool({"decode", "--commands", session});
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(listed.outLines(), lines);
    const ToolResult json = runTool({"decode", "--commands", "--format", "jsonl", session});
    const QJsonObject first = QJsonDocument::fromJson(json.out.split('\n').first()).object();
    QCOMPARE(first.value("command").toString(), QString("LaserON"));
    QCOMPARE(first.value("bytes").toString(), QString("ffffffff0201"));
    QCOMPARE(qRound64(first.value("time_us").toDouble() / 1000),
             qRound64(lines[0].split(' ')[0].toDouble() * 1000));

    // The module's direction decodes exactly as the bytes the module sent.
    QVERIFY(writeFile(path("sent.bin"), frames));
    const ToolResult decoded = runTool({"decode", session});
    QCOMPARE(decoded.exitCode, 0);
    QCOMPARE(decoded.out, runTool({"decode", path("sent.bin")}).out);
    QCOMPARE(decoded.errLines(), runTool({"decode", path("sent.bin")}).errLines());
}

// The viewer closes its side and opens it again: the tap records on meanwhile and forwards again.
void TestEnvTool::tapFollowsTheViewer()
{
    PseudoTerminal module;
    RunningTool tap({"tap", "--port", module.slavePath(), "--pty", "-o", path("reopen.session")});
    QVERIFY(tap.isRunning());
    const QByteArray before = encodedFrames(2), meanwhile = encodedFrames(3),
                     after = encodedFrames(4);
    {
        QSerialPort viewer(tap.slavePath());
        QVERIFY(viewer.open(QIODevice::ReadWrite));
        viewer.write(hex("FFFFFFFF0201"));
        QCOMPARE(module.read(6), hex("FFFFFFFF0201"));
        QVERIFY(module.write(before));
        QCOMPARE(readPort(viewer, before.size()), before);
    }
    QVERIFY(module.write(meanwhile));
    QSerialPort viewer(tap.slavePath());
    QVERIFY(viewer.open(QIODevice::ReadWrite));
    viewer.write(hex("FFFFFFFF0200"));
    QCOMPARE(module.read(6), hex("FFFFFFFF0200"));
    QVERIFY(module.write(after));
    // What came while the viewer was away is dropped, unless it came before the tap noticed.
    QByteArray got = readPort(viewer, after.size());
    if (got.size() > after.size() && got.size() < meanwhile.size() + after.size())
        got += readPort(viewer, meanwhile.size() + after.size() - got.size());
    QVERIFY(got == after || got == meanwhile + after);
    QCOMPARE(tap.stop(SIGINT), 0);

    QVERIFY(writeFile(path("reopen.bin"), before + meanwhile + after));
    QCOMPARE(runTool({"decode", path("reopen.session")}).out,
             runTool({"decode", path("reopen.bin")}).out);
}

void TestEnvTool::sessionAsCapture_data()
{
    QTest::addColumn<QStringList>("args"); // %in is the capture or the session
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("message"); // of the one line on standard error, with damage

    const QStringList decode {"decode", "%in"};
    const QStringList csv {"decode", "--format", "csv", "%in"};
    const QStringList qc {"qc",        "--plan", "%dir/plan.json", "--test", "Station",
                          "--capture", "%in"};
    QTest::newRow("decode") << decode << ""
                            << "";
    QTest::newRow("decode as CSV") << csv << ""
                                   << "";
    QTest::newRow("qc") << qc << ""
                        << "";
    QTest::newRow("decode, truncated") << decode << "truncated"
                                       << "truncated record at byte";
    QTest::newRow("commands, truncated")
        << QStringList {"decode", "--commands", "%in"} << "truncated"
        << "truncated record";
    QTest::newRow("qc, truncated") << qc << "truncated"
                                   << "truncated record at byte";
    QTest::newRow("decode, unknown version") << decode << "version"
                                             << "version 2 is unknown";
    QTest::newRow("qc, unknown version") << qc << "version"
                                         << "version 2 is unknown";
}

// A session counts as the capture of its module's direction; damage is reported after what came
// before it was written.
void TestEnvTool::sessionAsCapture()
{
    QFETCH(QStringList, args);
    QFETCH(QString, damage);
    QFETCH(QString, message);

    const QByteArray frames = encodedFrames(6);
    const QByteArray command = hex("FFFFFFFF0201");
    const QByteArray file = sessionOf({{'V', command},
                                       {'M', frames.left(300)},
                                       {'M', frames.mid(300, 200)},
                                       {'V', command},
                                       {'M', frames.mid(500)}},
                                      damage == "version" ? 2 : 1);
    // Truncated inside the last record: what the complete ones hold still counts.
    const int kept = damage == "truncated" ? 500 : damage == "version" ? 0 : frames.size();
    QVERIFY(writeFile(path("in.session"), damage == "truncated" ? file.chopped(5) : file));
    QVERIFY(writeFile(path("in.bin"), frames.left(kept)));

    const QStringList onSession = expand(args).replaceInStrings("%in", path("in.session"));
    const ToolResult result = runTool(onSession);
    if (damage.isEmpty()) {
        const ToolResult raw = runTool(expand(args).replaceInStrings("%in", path("in.bin")));
        QCOMPARE(result.exitCode, raw.exitCode);
        QCOMPARE(result.out, raw.out);
        QCOMPARE(result.errLines(), raw.errLines());
        return;
    }
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.errLines().size(), 1);
    QVERIFY2(result.errLines().first().contains(message), result.err.constData());
    // A verdict on a damaged capture is no plain one: its record says so.
    if (args.first() == "qc" && damage == "truncated") {
        const QByteArray lastLine = readFile(xdg.log()).trimmed().split('\n').last();
        QVERIFY2(QJsonDocument::fromJson(lastLine)["damage"].toString().contains(message),
                 lastLine.constData());
    }
    if (args.contains("--commands")) {
        QCOMPARE(result.outLines(), QStringList({"0.000 LaserON", "0.003 LaserON"}));
    } else if (damage == "truncated") {
        const ToolResult raw = runTool(expand(args).replaceInStrings("%in", path("in.bin")));
        QCOMPARE(result.out, raw.out);
    } else {
        QCOMPARE(result.out, QByteArray());
    }
}

// simulate --replay plays the module's chunks of a session at their times, and only those.
void TestEnvTool::replayKeepsTheSessionsTimes()
{
    const QByteArray first = encodedFrames(1), second = encodedFrames(2);
    QByteArray file = sessionOf({{'M', first}, {'V', hex("FFFFFFFF0201")}});
    char head[13] = {'M'};
    qToLittleEndian<quint64>(300000, head + 1);
    qToLittleEndian<quint32>(quint32(second.size()), head + 9);
    QVERIFY(writeFile(path("timed.session"), file + QByteArray(head, 13) + second));

    Simulation simulation({"--replay", path("timed.session")});
    QVERIFY(simulation.isRunning());
    QSerialPort viewer(simulation.slavePath());
    QVERIFY(viewer.open(QIODevice::ReadOnly));
    QCOMPARE(readPort(viewer, first.size()), first);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(readPort(viewer, second.size()), second);
    QVERIFY(clock.elapsed() >= 200); // not before its time (less the first chunk's way there)
    QVERIFY(simulation.tool().waitForFinished(5000));
    QCOMPARE(simulation.tool().exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestEnvTool)
#include "tst_envtool.moc"
