#include "control/commandpacket.h"
#include "control/commandreader.h"
#include "support/messagelog.h"
#include "support/pseudoterminal.h"

#include <QRandomGenerator>
#include <QSerialPort>
#include <QtTest>

Q_DECLARE_METATYPE(Command)

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The text of `count` noise bytes 0x11.
QString noise(int count)
{
    return QString::fromLatin1(QByteArray(count, '\x11').toHex(' '));
}

QStringList texts(const QList<ReceivedCommand> &items)
{
    QStringList result;
    for (const ReceivedCommand &item : items)
        result.append(item.text());
    return result;
}

// Every packet the table can build: one per fixed command, one per byte value otherwise.
QList<QPair<Command, int>> everyPacket()
{
    QList<QPair<Command, int>> result;
    for (const CommandEntry &entry : commandTable()) {
        if (!entry.takesValue) {
            result.append({entry.command, 0});
            continue;
        }
        for (int value = 0; value <= 255; ++value)
            result.append({entry.command, value});
    }
    return result;
}

// A device that takes at most `chunk` bytes per write and can start refusing after `refuseAfter`
// bytes, as a port with a small driver buffer or a failing line would.
class ChokingDevice : public QIODevice
{
public:
    ChokingDevice(qint64 chunk, qint64 refuseAfter)
        : chunk(chunk)
        , refuseAfter(refuseAfter)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    QByteArray written;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        if (refuseAfter >= 0 && written.size() >= refuseAfter) {
            setErrorString(QStringLiteral("line failed"));
            return -1;
        }
        const qint64 taken = qMin(length, chunk);
        written.append(data, int(taken));
        return taken;
    }

private:
    qint64 chunk;
    qint64 refuseAfter;
};
} // namespace

class TestCommandPacket : public QObject
{
    Q_OBJECT

private slots:
    void packetBytes_data();
    void packetBytes();
    void noPacketIsThePrefixOfAnother();
    void everyPacketIsNamedBack();
    void textToPacket_data();
    void textToPacket();
    void readerNamesIndependentlyOfSplit_data();
    void readerNamesIndependentlyOfSplit();
    void readerReportsUnknownBytes_data();
    void readerReportsUnknownBytes();
    void sendCommandCompletesOrDrops_data();
    void sendCommandCompletesOrDrops();
    void sendCommandOnSerialPort();
};

void TestCommandPacket::packetBytes_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("LaserOFF") << Command::LaserOff << 0 << hex("FFFFFFFF0200");
    QTest::newRow("LaserON") << Command::LaserOn << 0 << hex("FFFFFFFF0201");
    QTest::newRow("LaserON ignores a value") << Command::LaserOn << 7 << hex("FFFFFFFF0201");
    QTest::newRow("PWM 155") << Command::Pwm << 155 << hex("FFFFFFFF039B");
    QTest::newRow("PWM 230") << Command::Pwm << 230 << hex("FFFFFFFF03E6");
    QTest::newRow("EXP 0") << Command::Exposure << 0 << hex("FFFFFFFF0400");
    QTest::newRow("EXP 3") << Command::Exposure << 3 << hex("FFFFFFFF0403");
    QTest::newRow("pwmReset") << Command::PwmReset << 0 << hex("FFFFFFFF0500");
    QTest::newRow("Ver 1") << Command::Ver << 1 << hex("FFFFFFFF0601");
    QTest::newRow("calibX 13") << Command::CalibX << 13 << hex("FFFFFFFF070D");
    QTest::newRow("calibY 25") << Command::CalibY << 25 << hex("FFFFFFFF0819");
    QTest::newRow("calibZ 5") << Command::CalibZ << 5 << hex("FFFFFFFF0905");
    QTest::newRow("calibReset") << Command::CalibReset << 0 << hex("FFFFFFFF0A00");
    QTest::newRow("calibSet") << Command::CalibSet << 0 << hex("FFFFFFFF0B01");
    QTest::newRow("pwmSet") << Command::PwmSet << 0 << hex("FFFFFFFF0C01");
    QTest::newRow("PWM7 40") << Command::QcPwm << 40 << hex("FFFFFFFF020228");
    QTest::newRow("PWM7 100") << Command::QcPwm << 100 << hex("FFFFFFFF020264");
    // A value is sent as its low 8 bits.
    QTest::newRow("PWM 511 -> FF") << Command::Pwm << 511 << hex("FFFFFFFF03FF");
    QTest::newRow("calibX 256 -> 00") << Command::CalibX << 256 << hex("FFFFFFFF0700");
}

void TestCommandPacket::packetBytes()
{
    QFETCH(Command, command);
    QFETCH(int, value);
    QFETCH(QByteArray, expected);

    const QByteArray packet = buildPacket(command, value);
    QCOMPARE(packet.toHex(' '), expected.toHex(' '));
    QCOMPARE(packet.size(), commandEntry(command).packetLength());
}

void TestCommandPacket::noPacketIsThePrefixOfAnother()
{
    // The reader names a packet at its last byte; that is only sound if no packet can continue
    // into a longer one.
    QSet<QString> names;
    for (const CommandEntry &entry : commandTable()) {
        QVERIFY2(!names.contains(QLatin1String(entry.name)), entry.name);
        names.insert(QLatin1String(entry.name));
        QCOMPARE(&commandEntry(entry.command), &entry);
        QCOMPARE(findCommand(QLatin1String(entry.name)), &entry);
    }
    const auto packets = everyPacket();
    QList<QByteArray> built;
    for (const auto &entry : packets)
        built.append(buildPacket(entry.first, entry.second));
    for (int a = 0; a < built.size(); ++a) {
        for (int b = 0; b < built.size(); ++b) {
            if (a != b && built.at(b).startsWith(built.at(a)))
                QFAIL(qPrintable(QStringLiteral("%1 begins %2")
                                     .arg(commandText(packets.at(a).first, packets.at(a).second),
                                          commandText(packets.at(b).first, packets.at(b).second))));
        }
    }
}

void TestCommandPacket::everyPacketIsNamedBack()
{
    for (const auto &[command, value] : everyPacket()) {
        const QByteArray packet = buildPacket(command, value);
        const QString text = commandText(command, value);
        CommandReader reader;
        const QList<ReceivedCommand> items = reader.feed(packet);
        QCOMPARE(items.size(), 1);
        QCOMPARE(items.first().text(), text);
        QCOMPARE(items.first().entry->command, command);
        QCOMPARE(items.first().bytes, packet);
        QVERIFY(reader.finish().isEmpty());
        const CommandEntry &entry = commandEntry(command);
        QCOMPARE(items.first().isExpected(), !entry.takesValue || entry.accepts(value));
        if (items.first().isExpected())
            QCOMPARE(packetFromText(text).value_or(QByteArray()), packet);
    }
}

void TestCommandPacket::textToPacket_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected"); // empty: not a command

    QTest::newRow("LaserON") << "LaserON" << hex("FFFFFFFF0201");
    QTest::newRow("EXP 2") << "EXP 2" << hex("FFFFFFFF0402");
    QTest::newRow("spaces around") << "  calibX   13 " << hex("FFFFFFFF070D");
    QTest::newRow("PWM7 40") << "PWM7 40" << hex("FFFFFFFF020228");
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("unknown name") << "LaserBLINK" << QByteArray();
    QTest::newRow("names are case-sensitive") << "laseron" << QByteArray();
    QTest::newRow("value on a fixed command") << "LaserON 1" << QByteArray();
    QTest::newRow("missing value") << "EXP" << QByteArray();
    QTest::newRow("not a number") << "Ver x" << QByteArray();
    QTest::newRow("two values") << "PWM 1 2" << QByteArray();
    QTest::newRow("EXP past its cycle") << "EXP 4" << QByteArray();
    QTest::newRow("Ver is 0 or 1") << "Ver 2" << QByteArray();
    QTest::newRow("PWM past a byte") << "PWM 256" << QByteArray();
    QTest::newRow("negative") << "calibZ -1" << QByteArray();
}

void TestCommandPacket::textToPacket()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);

    const std::optional<QByteArray> packet = ::packetFromText(text);
    QCOMPARE(packet.has_value(), !expected.isEmpty());
    if (packet)
        QCOMPARE(packet->toHex(' '), expected.toHex(' '));
}

void TestCommandPacket::readerNamesIndependentlyOfSplit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("packets back to back")
        << hex("FFFFFFFF0201"
               "FFFFFFFF0401"
               "FFFFFFFF039B"
               "FFFFFFFF070D"
               "FFFFFFFF0A00"
               "FFFFFFFF0600"
               "FFFFFFFF0C01"
               "FFFFFFFF020228"
               "FFFFFFFF0200")
        << QStringList {"LaserON", "EXP 1",  "PWM 155", "calibX 13", "calibReset",
                        "Ver 0",   "pwmSet", "PWM7 40", "LaserOFF"};
    QTest::newRow("value bytes that look like a preamble")
        << hex("FFFFFFFF03FF"
               "FFFFFFFF0202FF"
               "FFFFFFFF08FF")
        << QStringList {"PWM 255", "PWM7 255", "calibY 255"};
    QTest::newRow("noise between packets") << hex("00CC"
                                                  "FFFFFFFF0905"
                                                  "FFFF"
                                                  "FFFFFFFF0B01"
                                                  "12FFFFFFFF0201"
                                                  "FFFFFFFF0213")
                                           << QStringList {"unknown 00 CC",
                                                           "calibZ 5",
                                                           "unknown FF FF",
                                                           "calibSet",
                                                           "unknown 12",
                                                           "LaserON",
                                                           "unknown FF FF FF FF 02 13"};
    QTest::newRow("unfinished packet at the end")
        << hex("FFFFFFFF0500"
               "FFFFFFFF0202")
        << QStringList {"pwmReset", "unknown FF FF FF FF 02 02"};
}

void TestCommandPacket::readerNamesIndependentlyOfSplit()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);

    auto readInChunks = [&](const QList<int> &sizes) {
        CommandReader reader;
        QList<ReceivedCommand> items;
        int at = 0;
        for (int size : sizes) {
            items += reader.feed(stream.mid(at, size));
            at += size;
        }
        items += reader.feed(stream.mid(at));
        items += reader.finish();
        return texts(items);
    };

    QCOMPARE(readInChunks({}), expected);
    QCOMPARE(readInChunks(QVector<int>(stream.size(), 1).toList()), expected);
    for (int cut = 1; cut < stream.size(); ++cut)
        QCOMPARE(readInChunks({cut}), expected);
    QRandomGenerator random(5);
    for (int round = 0; round < 50; ++round) {
        QList<int> sizes;
        for (int total = 0; total < stream.size();) {
            sizes.append(random.bounded(0, 9));
            total += sizes.back();
        }
        QCOMPARE(readInChunks(sizes), expected);
    }
}

void TestCommandPacket::readerReportsUnknownBytes_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("lone byte waits for more") << hex("12") << false << QStringList {};
    QTest::newRow("lone byte at the end") << hex("12") << true << QStringList {"unknown 12"};
    QTest::newRow("short preamble")
        << hex("FFFFFF0201") << true << QStringList {"unknown FF FF FF 02 01"};
    QTest::newRow("long preamble")
        << hex("FFFFFFFFFFFF0201") << false << QStringList {"unknown FF FF", "LaserON"};
    QTest::newRow("unused code") << hex("FFFFFFFF0D01") << true
                                 << QStringList {"unknown FF FF FF FF 0D 01"};
    QTest::newRow("fixed argument differs")
        << hex("FFFFFFFF0A01") << true << QStringList {"unknown FF FF FF FF 0A 01"};
    QTest::newRow("preamble inside a bad packet")
        << hex("FFFFFFFF0DFFFFFFFF0601") << false
        << QStringList {"unknown FF FF FF FF 0D", "Ver 1"};
    QTest::newRow("value outside the control's range is still named")
        << hex("FFFFFFFF0407") << false << QStringList {"EXP 7"};
    QTest::newRow("noise comes out in runs of 16")
        << QByteArray(40, '\x11') << false
        << QStringList {"unknown " + noise(16), "unknown " + noise(16)};
    QTest::newRow("the rest of the noise at the end")
        << QByteArray(40, '\x11') << true
        << QStringList {"unknown " + noise(16), "unknown " + noise(16), "unknown " + noise(8)};
}

void TestCommandPacket::readerReportsUnknownBytes()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, finished);
    QFETCH(QStringList, expected);

    CommandReader reader;
    QList<ReceivedCommand> items = reader.feed(stream);
    if (finished)
        items += reader.finish();
    QCOMPARE(texts(items), expected);
    QByteArray all;
    for (const ReceivedCommand &item : qAsConst(items)) {
        QCOMPARE(item.isUnknown(), item.text().startsWith("unknown"));
        all += item.bytes;
    }
    // Every byte that was decided on is reported exactly once, in order.
    QVERIFY(stream.startsWith(all));
    if (finished)
        QCOMPARE(all, stream);
}

void TestCommandPacket::sendCommandCompletesOrDrops_data()
{
    QTest::addColumn<qint64>("chunk");
    QTest::addColumn<qint64>("refuseAfter");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<int>("debugLines");

    const QByteArray packet = hex("FFFFFFFF020228");
    QTest::newRow("all at once") << qint64(64) << qint64(-1) << true << packet << 0;
    QTest::newRow("one byte per write") << qint64(1) << qint64(-1) << true << packet << 0;
    QTest::newRow("three bytes per write") << qint64(3) << qint64(-1) << true << packet << 0;
    QTest::newRow("refused outright") << qint64(64) << qint64(0) << false << QByteArray() << 1;
    QTest::newRow("refused halfway") << qint64(2) << qint64(4) << false << packet.left(4) << 1;
    QTest::newRow("accepts nothing") << qint64(0) << qint64(-1) << false << QByteArray() << 1;
}

void TestCommandPacket::sendCommandCompletesOrDrops()
{
    QFETCH(qint64, chunk);
    QFETCH(qint64, refuseAfter);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, written);
    QFETCH(int, debugLines);

    MessageLog log;
    ChokingDevice device(chunk, refuseAfter);
    QCOMPARE(sendCommand(&device, hex("FFFFFFFF020228")), accepted);
    QCOMPARE(device.written.toHex(' '), written.toHex(' '));
    QCOMPARE(log.messages(QtDebugMsg).size(), debugLines);
    QCOMPARE(log.warnings(), QStringList());
}

void TestCommandPacket::sendCommandOnSerialPort()
{
    PseudoTerminal line;
    QVERIFY(line.isOpen());
    MessageLog log;

    // Not opened: dropped with one debug line, and Qt has nothing to warn about.
    QSerialPort port(line.slavePath());
    QVERIFY(!sendCommand(&port, buildPacket(Command::LaserOn)));
    QVERIFY(!sendCommand(nullptr, buildPacket(Command::LaserOn)));
    QCOMPARE(log.messages(QtDebugMsg).size(), 2);
    QCOMPARE(log.warnings(), QStringList());

    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    const QByteArray packets = buildPacket(Command::Exposure, 2) + buildPacket(Command::QcPwm, 99);
    QVERIFY(sendCommand(&port, buildPacket(Command::Exposure, 2)));
    QVERIFY(sendCommand(&port, buildPacket(Command::QcPwm, 99)));
    QCOMPARE(line.read(packets.size()).toHex(' '), packets.toHex(' '));
    QCOMPARE(log.messages(QtDebugMsg).size(), 2);
}

QTEST_GUILESS_MAIN(TestCommandPacket)
#include "tst_commandpacket.moc"
