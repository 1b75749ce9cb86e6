#include "records/attemptindex.h"

#include "records/record.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char magic[8] = {'e', 'n', 'v', 'a', 't', 't', '0', '1'};
constexpr qint64 headerBytes = 40;
constexpr qint64 entryBytes = 16;
// The bytes before the covered offset whose hash tells the indexed log from another one.
constexpr qint64 checkedBytes = 256;

struct Header
{
    quint64 covered = 0;
    quint64 inode = 0;
    quint64 tailHash = 0;
    quint64 entries = 0;
};

struct Entry
{
    quint64 key;
    quint32 runs;
    quint32 pad;
};
static_assert(sizeof(Entry) == entryBytes, "an entry is 16 bytes");

quint64 fnv1a(const char *data, qint64 size, quint64 hash = 1469598103934665603ULL)
{
    for (qint64 i = 0; i < size; ++i) {
        hash ^= quint8(data[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

quint64 keyHash(const QString &station, const QString &test, const QString &serial)
{
    // The unit separator appears in no name a record holds as a key part.
    const QByteArray bytes = (station + QChar(0x1f) + test + QChar(0x1f) + serial).toUtf8();
    return fnv1a(bytes.constData(), bytes.size());
}

quint64 keyHash(const QcAttemptKey &key)
{
    return keyHash(key.station, key.test, key.serial);
}

// A file descriptor closed when it goes; O_NONBLOCK so that a FIFO in the log's place never
// blocks.
struct Fd
{
    explicit Fd(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool regular(struct stat *status) const
    {
        return fd >= 0 && ::fstat(fd, status) == 0 && S_ISREG(status->st_mode);
    }
    bool readAt(void *to, qint64 size, qint64 at) const
    {
        char *p = static_cast<char *>(to);
        while (size > 0) {
            const ssize_t n = ::pread(fd, p, size_t(size), off_t(at));
            if (n <= 0)
                return false;
            p += n;
            size -= n;
            at += n;
        }
        return true;
    }
    int fd;
};

quint64 coveredHash(const Fd &log, qint64 covered)
{
    const qint64 from = qMax<qint64>(0, covered - checkedBytes);
    QByteArray bytes(int(covered - from), '\0');
    if (!log.readAt(bytes.data(), bytes.size(), from))
        return 0;
    return fnv1a(bytes.constData(), bytes.size());
}

// The index's header when it is sound and made for this log as it stands.
std::optional<Header> soundHeader(const Fd &index, const Fd &log, const struct stat &logStatus)
{
    struct stat status = {};
    char found[8];
    Header h;
    if (!index.regular(&status) || !index.readAt(found, 8, 0) || std::memcmp(found, magic, 8) != 0
        || !index.readAt(&h, sizeof h, 8))
        return std::nullopt;
    if (h.entries > quint64(status.st_size) / entryBytes
        || qint64(status.st_size) != headerBytes + qint64(h.entries) * entryBytes
        || h.covered > quint64(logStatus.st_size) || h.inode != quint64(logStatus.st_ino)
        || h.tailHash != coveredHash(log, qint64(h.covered)))
        return std::nullopt;
    return h;
}

// Each whole line of `bytes` read as a record, handed to `take`; what follows the last line end
// is a line still being written.
template<typename Take>
void eachRecord(const QByteArray &bytes, Take take)
{
    qsizetype start = 0;
    for (qsizetype end; (end = bytes.indexOf('\n', start)) >= 0; start = end + 1) {
        QByteArray line = bytes.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        take(line);
    }
}

bool countable(const QcRecordLine &read)
{
    return read.status == QcRecordLine::Read && !read.record.serial.isEmpty();
}

// Each whole line of the log from `from` to `to`, read in pieces so that a large log never sits in
// memory whole. `covered` gets the end of the last whole line.
template<typename Take>
bool eachLogLine(const Fd &log, qint64 from, qint64 to, qint64 *covered, Take take)
{
    constexpr qint64 piece = 4 << 20;
    QByteArray carry;
    *covered = from;
    for (qint64 at = from; at < to;) {
        QByteArray bytes(int(qMin(piece, to - at)), '\0');
        if (!log.readAt(bytes.data(), bytes.size(), at))
            return false;
        at += bytes.size();
        bytes.prepend(carry);
        const qsizetype lastEnd = bytes.lastIndexOf('\n');
        carry = bytes.mid(lastEnd + 1);
        bytes.truncate(lastEnd + 1);
        *covered = at - carry.size();
        eachRecord(bytes, take);
    }
    return true;
}

bool isRunOf(const QcAttemptKey &key, const QByteArray &serial, const QByteArray &line)
{
    // Only a line that names the serial can be one of its runs; the others are not parsed.
    if (!line.contains(serial))
        return false;
    const QcRecordLine read = qcReadRecordLine(line);
    return countable(read) && read.record.serial == key.serial && read.record.test == key.test
        && read.record.stationOrHost() == key.station;
}

} // namespace

QcAttemptIndex::QcAttemptIndex(const QString &logPath)
    : log_(logPath)
{
}

QString QcAttemptIndex::pathFor(const QString &logPath)
{
    return logPath + QLatin1String(".attempts");
}

std::optional<int> QcAttemptIndex::runs(const QcAttemptKey &key) const
{
    const Fd log(log_);
    struct stat logStatus = {};
    if (!log.regular(&logStatus))
        return log.fd < 0 && errno == ENOENT ? std::optional<int>(0) : std::nullopt;
    const Fd index(pathFor(log_));
    const std::optional<Header> header = soundHeader(index, log, logStatus);
    const qint64 covered = header ? qint64(header->covered) : 0;
    if (logStatus.st_size - covered > maxTailBytes)
        return std::nullopt;
    int runs = 0;
    const quint64 wanted = keyHash(key);
    if (header) {
        qint64 low = 0;
        qint64 high = qint64(header->entries);
        while (low < high) {
            const qint64 middle = low + (high - low) / 2;
            Entry e;
            if (!index.readAt(&e, entryBytes, headerBytes + middle * entryBytes))
                return std::nullopt;
            if (e.key == wanted) {
                runs = int(e.runs);
                break;
            }
            if (e.key < wanted)
                low = middle + 1;
            else
                high = middle;
        }
    }
    const QByteArray serial = key.serial.toUtf8();
    qint64 end = 0;
    if (!eachLogLine(log, covered, logStatus.st_size, &end,
                     [&](const QByteArray &line) { runs += isRunOf(key, serial, line); }))
        return std::nullopt;
    return runs;
}

bool QcAttemptIndex::lags() const
{
    const Fd log(log_);
    struct stat logStatus = {};
    if (!log.regular(&logStatus))
        return false;
    const Fd index(pathFor(log_));
    const std::optional<Header> header = soundHeader(index, log, logStatus);
    return logStatus.st_size - (header ? qint64(header->covered) : 0) > maxTailBytes / 2;
}

bool QcAttemptIndex::update(QString *error) const
{
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = QStringLiteral("cannot index the attempts of %1: %2").arg(log_, reason);
        return false;
    };
    const Fd log(log_);
    struct stat logStatus = {};
    if (!log.regular(&logStatus))
        return fail(QStringLiteral("no readable log"));
    QHash<quint64, quint32> counts;
    qint64 covered = 0;
    {
        const Fd index(pathFor(log_));
        if (const std::optional<Header> header = soundHeader(index, log, logStatus)) {
            std::vector<Entry> entries(header->entries);
            if (index.readAt(entries.data(), qint64(entries.size()) * entryBytes, headerBytes)) {
                covered = qint64(header->covered);
                counts.reserve(int(entries.size()));
                for (const Entry &e : entries)
                    counts.insert(e.key, e.runs);
            }
        }
    }
    // Only whole lines are covered: the last may still be being written.
    if (!eachLogLine(log, covered, logStatus.st_size, &covered, [&](const QByteArray &line) {
            const QcRecordLine read = qcReadRecordLine(line);
            if (countable(read))
                ++counts[keyHash(read.record.stationOrHost(), read.record.test,
                                 read.record.serial)];
        }))
        return fail(qt_error_string(errno));
    std::vector<Entry> entries;
    entries.reserve(size_t(counts.size()));
    for (auto i = counts.cbegin(); i != counts.cend(); ++i)
        entries.push_back({i.key(), i.value(), 0});
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.key < b.key; });
    const Header header {quint64(covered), quint64(logStatus.st_ino), coveredHash(log, covered),
                         quint64(entries.size())};
    QSaveFile file(pathFor(log_));
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.write(magic, 8);
    file.write(reinterpret_cast<const char *>(&header), sizeof header);
    file.write(reinterpret_cast<const char *>(entries.data()), qint64(entries.size()) * entryBytes);
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

int QcAttemptIndex::runsUpdating(const QcAttemptKey &key) const
{
    if (const std::optional<int> known = runs(key))
        return *known;
    update();
    if (const std::optional<int> known = runs(key))
        return *known;
    // The index cannot be written: count in the log itself.
    return runsInWholeLog(key);
}

int QcAttemptIndex::runsInWholeLog(const QcAttemptKey &key) const
{
    const Fd log(log_);
    struct stat logStatus = {};
    if (!log.regular(&logStatus))
        return 0;
    int runs = 0;
    qint64 end = 0;
    const QByteArray serial = key.serial.toUtf8();
    eachLogLine(log, 0, logStatus.st_size, &end,
                [&](const QByteArray &line) { runs += isRunOf(key, serial, line); });
    return runs;
}
