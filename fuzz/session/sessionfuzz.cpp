// Reads arbitrary bytes as a session or raw capture, handed in pieces of arbitrary sizes and read
// whole from a device, and checks what must hold for any input: the split does not matter, a raw
// capture comes out byte for byte, a session's records fit in the input with times that are not
// negative, and the command log of its viewer's direction prints no negative time.
//
// Input: byte 0 seeds the piece sizes, the remaining bytes are the file.

#include "control/commandlog.h"
#include "link/sessionfile.h"

#include <QBuffer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "session reader invariant broken: %s\n", what);
        std::abort();
    }
}

struct Read
{
    QList<SessionFile::Record> records;
    bool session = false;
    QString error;
};

// Hands the file to the reader in pieces of 1 to 19 bytes chosen by the seed, taking the records
// after each.
Read readInPieces(const QByteArray &file, unsigned seed)
{
    SessionFile reader(nullptr, 7);
    Read out;
    SessionFile::Record record;
    int size = 0;
    for (int at = 0; at < file.size(); at += size) {
        seed = seed * 1103515245u + 12345u;
        size = 1 + int((seed >> 16) % 19);
        reader.append(file.mid(at, size));
        while (reader.next(&record))
            out.records.append(record);
    }
    reader.endInput();
    while (reader.next(&record))
        out.records.append(record);
    out.session = reader.isSession();
    out.error = reader.error();
    return out;
}

Read readWhole(QByteArray file)
{
    QBuffer buffer(&file);
    buffer.open(QIODevice::ReadOnly);
    SessionFile reader(&buffer, 7);
    Read out;
    SessionFile::Record record;
    if (reader.readHeader()) {
        while (reader.next(&record))
            out.records.append(record);
    }
    out.session = reader.isSession();
    out.error = reader.error();
    return out;
}

QByteArray joined(const QList<SessionFile::Record> &records)
{
    QByteArray bytes;
    for (const SessionFile::Record &record : records)
        bytes += record.bytes;
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray file(reinterpret_cast<const char *>(data) + 1, int(size - 1));

    const Read pieces = readInPieces(file, unsigned(data[0]));
    const Read whole = readWhole(file);
    check(pieces.session == whole.session, "the split does not tell a session from a capture");
    check(pieces.error == whole.error, "the split does not change the damage");
    check(joined(pieces.records) == joined(whole.records), "the split does not change the bytes");

    if (!pieces.session) {
        check(!pieces.error.isEmpty() || joined(pieces.records) == file,
              "a raw capture comes out byte for byte");
        return 0;
    }
    check(pieces.records.size() == whole.records.size(), "the split does not change the records");
    qint64 used = 18;
    CommandLog log(CommandLog::Format::Text);
    QStringList lines;
    for (int i = 0; i < pieces.records.size(); ++i) {
        const SessionFile::Record &record = pieces.records.at(i);
        check(record.timeUs == whole.records.at(i).timeUs, "the split does not change the times");
        check(record.timeUs >= 0, "no time is negative");
        used += SessionFile::recordHeadSize + record.bytes.size();
        if (record.direction == SessionFile::FromViewer)
            lines += log.feed(record.timeUs, record.bytes);
    }
    lines += log.finish();
    check(used <= file.size(), "the records fit in the file");
    for (const QString &line : lines)
        check(!line.startsWith(QLatin1Char('-')), "the command log prints no negative time");
    return 0;
}
