// How envtool holds the module's port: one program per device whatever path leads to it, the
// ways record ends, and tap on a module that is slow to take bytes. Separate processes, real
// files, real pseudo-terminals.

#include "envtoolrunner.h"
#include "link/streamdecoder.h"
#include "support/pseudoterminal.h"

#include <QFile>
#include <QFileInfo>
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

} // namespace

class TestEnvToolPorts : public QObject
{
    Q_OBJECT

private slots:
    void secondOpenIsBusy_data();
    void secondOpenIsBusy();
    void recordEnds_data();
    void recordEnds();
    void tapWaitsForASlowModule();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

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
    // record opens its output only once it holds the port.
    QTRY_VERIFY(QFileInfo::exists(path("a.bin")));

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
        QTRY_VERIFY(QFileInfo(output).size() > 2000);
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
