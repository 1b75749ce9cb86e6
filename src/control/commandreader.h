#pragma once

// Names the command packets in the bytes a module receives, whatever the split of the bytes into
// reads. Bytes that belong to no packet are reported as unknown, in runs.

#include "control/commandpacket.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct ReceivedCommand
{
    // The table entry of a named packet; nullptr for unknown bytes.
    const CommandEntry *entry = nullptr;
    int value = -1; // the value byte, -1 where the packet has none
    QByteArray bytes;

    bool isUnknown() const { return entry == nullptr; }
    // A value byte outside what the control sends (EXP 7, Ver 2) still names the packet.
    bool isExpected() const { return entry && (!entry->takesValue || entry->accepts(value)); }
    // "LaserON", "PWM 155", or "unknown 12 34" for bytes that form no packet.
    QString text() const;
};

class CommandReader
{
public:
    // Unknown bytes are reported at the latest when this many have gathered, so that a stream
    // of noise shows up without waiting for finish(); the runs do not depend on the read split.
    static constexpr int unknownRunLength = 16;

    // Everything decided by these bytes: packets completed by them and unknown runs before them.
    QList<ReceivedCommand> feed(const QByteArray &bytes);
    // Ends the stream: what is still waiting (an unfinished packet, an unknown run) comes out as
    // unknown bytes.
    QList<ReceivedCommand> finish();

private:
    enum class Match { None, Partial, Complete };
    Match match(const CommandEntry **found) const;
    void addUnknown(char byte, QList<ReceivedCommand> &out);
    void flushUnknown(QList<ReceivedCommand> &out);

    QByteArray pending; // a possible packet, from its first preamble byte on
    QByteArray unknown;
};
