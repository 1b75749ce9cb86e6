// Session files read soundly, and the simulator and decode behave as a line and a shell expect:
// envtool run as a process on real files, pipes and pseudo-terminals.

#include "envtoolrunner.h"
#include "link/streamdecoder.h"
#include "link/streamencoder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

QByteArray threeFrames()
{
    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < 3; ++f)
        encoder.appendFrame(QVector<StreamPoint>(27, StreamPoint {qint16(f), 300}), 1u);
    return encoder.takeBytes();
}

const QByteArray header = "envtool session 1\n";

} // namespace

class TestEnvToolSessions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void readsFilesSoundly_data();
    void readsFilesSoundly();
    void recognisesAHeaderThatComesSlowly();
    void decodeEndsOnASignal_data();
    void decodeEndsOnASignal();
    void lateReaderGetsTheLineRate();
    void linkIsHeldUntilAStopSignal_data();
    void linkIsHeldUntilAStopSignal();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestEnvToolSessions::readsFilesSoundly_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("args"); // the file's path follows
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("err"); // in the one line on standard error

    const QStringList commands {"decode", "--commands"};
    const QStringList decode {"decode"};
    // Times 2^62 * 1.75 and beyond 2^63: the second cannot have been written by tap.
    QTest::newRow("times far apart") << QByteArray::fromHex(
        "656e76746f6f6c2073657373696f6e20310a56000000000000007001000000ff56000000000000009001"
        "000000ff") << commands << 2 << QByteArray("8070450532247.929 unknown FF\n")
                                     << "damaged record at byte 32";
    QTest::newRow("junk after the version") << QByteArray("envtool session 1x\n") << decode << 2
                                            << QByteArray() << "damaged session header";
    QTest::newRow("carriage return after the version")
        << QByteArray("envtool session 1\r\n") << commands << 2 << QByteArray()
        << "damaged session header";
    QTest::newRow("start of the header")
        << QByteArray("env") << decode << 2 << QByteArray() << "truncated session header";
    QTest::newRow("header without its line end") << QByteArray("envtool session 1") << decode << 2
                                                 << QByteArray() << "truncated session header";
    QTest::newRow("short raw capture")
        << QByteArray("abc") << decode << 0 << QByteArray() << "bytes 3, points 0";
    QTest::newRow("replay of the start of a header")
        << QByteArray("envtool") << QStringList {"simulate", "--pty", "--replay"} << 2
        << QByteArray() << "truncated session header";
}

void TestEnvToolSessions::readsFilesSoundly()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);

    QVERIFY(writeFile(path("in"), file));
    const ToolResult result = runTool(args << path("in"));
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out);
    QCOMPARE(result.errLines().size(), 1);
    QVERIFY2(result.errLines().first().contains(err), result.err.constData());
}

// A session on a pipe is told from a raw capture by its whole header, however it trickles in.
void TestEnvToolSessions::recognisesAHeaderThatComesSlowly()
{
    QProcess decode;
    decode.start(QStringLiteral(ENVTOOL_PATH), {"decode", "--commands"});
    QVERIFY(decode.waitForStarted());
    for (const char byte : header) {
        decode.write(&byte, 1);
        QVERIFY(decode.waitForBytesWritten());
        QTest::qWait(5); // each byte its own read
    }
    decode.write(QByteArray::fromHex("56000000000000000006000000ffffffff0201")); // LaserON
    decode.closeWriteChannel();
    QVERIFY(decode.waitForFinished());
    QCOMPARE(decode.readAllStandardError(), QByteArray());
    QCOMPARE(decode.readAllStandardOutput(), QByteArray("0.000 LaserON\n"));
    QCOMPARE(decode.exitCode(), 0);
}

void TestEnvToolSessions::decodeEndsOnASignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// Stopped while it waits for more of its input, decode ends as a shell expects of a command that a
// signal stopped.
void TestEnvToolSessions::decodeEndsOnASignal()
{
    QFETCH(int, signal);
    QProcess decode;
    decode.start(QStringLiteral(ENVTOOL_PATH), {"decode"});
    QVERIFY(decode.waitForStarted());
    decode.write(threeFrames());
    // Each frame is written once its bytes have come, not at the end of the input.
    const QByteArray frames = runTool({"decode", "-"}, threeFrames()).out;
    QByteArray out;
    QTRY_COMPARE((out += decode.readAllStandardOutput()), frames);
    ::kill(pid_t(decode.processId()), signal);
    QVERIFY(decode.waitForFinished());
    QCOMPARE(decode.exitStatus(), QProcess::NormalExit);
    QCOMPARE(decode.exitCode(), 128 + signal);
    QCOMPARE(decode.readAllStandardOutput(), QByteArray());
}

// A viewer that opens the line late gets what the module sends from then on, at the line's rate
// (11520 bytes, about 89 frames, a second), not what was sent before it came.
void TestEnvToolSessions::lateReaderGetsTheLineRate()
{
    Simulation simulation({});
    QVERIFY(simulation.isRunning());
    QTest::qWait(1500); // long enough for the pseudo-terminal to have filled, had it been fed
    QSerialPort viewer(simulation.slavePath());
    QVERIFY(viewer.open(QIODevice::ReadOnly));
    QElapsedTimer clock;
    clock.start();
    StreamDecoder decoder;
    while (clock.elapsed() < 1000) {
        viewer.waitForReadyRead(int(1000 - clock.elapsed()));
        const QByteArray bytes = viewer.readAll();
        decoder.decode(bytes.constData(), bytes.size());
    }
    const quint64 frames = decoder.stats().framesByMarker;
    QVERIFY2(frames <= 95, QByteArray::number(frames));
    QVERIFY2(frames >= 40, QByteArray::number(frames));
    QCOMPARE(simulation.stop(), 0);
}

void TestEnvToolSessions::linkIsHeldUntilAStopSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// The link of a running simulator is its own: a second one is refused it (one line, exit 2) until
// a stop signal ends the first, which removes it.
void TestEnvToolSessions::linkIsHeldUntilAStopSignal()
{
    QFETCH(int, signal);
    const QString link = path("held");
    Simulation first({"--link", link});
    QVERIFY(first.isRunning());
    const ToolResult second = runTool({"simulate", "--pty", "--link", link});
    QCOMPARE(second.exitCode, 2);
    QCOMPARE(second.errLines().size(), 1);
    QVERIFY2(second.errLines().first().contains("another process holds"), second.err.constData());
    QCOMPARE(QFileInfo(link).symLinkTarget(), first.slavePath());
    QCOMPARE(first.stop(signal), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestEnvToolSessions)
#include "tst_envtool_sessions.moc"
