#include "control/commandpacket.h"

#include <QDebug>
#include <QIODevice>
#include <QStringList>

namespace {
// No head is a prefix of another, so a reader can name a packet as soon as its last byte arrives.
constexpr std::array<CommandEntry, 13> table {{
    {Command::LaserOff, "LaserOFF", {0x02, 0x00}, 2, false, 0, 0},
    {Command::LaserOn, "LaserON", {0x02, 0x01}, 2, false, 0, 0},
    {Command::Pwm, "PWM", {0x03, 0x00}, 1, true, 0, 255},
    {Command::Exposure, "EXP", {0x04, 0x00}, 1, true, 0, 3},
    {Command::PwmReset, "pwmReset", {0x05, 0x00}, 2, false, 0, 0},
    {Command::Ver, "Ver", {0x06, 0x00}, 1, true, 0, 1},
    {Command::CalibX, "calibX", {0x07, 0x00}, 1, true, 0, 255},
    {Command::CalibY, "calibY", {0x08, 0x00}, 1, true, 0, 255},
    {Command::CalibZ, "calibZ", {0x09, 0x00}, 1, true, 0, 255},
    {Command::CalibReset, "calibReset", {0x0A, 0x00}, 2, false, 0, 0},
    {Command::CalibSet, "calibSet", {0x0B, 0x01}, 2, false, 0, 0},
    {Command::PwmSet, "pwmSet", {0x0C, 0x01}, 2, false, 0, 0},
    {Command::QcPwm, "PWM7", {0x02, 0x02}, 2, true, 0, 255},
}};

constexpr bool tableInCommandOrder()
{
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (std::size_t(table[i].command) != i)
            return false;
    }
    return true;
}
static_assert(tableInCommandOrder(), "commandEntry() indexes the table by Command");
} // namespace

const std::array<CommandEntry, 13> &commandTable()
{
    return table;
}

const CommandEntry &commandEntry(Command command)
{
    return table[std::size_t(command)];
}

const CommandEntry *findCommand(const QString &name)
{
    for (const CommandEntry &entry : table) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

QByteArray buildPacket(Command command, int value)
{
    const CommandEntry &entry = commandEntry(command);
    QByteArray packet(CommandEntry::commandPreambleLength, char(commandPreambleByte));
    for (int i = 0; i < entry.headLength; ++i)
        packet.append(char(entry.head[std::size_t(i)]));
    if (entry.takesValue)
        packet.append(char(quint8(value & 0xFF)));
    return packet;
}

QString commandText(Command command, int value)
{
    const CommandEntry &entry = commandEntry(command);
    QString text = QLatin1String(entry.name);
    if (entry.takesValue)
        text += QLatin1Char(' ') + QString::number(value);
    return text;
}

std::optional<QByteArray> packetFromText(const QString &text)
{
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty() || words.size() > 2)
        return std::nullopt;
    const CommandEntry *entry = findCommand(words.first());
    if (!entry || entry->takesValue != (words.size() == 2))
        return std::nullopt;
    int value = 0;
    if (entry->takesValue) {
        bool ok = false;
        value = words.at(1).toInt(&ok);
        if (!ok || !entry->accepts(value))
            return std::nullopt;
    }
    return buildPacket(entry->command, value);
}

bool sendCommand(QIODevice *port, const QByteArray &packet)
{
    // An unopened port would refuse every write (and Qt would warn each time): drop the packet.
    if (!port || !port->isWritable()) {
        qDebug().noquote() << "command not sent, port not open:" << packet.toHex(' ');
        return false;
    }
    QByteArray remaining = packet;
    while (!remaining.isEmpty()) {
        const qint64 accepted = port->write(remaining);
        if (accepted <= 0) {
            // Retrying a refusal or a full device here would spin inside a slot.
            qDebug().noquote() << "command not sent:" << remaining.toHex(' ')
                               << port->errorString();
            return false;
        }
        remaining.remove(0, int(accepted));
    }
    return true;
}
