#include "control/commandreader.h"

QString ReceivedCommand::text() const
{
    if (!entry)
        return QStringLiteral("unknown ") + QString::fromLatin1(bytes.toHex(' ').toUpper());
    return commandText(entry->command, value);
}

CommandReader::Match CommandReader::match(const CommandEntry **found) const
{
    const int size = pending.size();
    const int preamble = CommandEntry::commandPreambleLength;
    for (int i = 0; i < qMin(size, preamble); ++i) {
        if (quint8(pending.at(i)) != commandPreambleByte)
            return Match::None;
    }
    if (size <= preamble)
        return Match::Partial;
    bool partial = false;
    for (const CommandEntry &entry : commandTable()) {
        const int compared = qMin(size - preamble, entry.headLength);
        bool same = true;
        for (int i = 0; i < compared && same; ++i)
            same = quint8(pending.at(preamble + i)) == entry.head[std::size_t(i)];
        if (!same)
            continue;
        if (size == entry.packetLength()) {
            *found = &entry;
            return Match::Complete;
        }
        if (size < entry.packetLength())
            partial = true;
    }
    return partial ? Match::Partial : Match::None;
}

void CommandReader::addUnknown(char byte, QList<ReceivedCommand> &out)
{
    unknown.append(byte);
    if (unknown.size() >= unknownRunLength)
        flushUnknown(out);
}

void CommandReader::flushUnknown(QList<ReceivedCommand> &out)
{
    if (unknown.isEmpty())
        return;
    ReceivedCommand item;
    item.bytes = unknown;
    out.append(item);
    unknown.clear();
}

QList<ReceivedCommand> CommandReader::feed(const QByteArray &bytes)
{
    QList<ReceivedCommand> out;
    for (const char byte : bytes) {
        pending.append(byte);
        // Each byte either completes a packet, keeps a possible one going, or shows that the
        // oldest waiting byte starts none; then the bytes after it are tried again.
        for (;;) {
            const CommandEntry *entry = nullptr;
            const Match result = match(&entry);
            if (result == Match::Partial)
                break;
            if (result == Match::Complete) {
                flushUnknown(out);
                ReceivedCommand item;
                item.entry = entry;
                item.bytes = pending;
                if (entry->takesValue)
                    item.value = quint8(pending.back());
                out.append(item);
                pending.clear();
                break;
            }
            addUnknown(pending.front(), out);
            pending.remove(0, 1);
            if (pending.isEmpty())
                break;
        }
    }
    return out;
}

QList<ReceivedCommand> CommandReader::finish()
{
    QList<ReceivedCommand> out;
    for (const char byte : qAsConst(pending))
        addUnknown(byte, out);
    pending.clear();
    flushUnknown(out);
    return out;
}
