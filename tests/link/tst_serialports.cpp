// How a port is named, locked, listed and had again after an unplug: pseudo-terminals stand in
// for the modules, links to them in a temporary folder for the stable by-id and by-path names,
// and flock(1) running sleep for a terminal program that holds a port.

#include "link/portinventory.h"
#include "link/portreconnector.h"
#include "link/serialline.h"
#include "link/serialnames.h"
#include "support/pseudoterminal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace SerialLine;

namespace {

// A terminal program's hold on a port: flock(1) keeps an exclusive flock() on it while it runs.
class FlockHolder
{
public:
    explicit FlockHolder(const QString &path)
        : path(path)
    {
        // Without a fork, so that the lock goes with the process.
        process.start(QStringLiteral("flock"),
                      {QStringLiteral("--exclusive"), QStringLiteral("--no-fork"), path,
                       QStringLiteral("sleep"), QStringLiteral("60")});
    }
    ~FlockHolder()
    {
        process.kill();
        process.waitForFinished();
    }
    // Once it holds the lock, as /proc/locks tells, and has become sleep: flock takes the lock
    // before it runs the command, so its name changes a moment later.
    bool holds() const
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000) {
            const std::optional<PortHolder> holder = flockHolderOf(path);
            QFile comm(QStringLiteral("/proc/%1/comm").arg(process.processId()));
            if (holder && holder->pid == process.processId() && comm.open(QIODevice::ReadOnly)
                && comm.readAll().trimmed() == "sleep")
                return true;
            QTest::qWait(10);
        }
        return false;
    }
    qint64 pid() const { return process.processId(); }

private:
    QString path;
    QProcess process;
};

// What reaches `port` within two seconds, up to `count` bytes.
QByteArray received(QSerialPort &port, int count)
{
    QByteArray bytes;
    QElapsedTimer waited;
    waited.start();
    while (bytes.size() < count && waited.elapsed() < 2000) {
        port.waitForReadyRead(20);
        bytes += port.readAll();
    }
    return bytes;
}

QString ownHolder()
{
    return QStringLiteral("%1 (process %2)")
        .arg(QCoreApplication::applicationName())
        .arg(QCoreApplication::applicationPid());
}

} // namespace

class TestSerialPorts : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void namesOfAPort_data();
    void namesOfAPort();
    void heldPortIsBusy_data();
    void heldPortIsBusy();
    void inventoryTellsWhoHolds();
    void reconnectAfterUnplug();
    void reconnectEnds();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    NameFolders folders() const { return {path("by-id"), path("by-path")}; }

    QTemporaryDir dir;
    PseudoTerminal module;
    const QString byId = path("by-id/usb-Maker_Module_A1B2-if00-port0");
    const QString byPath = path("by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
};

void TestSerialPorts::init()
{
    QDir(dir.path()).removeRecursively();
    QVERIFY(QDir().mkpath(path("by-id")) && QDir().mkpath(path("by-path")));
    QVERIFY(module.isOpen());
    QVERIFY(QFile::link(module.slavePath(), byId));
    QVERIFY(QFile::link(module.slavePath(), byPath));
}

void TestSerialPorts::namesOfAPort_data()
{
    QTest::addColumn<QString>("name"); // %dir: the temporary folder, %pty: the module's device
    QTest::addColumn<bool>("stable"); // whether it leads to the module, which has stable names
    QTest::addColumn<QString>("openError"); // empty: it opens

    QTest::newRow("device") << "%pty" << true << "";
    QTest::newRow("by-id link") << "%dir/by-id/usb-Maker_Module_A1B2-if00-port0" << true << "";
    QTest::newRow("by-path link") << "%dir/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0" << true
                                  << "";
    QTest::newRow("link to the by-id link") << "%dir/module" << true << "";
    QTest::newRow("dangling link")
        << "%dir/by-id/usb-Gone" << false << "cannot open %dir/by-id/usb-Gone: no such device";
    QTest::newRow("not a serial device")
        << "%dir/notes.txt" << false << "cannot open %dir/notes.txt: " + qt_error_string(ENOTTY);
}

// Every name of the module leads to one device with its stable names, is recorded by its by-id
// name, and opens; other names are recorded as given.
void TestSerialPorts::namesOfAPort()
{
    QFETCH(QString, name);
    QFETCH(bool, stable);
    QFETCH(QString, openError);
    name.replace("%dir", dir.path()).replace("%pty", module.slavePath());
    openError.replace("%dir", dir.path());
    QVERIFY(QFile::link(byId, path("module")));
    QVERIFY(QFile::link(path("nowhere"), path("by-id/usb-Gone")));
    QFile notes(path("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("no port") == 7);
    notes.close();

    const StableNames names = stableNames(name, folders());
    QCOMPARE(names.device, stable ? module.slavePath() : QFileInfo(name).canonicalFilePath());
    QCOMPARE(names.byId, stable ? byId : QString());
    QCOMPARE(names.byPath, stable ? byPath : QString());
    QCOMPARE(recordedName(name, folders()), stable ? byId : name);

    QSerialPort port(name);
    QString error;
    QCOMPARE(openPort(port, QIODevice::ReadWrite, &error), openError.isEmpty());
    QCOMPARE(error, openError);
    if (port.isOpen()) {
        QVERIFY(module.write("ping"));
        QCOMPARE(received(port, 4), QByteArray("ping"));
    }
}

void TestSerialPorts::heldPortIsBusy_data()
{
    QTest::addColumn<bool>("byFlock"); // a terminal program's flock(), else a second port of ours
    QTest::addColumn<bool>("throughLink"); // the second opener names the by-id link
    QTest::newRow("flock, device") << true << false;
    QTest::newRow("flock, link") << true << true;
    QTest::newRow("ours, device") << false << false;
    QTest::newRow("ours, link") << false << true;
}

// A port held through either kind of lock is refused as busy, naming who holds it, however the
// second opener names it; once the holder lets go it opens.
void TestSerialPorts::heldPortIsBusy()
{
    QFETCH(bool, byFlock);
    QFETCH(bool, throughLink);
    std::unique_ptr<FlockHolder> holder;
    std::unique_ptr<QSerialPort> first;
    QString error;
    if (byFlock) {
        holder = std::make_unique<FlockHolder>(module.slavePath());
        QVERIFY(holder->holds());
    } else {
        first = std::make_unique<QSerialPort>(throughLink ? module.slavePath() : byId);
        QVERIFY2(openPort(*first, QIODevice::ReadWrite, &error), qPrintable(error));
        // Both locks, so that a terminal program sees it held too.
        const std::optional<PortHolder> ours = flockHolderOf(module.slavePath());
        QVERIFY(ours);
        QCOMPARE(ours->pid, QCoreApplication::applicationPid());
    }

    const QString name = throughLink ? byId : module.slavePath();
    QSerialPort second(name);
    QVERIFY(!openPort(second, QIODevice::ReadOnly, &error));
    QCOMPARE(
        error,
        QStringLiteral("cannot open %1: it is busy, held by %2")
            .arg(name,
                 byFlock ? QStringLiteral("sleep (process %1)").arg(holder->pid()) : ownHolder()));
    QVERIFY(!second.isOpen());

    holder.reset();
    first.reset();
    QVERIFY2(openPort(second, QIODevice::ReadOnly, &error), qPrintable(error));
}

// The list has each device once with its stable names, and tells a free port from one held by
// a terminal program or by us; both formats say the same.
void TestSerialPorts::inventoryTellsWhoHolds()
{
    PseudoTerminal other;
    QVERIFY(QFile::link(other.slavePath(), path("by-id/usb-Maker_Module_C3D4-if00-port0")));
    QVERIFY(QFile::link(path("nowhere"), path("by-id/usb-Gone")));
    FlockHolder holder(other.slavePath());
    QVERIFY(holder.holds());

    const auto find = [](const QList<PortInfo> &ports, const QString &device) {
        const auto found = std::find_if(ports.begin(), ports.end(),
                                        [&](const PortInfo &p) { return p.device == device; });
        return found == ports.end() ? std::optional<PortInfo>() : *found;
    };
    QList<PortInfo> ports = listPorts(folders());
    std::optional<PortInfo> free = find(ports, module.slavePath());
    std::optional<PortInfo> held = find(ports, other.slavePath());
    QVERIFY(free && held);
    QCOMPARE(free->byId, byId);
    QCOMPARE(free->byPath, byPath);
    QVERIFY(!free->holder);
    QCOMPARE(held->byPath, QString());
    QVERIFY(held->holder);
    QCOMPARE(held->holder->lock, PortHolder::Lock::Flock);
    QCOMPARE(held->holder->pid, holder.pid());

    const QStringList table = portsTable(ports).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(table.size(), ports.size() + 1);
    QVERIFY(table.first().startsWith("device"));
    const int stateColumn = table.first().indexOf("state");
    for (const QString &line : table) {
        if (line.startsWith(other.slavePath() + ' '))
            QCOMPARE(line.mid(stateColumn),
                     QStringLiteral("busy, held by sleep (process %1)").arg(holder.pid()));
        if (line.startsWith(module.slavePath() + ' '))
            QCOMPARE(line.mid(stateColumn), QStringLiteral("free"));
    }

    // Held by our own open port: its lock file names the program.
    QSerialPort port(byId);
    QString error;
    QVERIFY2(openPort(port, QIODevice::ReadOnly, &error), qPrintable(error));
    ports = listPorts(folders());
    const QJsonArray json = QJsonDocument::fromJson(portsJson(ports)).array();
    QCOMPARE(json.size(), ports.size());
    for (const QJsonValue &value : json) {
        const QJsonObject entry = value.toObject();
        if (entry["device"] == module.slavePath()) {
            QCOMPARE(entry["byId"].toString(), byId);
            QCOMPARE(entry["busy"].toBool(), true);
            QCOMPARE(entry["holder"].toObject(),
                     (QJsonObject {{"program", QCoreApplication::applicationName()},
                                   {"pid", QCoreApplication::applicationPid()},
                                   {"lock", "file"}}));
        } else if (entry["device"] == other.slavePath()) {
            QCOMPARE(entry["byPath"], QJsonValue());
            QCOMPARE(entry["holder"].toObject()["lock"].toString(), QStringLiteral("flock"));
        }
    }
}

// The module is unplugged (its end closed, its link gone) and plugged back as a new device under
// the same link: the port opened through the link waits, and reads the new device.
void TestSerialPorts::reconnectAfterUnplug()
{
    auto first = std::make_unique<PseudoTerminal>();
    const QString link = path("by-id/usb-Maker_Module_E5F6-if00-port0");
    QVERIFY(QFile::link(first->slavePath(), link));
    QSerialPort port(link);
    QString error;
    QVERIFY2(openPort(port, QIODevice::ReadWrite, &error), qPrintable(error));
    QVERIFY(first->write("before"));
    QCOMPARE(received(port, 6), QByteArray("before"));

    first->closeMaster();
    QFile::remove(link);
    QTRY_VERIFY(isDeviceGone(port));
    PortReconnector reconnector(port, QIODevice::ReadWrite);
    QSignalSpy reopened(&reconnector, &PortReconnector::reopened);
    reconnector.start(-1, 20);
    QVERIFY(!port.isOpen());
    QTest::qWait(200);
    QVERIFY(reconnector.isWaiting());
    QCOMPARE(reopened.count(), 0);

    PseudoTerminal second;
    QVERIFY(QFile::link(second.slavePath(), link));
    QVERIFY(reopened.wait(2000));
    QVERIFY(!reconnector.isWaiting());
    QVERIFY(reconnector.waitedMs() >= 200);
    QCOMPARE(port.portName(), link);
    QVERIFY(second.write("after"));
    QCOMPARE(received(port, 5), QByteArray("after"));
    QVERIFY(port.write("to the module") && port.flush());
    QCOMPARE(second.read(13), QByteArray("to the module"));
}

// A wait ends without the device: at its time limit, saying why, or when it is called off.
void TestSerialPorts::reconnectEnds()
{
    QSerialPort port(path("by-id/usb-Gone"));
    PortReconnector reconnector(port, QIODevice::ReadOnly);
    QSignalSpy gaveUp(&reconnector, &PortReconnector::gaveUp);
    QSignalSpy reopened(&reconnector, &PortReconnector::reopened);
    reconnector.start(150, 20);
    QVERIFY(gaveUp.wait(2000));
    QCOMPARE(gaveUp.at(0).at(0).toString(),
             path("by-id/usb-Gone") + QStringLiteral(" did not come back within 0.15 s"));

    // Back, but held by another program: the limit reports why it would not open.
    QVERIFY(QFile::link(module.slavePath(), path("by-id/usb-Gone")));
    auto holder = std::make_unique<FlockHolder>(module.slavePath());
    QVERIFY(holder->holds());
    reconnector.start(150, 20);
    QVERIFY(gaveUp.wait(2000));
    QCOMPARE(gaveUp.at(1).at(0).toString(),
             QStringLiteral("cannot open %1: it is busy, held by sleep (process %2)")
                 .arg(path("by-id/usb-Gone"))
                 .arg(holder->pid()));

    // Called off while the device would open: it is left alone.
    holder.reset();
    reconnector.start(-1, 20);
    reconnector.cancel();
    QTest::qWait(100);
    QVERIFY(!reconnector.isWaiting());
    QVERIFY(!port.isOpen());
    QCOMPARE(gaveUp.count(), 2);
    QCOMPARE(reopened.count(), 0);
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_serialports.moc"
