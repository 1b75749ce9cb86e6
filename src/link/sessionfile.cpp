#include "link/sessionfile.h"

#include <QFile>
#include <QIODevice>
#include <QtEndian>

#include <limits>

namespace {
const QByteArray magic = QByteArrayLiteral("envtool session ");
// Digits a version may have; more cannot be one that any envtool wrote.
constexpr int maxVersionDigits = 9;
} // namespace

SessionFile::SessionFile(QIODevice *device, qint64 rawChunk)
    : device(device)
    , rawChunk(rawChunk)
{
}

bool SessionFile::writeHeader()
{
    const QByteArray header = magic + QByteArray::number(version) + '\n';
    return device->write(header) == header.size();
}

namespace {
void writeHead(char *head, SessionFile::Direction direction, qint64 timeUs, quint32 size)
{
    head[0] = char(direction);
    qToLittleEndian<quint64>(quint64(timeUs), head + 1);
    qToLittleEndian<quint32>(size, head + 9);
}
} // namespace

bool SessionFile::write(Direction direction, qint64 timeUs, const char *data, qint64 size)
{
    // An empty chunk would be half of a gap.
    while (size > 0) {
        const qint64 part = qMin(size, maxChunk);
        char head[recordHeadSize];
        writeHead(head, direction, timeUs, quint32(part));
        if (device->write(head, recordHeadSize) != recordHeadSize
            || device->write(data, part) != part)
            return false;
        data += part;
        size -= part;
    }
    return true;
}

bool SessionFile::writeGap(qint64 fromUs, qint64 toUs)
{
    // Both records in one write: a session cut off here ends in damage, not half a gap.
    char heads[2 * recordHeadSize];
    writeHead(heads, FromModule, fromUs, 0);
    writeHead(heads + recordHeadSize, FromModule, qMax(fromUs, toUs), 0);
    return device->write(heads, sizeof heads) == qint64(sizeof heads);
}

bool SessionFile::readHeader()
{
    kind = Kind::Undecided;
    held.clear();
    at = 0;
    ended = false;
    offset = 0;
    problem.clear();
    while (!decide()) {
        if (!problem.isEmpty() || !readMore())
            return false;
    }
    return true;
}

bool SessionFile::next(Record *record)
{
    for (;;) {
        if (take(record))
            return true;
        if (!problem.isEmpty() || ended || !device || !readMore())
            return false;
    }
}

void SessionFile::append(const QByteArray &bytes)
{
    if (at == held.size()) {
        held = bytes; // shares the bytes: a raw capture's chunk goes out without a copy
        at = 0;
    } else {
        if (at > (1 << 16) && at > held.size() / 2) {
            held.remove(0, at);
            at = 0;
        }
        held.append(bytes);
    }
}

void SessionFile::endInput()
{
    ended = true;
}

// Whether the input so far tells what it is; false when it needs more, or (with error()) when it
// is a session this version cannot read.
bool SessionFile::decide()
{
    if (kind != Kind::Undecided)
        return true;
    const QByteArray start = held.mid(at, magic.size());
    if (start.size() < magic.size()) {
        if (!ended)
            return false;
        // A capture shorter than the header's name is raw, unless it is how the name begins.
        if (!start.isEmpty() && magic.startsWith(start))
            return fail(QStringLiteral("truncated session header"));
        kind = Kind::Raw;
        return true;
    }
    if (start != magic) {
        kind = Kind::Raw;
        return true;
    }
    // The version: digits, then the line end and nothing else.
    const int digitsAt = at + magic.size();
    int end = digitsAt;
    while (end < held.size() && end - digitsAt <= maxVersionDigits && held.at(end) >= '0'
           && held.at(end) <= '9')
        ++end;
    if (end == held.size() && end - digitsAt <= maxVersionDigits) {
        if (!ended)
            return false;
        return fail(QStringLiteral("truncated session header"));
    }
    const QByteArray digits = held.mid(digitsAt, end - digitsAt);
    const int found = digits.toInt();
    if (end == held.size() || held.at(end) != '\n' || digits.isEmpty()
        || digits != QByteArray::number(found))
        return fail(QStringLiteral("damaged session header"));
    if (found != version)
        return fail(QStringLiteral("session format version %1 is unknown (this envtool reads "
                                   "version %2)")
                        .arg(found)
                        .arg(version));
    offset += end + 1 - at;
    at = end + 1;
    kind = Kind::Session;
    return true;
}

// Takes the next record out of what is held, if it is complete.
bool SessionFile::take(Record *record)
{
    if (!problem.isEmpty() || !decide())
        return false;
    const int available = held.size() - at;
    if (kind == Kind::Raw) {
        if (available == 0)
            return false;
        const int size = int(qMin<qint64>(available, rawChunk));
        record->direction = FromModule;
        record->timeUs = 0;
        record->gap = false;
        record->gapEndUs = 0;
        record->bytes = at == 0 && size == held.size() ? held : held.mid(at, size);
        at += size;
        offset += size;
        return true;
    }
    if (available < recordHeadSize) {
        if (ended && available > 0)
            fail(QStringLiteral("truncated record at byte %1").arg(offset));
        return false;
    }
    const char *head = held.constData() + at;
    const quint32 size = qFromLittleEndian<quint32>(head + 9);
    const quint64 timeUs = qFromLittleEndian<quint64>(head + 1);
    if ((head[0] != FromModule && head[0] != FromViewer) || size > maxChunk
        || timeUs > quint64(std::numeric_limits<qint64>::max()))
        return fail(QStringLiteral("damaged record at byte %1").arg(offset));
    if (available < recordHeadSize + qint64(size)) {
        if (ended)
            fail(QStringLiteral("truncated record at byte %1").arg(offset));
        return false;
    }
    if (size == 0 && head[0] == FromModule)
        return takeEmptyModule(record, qint64(timeUs));
    record->direction = Direction(head[0]);
    record->timeUs = qint64(timeUs);
    record->gap = false;
    record->gapEndUs = 0;
    record->bytes = held.mid(at + recordHeadSize, int(size));
    at += recordHeadSize + int(size);
    offset += recordHeadSize + qint64(size);
    return true;
}

// An empty module record is the start of a gap when another one follows at once, no earlier;
// alone it is a chunk of nothing (an older envtool could write one).
bool SessionFile::takeEmptyModule(Record *record, qint64 timeUs)
{
    const int available = held.size() - at;
    if (available < 2 * recordHeadSize && !ended)
        return false; // the next record tells
    record->direction = FromModule;
    record->timeUs = timeUs;
    record->bytes.clear();
    record->gap = false;
    record->gapEndUs = 0;
    int used = recordHeadSize;
    if (available >= 2 * recordHeadSize) {
        const char *next = held.constData() + at + recordHeadSize;
        const quint64 endUs = qFromLittleEndian<quint64>(next + 1);
        if (next[0] == FromModule && qFromLittleEndian<quint32>(next + 9) == 0
            && endUs >= quint64(timeUs) && endUs <= quint64(std::numeric_limits<qint64>::max())) {
            record->gap = true;
            record->gapEndUs = qint64(endUs);
            used += recordHeadSize;
        }
    }
    at += used;
    offset += used;
    return true;
}

// Reads the device's next bytes; false at its end, or (with error()) when reading failed.
bool SessionFile::readMore()
{
    if (!device || ended)
        return false;
    QByteArray chunk(int(rawChunk), Qt::Uninitialized);
    const qint64 n = device->read(chunk.data(), chunk.size());
    if (n < 0) {
        ended = true;
        return fail(QStringLiteral("cannot read: ") + device->errorString());
    }
    if (n == 0) {
        ended = true;
        // The end may complete the decision or show damage; the caller looks once more.
        return true;
    }
    chunk.resize(int(n));
    append(chunk);
    return true;
}

bool SessionFile::fail(const QString &message)
{
    problem = message;
    return false;
}

bool SessionFile::readModuleBytes(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        bytes->clear();
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return readModuleBytes(&file, path, bytes, error);
}

bool SessionFile::readModuleBytes(QIODevice *device, const QString &name, QByteArray *bytes,
                                  QString *error)
{
    SessionFile reader(device);
    bytes->clear();
    Record record;
    if (reader.readHeader()) {
        while (reader.next(&record)) {
            if (record.direction == FromModule)
                bytes->append(record.bytes);
        }
    }
    if (reader.error().isEmpty())
        return true;
    *error = name + QStringLiteral(": ") + reader.error();
    return false;
}
