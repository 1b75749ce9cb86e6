#include "records/record.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QUuid>

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
const QString stationKey = QStringLiteral("station");
const QString fixtureKey = QStringLiteral("fixture");
const QString operatorKey = QStringLiteral("operator");
const QString attemptKey = QStringLiteral("attempt");
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
    if (!station.isEmpty())
        record.insert(stationKey, station);
    if (!fixture.isEmpty())
        record.insert(fixtureKey, fixture);
    if (!operatorName.isEmpty())
        record.insert(operatorKey, operatorName);
    if (attempt)
        record.insert(attemptKey, *attempt);
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
    r.station = o.value(stationKey).toString();
    r.fixture = o.value(fixtureKey).toString();
    r.operatorName = o.value(operatorKey).toString();
    // A count of runs: a whole number from 1; anything else is no attempt.
    const QJsonValue attempt = o.value(attemptKey);
    if (attempt.isDouble() && attempt.toDouble() >= 1 && attempt.toDouble() <= 1e9
        && attempt.toDouble() == double(attempt.toInt()))
        r.attempt = attempt.toInt();
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

QString qcNewRecordId()
{
    return idText(QUuid::createUuid());
}

QString qcSerialProblem(const QString &serial)
{
    if (serial.size() > qcMaxSerialLength)
        return QStringLiteral("the serial number is longer than %1 characters")
            .arg(qcMaxSerialLength);
    for (const QChar c : serial) {
        const ushort u = c.unicode();
        const bool allowed = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z')
            || (u >= 'a' && u <= 'z') || QStringLiteral("-_./:+#").contains(c);
        if (allowed)
            continue;
        if (u < 0x20 || u == 0x7f)
            return QStringLiteral("the serial number holds a control character (0x%1)")
                .arg(u, 2, 16, QLatin1Char('0'));
        return QStringLiteral(
                   "the serial number holds '%1'; it may hold letters, digits and - _ . / : + #")
            .arg(c);
    }
    return QString();
}
