#pragma once

// Command packets from the computer to the module: four 0xFF bytes, a command code and one
// argument byte; envviewer_qc's PWM packet carries one more fixed byte before its level. One
// table describes every packet, so building a packet and naming a received one cannot disagree.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

class QIODevice;

enum class Command {
    LaserOff,
    LaserOn,
    Pwm,
    Exposure,
    PwmReset,
    Ver,
    CalibX,
    CalibY,
    CalibZ,
    CalibReset,
    CalibSet,
    PwmSet,
    QcPwm, // envviewer_qc's seven-byte PWM packet
};

struct CommandEntry
{
    Command command;
    // The control that sends it, as the module's log and the simulator name it.
    const char *name;
    // Fixed bytes after the preamble: the code, then the fixed argument (or, for the seven-byte
    // packet, its second fixed byte).
    std::array<quint8, 2> head;
    int headLength;
    // Whether a value byte follows the head, and the values the control sends there.
    bool takesValue;
    int minimum;
    int maximum;

    int packetLength() const { return commandPreambleLength + headLength + (takesValue ? 1 : 0); }
    bool accepts(int value) const { return takesValue && value >= minimum && value <= maximum; }

    static constexpr int commandPreambleLength = 4;
};

constexpr quint8 commandPreambleByte = 0xFF;

const std::array<CommandEntry, 13> &commandTable();
const CommandEntry &commandEntry(Command command);
// The entry named so, or nullptr; names are case-sensitive ("LaserON", "calibX").
const CommandEntry *findCommand(const QString &name);

// The packet for `command`; `value` goes into the value byte as its low 8 bits and is ignored by
// commands without a value.
QByteArray buildPacket(Command command, int value = 0);

// "LaserON", "PWM 155", "calibX 13": the name, and the value in decimal where there is one.
QString commandText(Command command, int value = 0);
// The reverse of commandText: the packet for "EXP 2", "LaserOFF", ...; nothing for an unknown
// name, a missing or surplus value, or a value outside what the control sends.
std::optional<QByteArray> packetFromText(const QString &text);

// Hands the packet to the port until the port has accepted all of it. A port that is not
// writable, or that refuses a write or accepts nothing, drops the rest of the packet with one
// debug line: commands are fire-and-forget and must never stall the window. Returns whether the
// whole packet was accepted.
bool sendCommand(QIODevice *port, const QByteArray &packet);
