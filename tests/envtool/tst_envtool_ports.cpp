// How envtool holds the module's port: one program per device whatever path leads to it, a
// terminal program's flock() respected, the ports listed, the ways record ends, record and tap
// riding out an unplug, and tap on a module that is slow to take bytes. Separate processes, real
// files, real pseudo-terminals; links in a temporary folder stand in for /dev/serial.

#include "envtoolrunner.h"
#include "link/portlocks.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "support/pseudoterminal.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The viewer's direction of a session file, all its chunks in order.
QByteArray viewerBytesOf(const QByteArray &session)
{
    QByteArray bytes;
    int at = session.indexOf('\n') + 1;
    while (at > 0 && at + 13 <= session.size()) {
        const int size = int(qFromLittleEndian<quint32>(session.constData() + at + 9));
        if (session[at] == 'V')
            bytes += session.mid(at + 13, size);
        at += 13 + size;
    }
    return bytes;
}

// A terminal program's hold on a port: flock(1) keeps an exclusive flock() on it while it runs.
class FlockHolder
{
public:
    explicit FlockHolder(const QString &path)
    {
        process.start("flock", {"--exclusive", "--no-fork", path, "sleep", "60"});
        QTRY_VERIFY(SerialLine::flockHolderOf(path).has_value());
    }
    ~FlockHolder()
    {
        process.kill();
        process.waitForFinished();
    }
    qint64 pid() const { return process.processId(); }

private:
    QProcess process;
};

} // namespace

class TestEnvToolPorts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portsListsLinksAndHolders();
    void flockHolderIsRefused_data();
    void flockHolderIsRefused();
    void reconnectRidesOutAnUnplug_data();
    void reconnectRidesOutAnUnplug();
    void secondOpenIsBusy_data();
    void secondOpenIsBusy();
    void recordEnds_data();
    void recordEnds();
    void tapWaitsForASlowModule();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestEnvToolPorts::initTestCase()
{
    // envtool looks for stable names here instead of /dev/serial.
    QVERIFY(QDir().mkpath(path("serial/by-id")) && QDir().mkpath(path("serial/by-path")));
    qputenv("ENVLINK_SERIAL_FOLDER", path("serial").toUtf8());
}

// Each device once with its links; a port a terminal program holds is busy, and says by whom.
void TestEnvToolPorts::portsListsLinksAndHolders()
{
    PseudoTerminal module, held;
    const QString byId = path("serial/by-id/usb-Maker_Module_A1B2-if00-port0");
    const QString byPath = path("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    QVERIFY(QFile::link(module.slavePath(), byId) && QFile::link(module.slavePath(), byPath));
    FlockHolder holder(held.slavePath());
    QVERIFY(QFile::link(held.slavePath(), path("serial/by-id/usb-Maker_Module_C3D4-if00-port0")));

    const ToolResult json = runTool({"ports", "--format", "json"});
    QCOMPARE(json.exitCode, 0);
    QJsonObject free, busy;
    for (const QJsonValue &value : QJsonDocument::fromJson(json.out).array()) {
        if (value["device"] == module.slavePath())
            free = value.toObject();
        if (value["device"] == held.slavePath())
            busy = value.toObject();
    }
    QCOMPARE(free["byId"].toString(), byId);
    QCOMPARE(free["byPath"].toString(), byPath);
    QCOMPARE(free["busy"].toBool(true), false);
    QCOMPARE(busy["busy"].toBool(), true);
    const QJsonObject holderEntry = busy.value("holder").toObject();
    QCOMPARE(qint64(holderEntry.value("pid").toDouble()), holder.pid());
    QCOMPARE(holderEntry.value("lock").toString(), QStringLiteral("flock"));

    const ToolResult table = runTool({"ports"});
    QCOMPARE(table.exitCode, 0);
    QVERIFY(table.outLines().first().startsWith("device"));
    const QStringList heldLine = table.outLines().filter(held.slavePath() + ' ');
    QCOMPARE(heldLine.size(), 1);
    QVERIFY2(heldLine.first().endsWith(
                 QStringLiteral("busy, held by sleep (process %1)").arg(holder.pid())),
             qPrintable(heldLine.first()));
    QCOMPARE(runTool({"ports", "--format", "xml"}).exitCode, 2);
    QFile::remove(byId);
    QFile::remove(byPath);
    QFile::remove(path("serial/by-id/usb-Maker_Module_C3D4-if00-port0"));
}

void TestEnvToolPorts::flockHolderIsRefused_data()
{
    QTest::addColumn<QStringList>("args"); // %port for the held port
    QTest::newRow("record") << QStringList {"record", "--port", "%port", "-o", path("held.bin")};
    QTest::newRow("qc") << QStringList {"qc",      "--plan", EXAMPLE_PLAN, "--test",
                                        "Board A", "--port", "%port",      "--no-log"};
    QTest::newRow("tap") << QStringList {"tap", "--port", "%port", "--pty"};
}

// A terminal program beside us holds the port with flock(): our command is refused as busy.
void TestEnvToolPorts::flockHolderIsRefused()
{
    QFETCH(QStringList, args);
    PseudoTerminal module;
    FlockHolder holder(module.slavePath());
    args.replaceInStrings("%port", module.slavePath());
    const ToolResult refused = runTool(args);
    QCOMPARE(refused.exitCode, 2);
    QCOMPARE(refused.errLines(),
             QStringList {QStringLiteral("envtool %1: cannot open %2: it is busy, held by sleep "
                                         "(process %3)")
                              .arg(args.first(), module.slavePath())
                              .arg(holder.pid())});
    QVERIFY(!QFileInfo::exists(path("held.bin")));
}

void TestEnvToolPorts::reconnectRidesOutAnUnplug_data()
{
    QTest::addColumn<QString>("command"); // record or tap
    QTest::addColumn<bool>("comesBack"); // else Ctrl-C ends the wait
    QTest::newRow("record") << "record" << true;
    QTest::newRow("tap") << "tap" << true;
    QTest::newRow("record, Ctrl-C while waiting") << "record" << false;
    QTest::newRow("tap, Ctrl-C while waiting") << "tap" << false;
}

// The module is unplugged (its end closed, its link gone) and plugged back as a new device under
// the same link, or stopped while it waits: every byte from before and after is kept, and a
// session marks the gap between.
void TestEnvToolPorts::reconnectRidesOutAnUnplug()
{
    QFETCH(QString, command);
    QFETCH(bool, comesBack);
    const bool tap = command == "tap";
    const QString link = path("serial/by-id/usb-Maker_Module_E5F6-if00-port0");
    const QString output = path(tap ? "unplug.session" : "unplug.bin");
    QFile::remove(output);
    QFile::remove(link);
    auto first = std::make_unique<PseudoTerminal>();
    QVERIFY(QFile::link(first->slavePath(), link));
    QStringList args {command, "--port", link, "--reconnect", "-o", output};
    if (tap)
        args << "--pty";
    QProcess process;
    process.start(ENVTOOL_PATH, args);
    // What the module sends from now on is recorded: tap prints its viewer's side then, record
    // opens its output.
    if (tap)
        QTRY_VERIFY(process.canReadLine());
    else
        QTRY_VERIFY(!unfinishedOutput(output).isEmpty());

    // record keeps its output under a hidden name until it ends.
    const QString written = tap ? output : unfinishedOutput(output);
    const auto moduleBytes = [&](const QString &file) {
        QByteArray bytes;
        QString error;
        SessionFile::readModuleBytes(file, &bytes, &error);
        return bytes;
    };
    const QByteArray before = QByteArray::fromHex("CCCC00010002DDDD00000000").repeated(50);
    QVERIFY(first->write(before));
    QTRY_COMPARE(moduleBytes(written).size(), before.size());
    first->closeMaster();
    QFile::remove(link);
    QTest::qWait(300);
    QCOMPARE(process.state(), QProcess::Running);

    QByteArray after;
    std::unique_ptr<PseudoTerminal> second;
    if (comesBack) {
        second = std::make_unique<PseudoTerminal>();
        QVERIFY(QFile::link(second->slavePath(), link));
        QTRY_VERIFY(SerialLine::flockHolderOf(second->slavePath()).has_value());
        after = QByteArray::fromHex("CCCC00030004DDDD00000001").repeated(40);
        QVERIFY(second->write(after));
        QTRY_COMPARE(moduleBytes(written).size(), before.size() + after.size());
    }
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(moduleBytes(output) == before + after);
    const QStringList errors
        = QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(errors.size(), !tap && comesBack ? 1 : 0);
    if (!errors.isEmpty())
        QVERIFY2(errors.first().startsWith("envtool record: " + link + " was gone for ")
                     && errors.first().endsWith(
                         QStringLiteral(" s; the capture goes on at byte %1").arg(before.size())),
                 qPrintable(errors.first()));
    QFile::remove(link);
    if (!tap)
        return;

    // The session's records: module chunks, the gap once the port is back, the chunks after it.
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    SessionFile reader(&file);
    QVERIFY(reader.readHeader());
    SessionFile::Record record;
    QByteArray beforeGap;
    int gaps = 0;
    qint64 gapStart = 0, gapEnd = 0;
    while (reader.next(&record)) {
        if (record.gap) {
            ++gaps;
            gapStart = record.timeUs;
            gapEnd = record.gapEndUs;
        } else if (!gaps) {
            beforeGap += record.bytes;
        }
    }
    QVERIFY(reader.error().isEmpty());
    // A tap stopped while it waits marks the gap up to its end.
    QCOMPARE(gaps, 1);
    QVERIFY(beforeGap == before);
    QVERIFY(gapEnd - gapStart >= 300000);
    // decode shows the gap as a line of its own; qc judges a session with a gap as damaged.
    const ToolResult decoded = runTool({"decode", output});
    QCOMPARE(decoded.exitCode, 0);
    QVERIFY(decoded.outLines().contains(
        QStringLiteral("{\"gap\": {\"fromUs\": %1, \"toUs\": %2}}").arg(gapStart).arg(gapEnd)));
    const ToolResult judged = runTool(
        {"qc", "--plan", EXAMPLE_PLAN, "--test", "Board A", "--capture", output, "--no-log"});
    QCOMPARE(judged.exitCode, 2);
    QVERIFY2(judged.err.contains("the line was gone from"), judged.err.constData());
}

void TestEnvToolPorts::secondOpenIsBusy_data()
{
    QTest::addColumn<bool>("firstByLink");
    QTest::addColumn<bool>("secondByLink");
    QTest::newRow("path, then path") << false << false;
    QTest::newRow("path, then link") << false << true;
    QTest::newRow("link, then path") << true << false;
}

// A port is one device however it is named: a second program is refused and told who has it.
void TestEnvToolPorts::secondOpenIsBusy()
{
    QFETCH(bool, firstByLink);
    QFETCH(bool, secondByLink);
    PseudoTerminal module;
    const QString link = path("module-link");
    QFile::remove(link);
    QVERIFY(QFile::link(module.slavePath(), link));

    QProcess first;
    first.start(QStringLiteral(ENVTOOL_PATH),
                {"record", "--port", firstByLink ? link : module.slavePath(), "-o", path("a.bin")});
    // record opens its output (under a hidden name until it is whole) only once it holds the
    // port.
    QTRY_VERIFY(unfinishedOutputSize(path("a.bin")) >= 0);

    const QString second = secondByLink ? link : module.slavePath();
    const ToolResult refused
        = runTool({"record", "--port", second, "-o", path("b.bin"), "--seconds", "1"});
    QCOMPARE(refused.exitCode, 2);
    QCOMPARE(refused.errLines(),
             QStringList {QStringLiteral("envtool record: cannot open %1: it is busy, held by "
                                         "envtool (process %2)")
                              .arg(second)
                              .arg(first.processId())});
    QVERIFY(!QFileInfo::exists(path("b.bin")));
    ::kill(pid_t(first.processId()), SIGINT);
    QVERIFY(first.waitForFinished(5000));
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(QFileInfo::exists(path("a.bin")));
    QFile::remove(path("a.bin"));
}

void TestEnvToolPorts::recordEnds_data()
{
    QTest::addColumn<QString>("port"); // "module" (a simulation) or a path that is no port
    QTest::addColumn<QString>("output"); // what -o names, or "terminal" for standard output
    QTest::addColumn<int>("signal"); // stops it once bytes came; 0: --seconds 1
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // the start of standard error

    const QString none = "/nonexistent/ttyENV0", old = "%dir/old.bin";
    QTest::newRow("no such port") << none << old << 0 << 2
                                  << "cannot open " + none + ": no such device";
    QTest::newRow("a full disk") << "module"
                                 << "/dev/full" << 0 << 2
                                 << "cannot write /dev/full: No space left on device";
    QTest::newRow("a terminal") << "module"
                                << "terminal" << 0 << 2
                                << "will not write binary data to a terminal";
    QTest::newRow("SIGHUP") << "module"
                            << "%dir/out.bin" << int(SIGHUP) << 0 << "";
}

void TestEnvToolPorts::recordEnds()
{
    QFETCH(QString, port);
    QFETCH(QString, output);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    output.replace("%dir", dir.path());
    message.replace("%dir", dir.path());
    const QByteArray older = "an older capture";
    {
        QFile old(path("old.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(older) == older.size());
    }

    std::unique_ptr<Simulation> simulation;
    if (port == "module") {
        simulation = std::make_unique<Simulation>(QStringList {"--fps", "200"});
        QVERIFY(simulation->isRunning());
        port = simulation->slavePath();
    }
    PseudoTerminal terminal;
    QProcess record;
    QStringList args {"record", "--port", port};
    if (output == "terminal")
        record.setStandardOutputFile(terminal.slavePath());
    else
        args << "-o" << output;
    if (!signal)
        args << "--seconds"
             << "1";
    record.start(QStringLiteral(ENVTOOL_PATH), args);
    QVERIFY(record.waitForStarted());
    if (signal) {
        QTRY_VERIFY(unfinishedOutputSize(output) > 2000);
        ::kill(pid_t(record.processId()), signal);
    }
    QVERIFY(record.waitForFinished(5000));
    QCOMPARE(record.exitStatus(), QProcess::NormalExit);
    QCOMPARE(record.exitCode(), exitCode);
    const QByteArray err = record.readAllStandardError();
    if (message.isEmpty()) {
        QCOMPARE(err, QByteArray());
    } else {
        QVERIFY2(err.startsWith("envtool record: " + message.toUtf8()), err.constData());
        QCOMPARE(err.count('\n'), 1);
    }

    // A port that does not open leaves an older capture as it was.
    QCOMPARE(readFile(path("old.bin")), older);
    // A stopped recording is whole: every byte that came, one unbroken piece of the stream.
    if (exitCode == 0) {
        const QByteArray bytes = readFile(output);
        StreamDecoder decoder;
        decoder.decode(bytes.constData(), bytes.size());
        QCOMPARE(decoder.stats().broken, quint64(0));
        QVERIFY(decoder.stats().framesByMarker >= 10);
    }
}

// The module's port stops taking bytes while the viewer goes on writing for a few seconds: tap
// waits for it, and once the module reads again everything arrives and is in the session. A
// SIGHUP then ends tap as cleanly as Ctrl-C.
void TestEnvToolPorts::tapWaitsForASlowModule()
{
    PseudoTerminal module; // nobody reads its end until the viewer is done
    const QString session = path("slow.session"), link = path("viewer");
    RunningTool tap({"tap", "--port", module.slavePath(), "--link", link, "-o", session});
    QVERIFY(tap.isRunning());
    QSerialPort viewer(link);
    QVERIFY(viewer.open(QIODevice::ReadWrite));

    // Command packets, far more than the lines between them hold.
    const QByteArray chunk = QByteArray::fromHex("FFFFFFFF0201").repeated(2000);
    QByteArray sent;
    QElapsedTimer writing;
    writing.start();
    while (writing.elapsed() < 2000) {
        viewer.write(chunk);
        sent += chunk;
        QTest::qWait(50);
    }
    QVERIFY(sent.size() > 300000);
    QCOMPARE(tap.tool().state(), QProcess::Running);

    const QByteArray arrived = module.read(sent.size(), 20000);
    QCOMPARE(arrived.size(), sent.size());
    QVERIFY(arrived == sent);
    QCOMPARE(tap.stop(SIGHUP), 0);
    QCOMPARE(tap.tool().readAllStandardError(), QByteArray());
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(viewerBytesOf(readFile(session)) == sent);
}

QTEST_GUILESS_MAIN(TestEnvToolPorts)
#include "tst_envtool_ports.moc"
