// envtool beside the viewer's own window: the window runs in this process, offscreen, on the
// simulator's link or on a pseudo-terminal that this test plays; envtool runs as a process.
//
// Built against envviewer's window and against envviewer_qc's (the seven-byte PWM packet).

#include "app/mainwindow.h"
#include "envtoolrunner.h"
#include "link/streamencoder.h"
#include "qc/qccheck.h"
#include "qc/qcfiles.h"
#include "support/mainwindowprobe.h"
#include "support/pseudoterminal.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr Deliverable program = MainWindow::deliverable;

// Starts the window on `port` as the operator does: the port's name in the box, then Start.
bool act(MainWindow &window, const QString &action)
{
    const QStringList words = action.split(' ');
    if (words.value(0) == "click") {
        auto *button = window.findChild<QAbstractButton *>(words.value(1));
        if (!button || !button->isEnabled())
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }
    auto *slider = window.findChild<QSlider *>(words.value(1));
    if (words.value(0) != "set" || !slider || !slider->isEnabled())
        return false;
    slider->setValue(words.value(2).toInt());
    return true;
}

QList<short> samplesOf(const QJsonArray &array)
{
    QList<short> samples;
    for (const QJsonValue &v : array)
        samples.append(short(v.toInt()));
    return samples;
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestEnvToolViewer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void decodeAgreesWithFrameDone_data();
    void decodeAgreesWithFrameDone();
    void simulatorNamesTheWindowsCommands_data();
    void simulatorNamesTheWindowsCommands();
    void simulatedFramesPassTheExamplePlanInTheWindow();
    void windowThroughTheTap();

private:
    QTemporaryDir dir;
    std::unique_ptr<Simulation> simulation;
    QString link;
};

void TestEnvToolViewer::initTestCase()
{
    QVERIFY(dir.isValid());
    link = dir.filePath("module");
    simulation = std::make_unique<Simulation>(QStringList {"--link", link});
    QVERIFY(simulation->isRunning());
}

void TestEnvToolViewer::cleanupTestCase()
{
    if (simulation)
        QCOMPARE(simulation->stop(), 0);
}

void TestEnvToolViewer::decodeAgreesWithFrameDone_data()
{
    QTest::addColumn<QString>("source"); // "simulator", or a stream built here
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("readSize"); // bytes per write to the window's line

    QTest::newRow("recorded from the simulator") << "simulator" << QByteArray() << 512;

    const QByteArray example = hex("CC CC 00 10 00 64 00 11 00 22 FF F0 00 05 DD DD 80 00 00 01 "
                                   "CC CC 00 01 00 01 CC");
    QTest::newRow("worked example, one byte per read") << "" << example + hex("DD DD 00") << 1;

    // Points without readings, broken points, long sync runs, garbage between frames.
    QByteArray rough = hex("CC CC 00 01 04 00 00 02 00 03 00 CC CC 00 09 00 0A DD DD 00 00 00 FF "
                           "CC CC 00 07 01 2C")
        + QByteArray(16, char(0xCC)) + hex("12 34 DD DD 56 CC CC 00 05 00 06 DD DD 01 02 03 04");
    QTest::newRow("dropped, broken and sync-ended frames") << "" << rough << 3;

    QRandomGenerator random(7);
    QByteArray noise;
    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < 40; ++f) {
        QVector<StreamPoint> points;
        for (int i = 0; i < 27; ++i)
            points.append({qint16(random.bounded(-300, 300)), qint16(random.bounded(-50, 900))});
        encoder.appendFrame(points, random.generate());
        QByteArray junk(int(random.bounded(6)), Qt::Uninitialized);
        for (char &c : junk)
            c = char(random.bounded(256));
        noise += encoder.takeBytes() + junk;
    }
    QTest::newRow("frames with random junk between them") << "" << noise << 97;
}

// The decoder of envtool and the window's frameDone see the same frames in the same bytes.
void TestEnvToolViewer::decodeAgreesWithFrameDone()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, stream);
    QFETCH(int, readSize);

    const QString capture = dir.filePath("capture.bin");
    if (source == "simulator") {
        const ToolResult recorded
            = runTool({"record", "--port", link, "--bytes", "6000", "-o", capture});
        QCOMPARE(recorded.exitCode, 0);
        QFile file(capture);
        QVERIFY(file.open(QIODevice::ReadOnly));
        stream = file.readAll();
        QCOMPARE(stream.size(), 6000);
    } else {
        QFile file(capture);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(stream), qint64(stream.size()));
    }

    const ToolResult decoded = runTool({"decode", capture});
    QCOMPARE(decoded.exitCode, 0);
    QList<QList<short>> expected;
    for (const QByteArray &line : decoded.out.split('\n')) {
        if (!line.isEmpty())
            expected.append(samplesOf(QJsonDocument::fromJson(line).object()["samples"].toArray()));
    }
    QVERIFY(!expected.isEmpty());

    PseudoTerminal line;
    QVERIFY(line.isOpen());
    MainWindow window;
    QSignalSpy frames(&window, SIGNAL(frameDone(QList<short>)));
    QVERIFY(startOnPort(window, line.slavePath()));
    for (int at = 0; at < stream.size(); at += readSize) {
        QVERIFY(line.write(stream.mid(at, readSize)));
        QTest::qWait(0); // let the window read, so each write arrives as a read of its own
    }
    QTRY_COMPARE(frames.count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(frames.at(i).at(0).value<QList<short>>(), expected.at(i));
}

void TestEnvToolViewer::simulatorNamesTheWindowsCommands_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("named"); // the lines simulate prints

    if constexpr (program == Deliverable::Viewer) {
        QTest::newRow("laser") << QStringList {"click onButton", "click offButton"}
                               << QStringList {"LaserON", "LaserOFF"};
        QTest::newRow("exposure steps")
            << QStringList {"click expButton", "click expButton"} << QStringList {"EXP 1", "EXP 2"};
        QTest::newRow("calibration")
            << QStringList {"set calibxSlider 7", "set calibySlider 40", "set calibzSlider 9",
                            "click calibsetButton"}
            << QStringList {"calibX 7", "calibY 40", "calibZ 9", "calibSet"};
        QTest::newRow("calibReset brings the sliders back")
            << QStringList {"set calibxSlider 20", "click cresetButton"}
            << QStringList {"calibX 20", "calibX 13", "calibReset"};
        QTest::newRow("Ver toggles")
            << QStringList {"click verButton", "click verButton"} << QStringList {"Ver 0", "Ver 1"};
        QTest::newRow("PWM, reset and set")
            << QStringList {"set pwmSlider 100", "click irRstButton", "click irSetButton"}
            << QStringList {"PWM 100", "PWM 155", "pwmReset", "pwmSet"};
    } else {
        QTest::newRow("seven-byte PWM packet")
            << QStringList {"set pwmSlider 100", "set pwmSlider 0"}
            << QStringList {"PWM7 100", "PWM7 0"};
    }
}

void TestEnvToolViewer::simulatorNamesTheWindowsCommands()
{
    QFETCH(QStringList, actions);
    QFETCH(QStringList, named);

    simulation->takeLines(); // nothing left over from an earlier row
    MainWindow window;
    QVERIFY(startOnPort(window, link));
    for (const QString &action : actions)
        QVERIFY2(act(window, action), qPrintable(action));
    // The window writes from the event loop, so the test waits in it.
    QStringList lines;
    QTRY_VERIFY((lines += simulation->takeLines(), lines.size() >= named.size()));
    QCOMPARE(lines, named);
    // Nothing else comes: no unknown bytes, no packet read twice, even after the reader's pause.
    QTest::qWait(300);
    QCOMPARE(simulation->takeLines(), QStringList());
}

// A fresh build's demo: the window on the simulator's link shows frames that pass the example
// plan, judged by the check the QC dialog runs.
void TestEnvToolViewer::simulatedFramesPassTheExamplePlanInTheWindow()
{
    QcCheck check(program,
                  parseQcDocument(findQcPlan(QFileInfo(EXAMPLE_PLAN).absolutePath()).bytes,
                                  qcRules(program).additions));
    QVERIFY(check.start("Board A", 0).selected);
    const int required = check.run().framesRequired;
    QVERIFY(required > 0);

    MainWindow window;
    int counted = 0;
    connect(&window, &MainWindow::frameDone, this,
            [&](const QList<short> &frame) { counted += check.addFrame(frame, 0) ? 1 : 0; });
    QVERIFY(startOnPort(window, link));
    QTRY_VERIFY_WITH_TIMEOUT(counted >= required + 1, 10000);
    const QcVerdict verdict = check.judge();
    QCOMPARE(verdict.messages, QStringList());
    QCOMPARE(verdict.text, QStringLiteral("Pass"));
}

// The window on the tap's path and the module played here: each side gets what the other sent,
// unchanged, and when the module goes away the window sees it unplugged.
void TestEnvToolViewer::windowThroughTheTap()
{
    PseudoTerminal module;
    const QString session = dir.filePath("window.session");
    RunningTool tap(
        {"tap", "--port", module.slavePath(), "--link", dir.filePath("tap"), "-o", session});
    QVERIFY(tap.isRunning());
    MainWindow window;
    QSignalSpy frames(&window, SIGNAL(frameDone(QList<short>)));
    QVERIFY(startOnPort(window, dir.filePath("tap")));
    const bool qc = program == Deliverable::Qc;
    QVERIFY(act(window, qc ? "set pwmSlider 100" : "click onButton"));
    const QByteArray command = hex(qc ? "FFFFFFFF020264" : "FFFFFFFF0201");
    QCOMPARE(module.read(command.size(), 5000), command);

    StreamEncoder encoder;
    encoder.appendSync();
    for (int f = 0; f < 30; ++f) {
        QVector<StreamPoint> points;
        for (int i = 0; i < 27; ++i)
            points.append({qint16(i - f), qint16(200 + 7 * i + f)});
        encoder.appendFrame(points, 0x80000000u >> f);
    }
    const QByteArray stream = encoder.takeBytes();
    QVERIFY(module.write(stream));
    QFile sent(dir.filePath("sent.bin"));
    QVERIFY(sent.open(QIODevice::WriteOnly) && sent.write(stream) == stream.size());
    sent.close();
    QList<QList<short>> expected;
    for (const QByteArray &line : runTool({"decode", sent.fileName()}).out.split('\n')) {
        if (!line.isEmpty())
            expected.append(samplesOf(QJsonDocument::fromJson(line).object()["samples"].toArray()));
    }
    QTRY_COMPARE(frames.count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(frames.at(i).at(0).value<QList<short>>(), expected.at(i));

    module.closeMaster();
    QTRY_VERIFY(window.findChild<QAbstractButton *>("startButton")->isEnabled());
    QTRY_COMPARE(tap.tool().state(), QProcess::NotRunning);
    QCOMPARE(tap.tool().exitCode(), 2);
    QCOMPARE(runTool({"decode", session}).out, runTool({"decode", sent.fileName()}).out);
    const QStringList listed = runTool({"decode", "--commands", session}).outLines();
    QCOMPARE(listed.size(), 1);
    QVERIFY(listed.first().endsWith(qc ? " PWM7 100" : " LaserON"));
}

QTEST_MAIN(TestEnvToolViewer)
#include "tst_envtool_viewer.moc"
