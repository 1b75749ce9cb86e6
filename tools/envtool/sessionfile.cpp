#include "sessionfile.h"

#include <QIODevice>
#include <QtEndian>

namespace {
const QByteArray magic = QByteArrayLiteral("envtool session ");
constexpr int recordHeadSize = 1 + 8 + 4;
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

bool SessionFile::write(Direction direction, qint64 timeUs, const char *data, qint64 size)
{
    do {
        const qint64 part = qMin(size, maxChunk);
        char head[recordHeadSize];
        head[0] = char(direction);
        qToLittleEndian<quint64>(quint64(timeUs), head + 1);
        qToLittleEndian<quint32>(quint32(part), head + 9);
        if (device->write(head, recordHeadSize) != recordHeadSize
            || device->write(data, part) != part)
            return false;
        data += part;
        size -= part;
    } while (size > 0);
    return true;
}

bool SessionFile::readHeader()
{
    offset = 0;
    problem.clear();
    session = device->peek(magic.size()) == magic;
    if (!session)
        return true;
    const QByteArray line = device->readLine(64);
    offset = line.size();
    bool ok = false;
    const int found = line.mid(magic.size()).trimmed().toInt(&ok);
    if (!line.endsWith('\n') || !ok)
        return fail(QStringLiteral("damaged session header"));
    if (found != version)
        return fail(QStringLiteral("session format version %1 is unknown (this envtool reads "
                                   "version %2)")
                        .arg(found)
                        .arg(version));
    return true;
}

bool SessionFile::next(Record *record)
{
    if (!problem.isEmpty())
        return false;
    if (!session) {
        record->direction = FromModule;
        record->timeUs = 0;
        record->bytes.resize(int(rawChunk));
        const qint64 n = readFully(record->bytes.data(), rawChunk);
        record->bytes.resize(int(qMax<qint64>(n, 0)));
        return n > 0;
    }
    char head[recordHeadSize];
    const qint64 start = offset;
    const qint64 n = readFully(head, recordHeadSize);
    if (n <= 0)
        return false;
    const quint32 size = qFromLittleEndian<quint32>(head + 9);
    if (n < recordHeadSize)
        return fail(QStringLiteral("truncated record at byte %1").arg(start));
    if ((head[0] != FromModule && head[0] != FromViewer) || size > maxChunk)
        return fail(QStringLiteral("damaged record at byte %1").arg(start));
    record->direction = Direction(head[0]);
    record->timeUs = qint64(qFromLittleEndian<quint64>(head + 1));
    record->bytes.resize(int(size));
    if (readFully(record->bytes.data(), size) != qint64(size))
        return problem.isEmpty() ? fail(QStringLiteral("truncated record at byte %1").arg(start))
                                 : false;
    return true;
}

bool SessionFile::fail(const QString &message)
{
    problem = message;
    return false;
}

// Reads until `size` bytes came or the input ended; -1 (with error()) when reading failed.
qint64 SessionFile::readFully(char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 n = device->read(data + done, size - done);
        if (n < 0) {
            fail(QStringLiteral("cannot read: ") + device->errorString());
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    offset += done;
    return done;
}
