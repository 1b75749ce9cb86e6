#include "qc/qcrecord.h"

#include "qc/qcfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QSysInfo>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every key of a record, spelled once.
const QString versionKey = QStringLiteral("version");
const QString idKey = QStringLiteral("id");
const QString timeKey = QStringLiteral("time");
const QString programKey = QStringLiteral("program");
const QString softwareKey = QStringLiteral("software");
const QString rulesKey = QStringLiteral("rules");
const QString hostKey = QStringLiteral("host");
const QString sourceKey = QStringLiteral("source");
const QString planKey = QStringLiteral("plan");
const QString pathKey = QStringLiteral("path");
const QString sha256Key = QStringLiteral("sha256");
const QString testKey = QStringLiteral("test");
const QString durationKey = QStringLiteral("duration");
const QString framesRequiredKey = QStringLiteral("framesRequired");
const QString framesKey = QStringLiteral("frames");
const QString channelsKey = QStringLiteral("channels");
const QString channelKey = QStringLiteral("channel");
const QString goodKey = QStringLiteral("good");
const QString needKey = QStringLiteral("need");
const QString samplesKey = QStringLiteral("samples");
const QString windowKey = QStringLiteral("window");
const QString xKey = QStringLiteral("x");
const QString yKey = QStringLiteral("y");
const QString minKey = QStringLiteral("min");
const QString maxKey = QStringLiteral("max");
const QString meanKey = QStringLiteral("mean");
const QString sdKey = QStringLiteral("sd");
const QString verdictKey = QStringLiteral("verdict");
const QString failuresKey = QStringLiteral("failures");
const QString serialKey = QStringLiteral("serial");
const QString damageKey = QStringLiteral("damage");
const QString captureKey = QStringLiteral("capture");
const QString bytesKey = QStringLiteral("bytes");

// The namespace of the ids derived from the bytes of records logged without one.
const QUuid legacyIdNamespace(QStringLiteral("c005861c-48fc-4f29-9c92-dbff3ed5e2bf"));

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

QJsonValue orNull(const QString &s)
{
    return s.isEmpty() ? QJsonValue() : QJsonValue(s);
}

QJsonValue orNull(const std::optional<double> &value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

QJsonObject statsJson(const QcRecordStats &stats)
{
    return {{minKey, orNull(stats.min)},
            {maxKey, orNull(stats.max)},
            {meanKey, orNull(stats.mean)},
            {sdKey, orNull(stats.sd)}};
}

QJsonArray bounds(double low, double high)
{
    return {low, high};
}

std::optional<double> number(const QJsonValue &value)
{
    return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
}

QcRecordStats statsOf(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    return {number(o.value(minKey)), number(o.value(maxKey)), number(o.value(meanKey)),
            number(o.value(sdKey))};
}

// [low, high] of two numbers.
bool readBounds(const QJsonValue &value, double *low, double *high)
{
    const QJsonArray a = value.toArray();
    if (a.size() != 2 || !a.at(0).isDouble() || !a.at(1).isDouble())
        return false;
    *low = a.at(0).toDouble();
    *high = a.at(1).toDouble();
    return true;
}

bool readChannel(const QJsonValue &value, QcRecordChannel *c)
{
    const QJsonObject o = value.toObject();
    if (!o.value(channelKey).isDouble())
        return false;
    c->channel = o.value(channelKey).toInt();
    c->good = o.value(goodKey).toInt();
    c->need = o.value(needKey).toInt();
    if (o.value(samplesKey).isDouble())
        c->samples = qint64(o.value(samplesKey).toDouble());
    if (o.contains(windowKey)) {
        const QJsonObject w = o.value(windowKey).toObject();
        QcRecordWindow window;
        if (!readBounds(w.value(xKey), &window.xMin, &window.xMax)
            || !readBounds(w.value(yKey), &window.yMin, &window.yMax))
            return false;
        c->window = window;
    }
    c->x = statsOf(o.value(xKey));
    c->y = statsOf(o.value(yKey));
    return true;
}

} // namespace

QcRecordStats QcRecordStats::of(const QcSampleStats &samples)
{
    if (samples.count == 0)
        return {};
    return {double(samples.min), double(samples.max), samples.mean(), samples.sd()};
}

QString QcRecord::timeJsonKey()
{
    return timeKey;
}

QJsonObject QcRecord::toJson() const
{
    QJsonArray channelArray;
    for (const QcRecordChannel &c : channels) {
        QJsonObject entry {{channelKey, c.channel}, {goodKey, c.good}, {needKey, c.need}};
        if (c.samples)
            entry.insert(samplesKey, double(*c.samples));
        if (c.window)
            entry.insert(windowKey,
                         QJsonObject {{xKey, bounds(c.window->xMin, c.window->xMax)},
                                      {yKey, bounds(c.window->yMin, c.window->yMax)}});
        if (c.samples) {
            entry.insert(xKey, statsJson(c.x));
            entry.insert(yKey, statsJson(c.y));
        }
        channelArray.append(entry);
    }
    QJsonObject record {
        {versionKey, currentVersion},
        {idKey, id},
        {timeKey, time},
        {programKey, program},
        {softwareKey, software},
        {rulesKey, rules},
        {hostKey, host},
        {sourceKey, source},
        {planKey, QJsonObject {{pathKey, orNull(planPath)}, {sha256Key, orNull(planSha256)}}},
        {testKey, test},
        {durationKey, duration},
        {framesRequiredKey, framesRequired},
        {framesKey, frames},
        {channelsKey, channelArray},
        {verdictKey, verdict},
        {failuresKey, QJsonArray::fromStringList(failures)},
    };
    if (!serial.isEmpty())
        record.insert(serialKey, serial);
    if (!damage.isEmpty())
        record.insert(damageKey, damage);
    record.insert(captureKey,
                  capture ? QJsonValue(QJsonObject {{pathKey, capture->path},
                                                    {sha256Key, capture->sha256},
                                                    {bytesKey, double(capture->bytes)}})
                          : QJsonValue());
    return record;
}

QByteArray QcRecord::toLine() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact) + '\n';
}

QcRecordLine qcReadRecordLine(const QByteArray &line)
{
    QcRecordLine read;
    // A NUL character has no place in a record, and a database's JSON refuses it.
    if (line.contains("\\u0000"))
        return read;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return read;
    const QJsonObject o = document.object();
    const QJsonValue version = o.value(versionKey);
    if (!version.isDouble() || version.toDouble() != QcRecord::currentVersion) {
        read.status = QcRecordLine::UnknownVersion;
        return read;
    }
    QcRecord &r = read.record;
    r.time = o.value(timeKey).toString();
    r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
    r.test = o.value(testKey).toString();
    r.verdict = o.value(verdictKey).toString();
    if (!r.judged.isValid() || !o.value(testKey).isString()
        || (r.verdict != QLatin1String("Pass") && r.verdict != QLatin1String("Fail")))
        return read;
    if (o.contains(idKey)) {
        const QUuid id(o.value(idKey).toString());
        if (id.isNull())
            return read;
        r.id = idText(id);
    } else {
        r.id = idText(QUuid::createUuidV5(legacyIdNamespace, line));
    }
    r.program = o.value(programKey).toString();
    r.software = o.value(softwareKey).toString();
    r.rules = o.value(rulesKey).toString();
    r.host = o.value(hostKey).toString();
    r.source = o.value(sourceKey).toString();
    const QJsonObject plan = o.value(planKey).toObject();
    r.planPath = plan.value(pathKey).toString();
    r.planSha256 = plan.value(sha256Key).toString();
    r.duration = o.value(durationKey).toDouble();
    r.framesRequired = o.value(framesRequiredKey).toInt();
    r.frames = o.value(framesKey).toInt();
    QSet<int> seen;
    for (const QJsonValue &value : o.value(channelsKey).toArray()) {
        QcRecordChannel c;
        if (!readChannel(value, &c) || seen.contains(c.channel))
            return read;
        seen.insert(c.channel);
        r.channels.append(c);
    }
    for (const QJsonValue &failure : o.value(failuresKey).toArray())
        r.failures.append(failure.toString());
    r.serial = o.value(serialKey).toString();
    r.damage = o.value(damageKey).toString();
    if (o.value(captureKey).isObject()) {
        const QJsonObject c = o.value(captureKey).toObject();
        r.capture = QcRecordCapture {c.value(pathKey).toString(), c.value(sha256Key).toString(),
                                     qint64(c.value(bytesKey).toDouble())};
    }
    read.json = o;
    read.status = QcRecordLine::Read;
    return read;
}

QString qcRecordTime(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QcRecorder::QcRecorder()
    : log_(qcResultsLogPath())
{
}

void QcRecorder::setProgram(const QString &program, Deliverable rules)
{
    program_ = program;
    rules_ = rules;
}

void QcRecorder::setPlan(const QString &path, const QByteArray &bytes)
{
    planPath_ = path;
    planSha256_ = path.isEmpty()
        ? QString()
        : QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QcRecord QcRecorder::judgement(const QcCheck &check, const QcVerdict &verdict,
                               const QDateTime &judged) const
{
    QcRecord r;
    r.id = idText(QUuid::createUuid());
    r.time = qcRecordTime(judged);
    r.judged = judged;
    r.program = program_;
    r.software = program_ + QLatin1Char(' ') + QLatin1String(ENVVIEWER_VERSION);
    r.rules = QLatin1String(deliverableName(rules_));
    r.host = QSysInfo::machineHostName();
    r.source = source_;
    r.planPath = planPath_;
    r.planSha256 = planSha256_;
    r.test = check.label();
    const int selected = check.selectedIndex();
    r.duration = selected < 0 ? 0.0 : check.plan().at(selected).duration;
    r.framesRequired = check.run().framesRequired;
    r.frames = check.run().frameCount;
    for (const QcChannel &c : check.channels()) {
        if (!c.listed)
            continue;
        QcRecordChannel entry;
        entry.channel = c.channel;
        entry.good = c.good;
        entry.need = c.need;
        entry.samples = c.x.count;
        entry.window = QcRecordWindow {c.min, c.max, c.yMin, c.yMax};
        entry.x = QcRecordStats::of(c.x);
        entry.y = QcRecordStats::of(c.y);
        r.channels.append(entry);
    }
    r.verdict = verdict.text;
    r.failures = verdict.messages;
    r.serial = serial_;
    r.damage = damage_;
    return r;
}

namespace {

// QDir::mkpath says only whether it worked; the operator needs the reason.
bool makeFolder(const QString &path, QString *reason)
{
    const QFileInfo folder(path);
    if (folder.isDir())
        return true;
    if (folder.path() != path && !makeFolder(folder.path(), reason))
        return false;
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0
        || (errno == EEXIST && QFileInfo(path).isDir()))
        return true;
    *reason = qt_error_string(errno == EEXIST ? ENOTDIR : errno);
    return false;
}

} // namespace

bool QcRecorder::append(const QJsonObject &record, QString *error) const
{
    const auto fail = [&](const QString &reason) {
        *error = QStringLiteral("cannot append the test record to %1: %2").arg(log_, reason);
        return false;
    };
    QString reason;
    if (!makeFolder(QFileInfo(log_).absolutePath(), &reason))
        return fail(reason);
    const int fd = ::open(QFile::encodeName(log_).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(qt_error_string(errno));
    // Programs that judge at the same moment append one after the other, so a record cut short
    // can be taken back before anyone appends behind it.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A writer killed mid-line leaves the file without its last line end; this record starts on
    // a line of its own all the same, so only the broken one is lost.
    struct stat status = {};
    char last = '\n';
    const bool sized = ::fstat(fd, &status) == 0;
    if (sized && status.st_size > 0 && ::pread(fd, &last, 1, status.st_size - 1) == 1
        && last != '\n')
        line.prepend('\n');
    qint64 written = 0;
    int writeError = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + written, size_t(line.size() - written));
        if (n > 0)
            written += n;
        else if (n < 0 && errno != EINTR) {
            writeError = errno;
            break;
        }
    }
    // A full disk may take part of the line: a record is whole or absent.
    if (writeError && written > 0 && sized) {
        [[maybe_unused]] const int truncated = ::ftruncate(fd, status.st_size);
    }
    const bool closed = ::close(fd) == 0; // also releases the lock
    if (writeError)
        return fail(qt_error_string(writeError));
    if (!closed)
        return fail(qt_error_string(errno));
    return true;
}
