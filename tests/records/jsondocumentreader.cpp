// The record line reader as it was when QJsonDocument parsed every line: the reference that the
// reader of today must agree with, line for line.
#include "jsondocumentreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QUuid>

#include <cmath>

namespace {

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

const QUuid legacyIdNamespace(QStringLiteral("c005861c-48fc-4f29-9c92-dbff3ed5e2bf"));

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

// Why a line's reading stopped; set once, by the first check that fails.
class Reading
{
public:
    bool fail(const QString &why)
    {
        if (problem.isEmpty())
            problem = why;
        return false;
    }
    QString problem;

    // A number of a count: a whole one in [0, `limit`), so that no conversion can overflow.
    bool whole(const QJsonValue &value, double limit, const QString &key, qint64 *out)
    {
        const double d = value.toDouble();
        if (!value.isDouble() || !(d >= 0 && d < limit) || d != std::floor(d))
            return fail(QStringLiteral("%1 is no whole number from 0 to 2^%2")
                            .arg(key)
                            .arg(limit == twoTo63 ? 63 : 31));
        *out = qint64(d);
        return true;
    }
    bool whole32(const QJsonValue &value, const QString &key, qint32 *out)
    {
        qint64 n = 0;
        if (!whole(value, twoTo31, key, &n))
            return false;
        *out = qint32(n);
        return true;
    }
    // A value absent or null leaves `out` as it is.
    bool optionalWhole32(const QJsonValue &value, const QString &key, qint32 *out)
    {
        return value.isUndefined() || value.isNull() || whole32(value, key, out);
    }
    bool optionalNumber(const QJsonValue &value, const QString &key, std::optional<double> *out)
    {
        if (value.isUndefined() || value.isNull())
            return true;
        if (!value.isDouble())
            return fail(key + QStringLiteral(" is no number"));
        *out = value.toDouble();
        return true;
    }
    bool stats(const QJsonValue &value, const QString &key, QcRecordStats *out)
    {
        const QJsonObject o = value.toObject();
        return optionalNumber(o.value(minKey), key + QLatin1Char('.') + minKey, &out->min)
            && optionalNumber(o.value(maxKey), key + QLatin1Char('.') + maxKey, &out->max)
            && optionalNumber(o.value(meanKey), key + QLatin1Char('.') + meanKey, &out->mean)
            && optionalNumber(o.value(sdKey), key + QLatin1Char('.') + sdKey, &out->sd);
    }
    // [low, high] of two numbers.
    bool bounds(const QJsonValue &value, const QString &key, double *low, double *high)
    {
        const QJsonArray a = value.toArray();
        if (a.size() != 2 || !a.at(0).isDouble() || !a.at(1).isDouble())
            return fail(key + QStringLiteral(" is no pair of numbers"));
        *low = a.at(0).toDouble();
        *high = a.at(1).toDouble();
        return true;
    }
    // A string, or nothing; anything else is no record.
    bool text(const QJsonValue &value, const QString &key, QString *out)
    {
        if (value.isUndefined() || value.isNull())
            return true;
        if (!value.isString())
            return fail(key + QStringLiteral(" is no string"));
        *out = value.toString();
        return true;
    }
    bool channel(const QJsonValue &value, QcRecordChannel *c)
    {
        const QJsonObject o = value.toObject();
        if (!whole32(o.value(channelKey), channelKey, &c->channel)
            || !optionalWhole32(o.value(goodKey), goodKey, &c->good)
            || !optionalWhole32(o.value(needKey), needKey, &c->need))
            return false;
        const QJsonValue samples = o.value(samplesKey);
        if (!samples.isUndefined() && !samples.isNull()) {
            qint64 n = 0;
            if (!whole(samples, twoTo63, samplesKey, &n))
                return false;
            c->samples = n;
        }
        if (o.contains(windowKey)) {
            const QJsonObject w = o.value(windowKey).toObject();
            QcRecordWindow window;
            if (!bounds(w.value(xKey), windowKey + QStringLiteral(".x"), &window.xMin, &window.xMax)
                || !bounds(w.value(yKey), windowKey + QStringLiteral(".y"), &window.yMin,
                           &window.yMax))
                return false;
            c->window = window;
        }
        return stats(o.value(xKey), xKey, &c->x) && stats(o.value(yKey), yKey, &c->y);
    }

    static constexpr double twoTo31 = 2147483648.0;
    static constexpr double twoTo63 = 9223372036854775808.0;
};

// A leading byte-order mark is read as nothing: some editors write one.
QByteArray withoutByteOrderMark(const QByteArray &line)
{
    return line.startsWith("\xEF\xBB\xBF") ? line.mid(3) : line;
}

} // namespace

QcRecordLine jsonDocumentRecordLine(const QByteArray &bytes)
{
    QcRecordLine read;
    const auto malformed = [&](const QString &problem) {
        read.problem = problem;
        return read;
    };
    const QByteArray line = withoutByteOrderMark(bytes);
    read.bytes = line;
    const QString lineProblem = qcRecordLineProblem(line);
    if (!lineProblem.isEmpty())
        return malformed(lineProblem);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError)
        return malformed(QStringLiteral("no JSON: %1 at byte %2")
                             .arg(error.errorString())
                             .arg(error.offset + 1));
    if (!document.isObject())
        return malformed(QStringLiteral("no JSON object"));
    const QJsonObject o = document.object();
    const QJsonValue version = o.value(versionKey);
    if (!version.isDouble() || version.toDouble() != QcRecord::currentVersion) {
        read.status = QcRecordLine::UnknownVersion;
        read.problem = QStringLiteral("a record of an unknown version");
        return read;
    }
    QcRecord &r = read.record;
    Reading reading;
    r.time = o.value(timeKey).toString();
    r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
    r.test = o.value(testKey).toString();
    r.verdict = o.value(verdictKey).toString();
    if (!r.judged.isValid())
        return malformed(QStringLiteral("no time"));
    if (!o.value(testKey).isString())
        return malformed(QStringLiteral("no test"));
    if (r.verdict != QLatin1String("Pass") && r.verdict != QLatin1String("Fail"))
        return malformed(QStringLiteral("no verdict"));
    if (o.contains(idKey)) {
        const QUuid id(o.value(idKey).toString());
        if (id.isNull())
            return malformed(QStringLiteral("no record id"));
        r.id = idText(id);
    } else {
        r.id = idText(QUuid::createUuidV5(legacyIdNamespace, line));
    }
    const QJsonObject plan = o.value(planKey).toObject();
    const QJsonValue duration = o.value(durationKey);
    if (!duration.isUndefined() && !duration.isNull() && !duration.isDouble())
        return malformed(QStringLiteral("duration is no number"));
    r.duration = duration.toDouble();
    if (!reading.text(o.value(programKey), programKey, &r.program)
        || !reading.text(o.value(softwareKey), softwareKey, &r.software)
        || !reading.text(o.value(rulesKey), rulesKey, &r.rules)
        || !reading.text(o.value(hostKey), hostKey, &r.host)
        || !reading.text(o.value(sourceKey), sourceKey, &r.source)
        || !reading.text(plan.value(pathKey), planKey, &r.planPath)
        || !reading.text(plan.value(sha256Key), planKey, &r.planSha256)
        || !reading.text(o.value(serialKey), serialKey, &r.serial)
        || !reading.text(o.value(damageKey), damageKey, &r.damage)
        || !reading.text(o.value(stationKey), stationKey, &r.station)
        || !reading.text(o.value(fixtureKey), fixtureKey, &r.fixture)
        || !reading.text(o.value(operatorKey), operatorKey, &r.operatorName)
        || !reading.optionalWhole32(o.value(framesRequiredKey), framesRequiredKey,
                                    &r.framesRequired)
        || !reading.optionalWhole32(o.value(framesKey), framesKey, &r.frames))
        return malformed(reading.problem);
    QSet<int> seen;
    for (const QJsonValue &value : o.value(channelsKey).toArray()) {
        QcRecordChannel c;
        if (!reading.channel(value, &c))
            return malformed(reading.problem);
        if (seen.contains(c.channel))
            return malformed(QStringLiteral("channel %1 twice").arg(c.channel));
        seen.insert(c.channel);
        r.channels.append(c);
    }
    for (const QJsonValue &failure : o.value(failuresKey).toArray()) {
        if (!failure.isString())
            return malformed(QStringLiteral("a failure is no string"));
        r.failures.append(failure.toString());
    }
    // A count of runs: a whole number from 1.
    const QJsonValue attempt = o.value(attemptKey);
    if (!attempt.isUndefined() && !attempt.isNull()) {
        if (!attempt.isDouble() || attempt.toDouble() < 1 || attempt.toDouble() > 1e9
            || attempt.toDouble() != double(attempt.toInt()))
            return malformed(QStringLiteral("attempt is no whole number from 1"));
        r.attempt = attempt.toInt();
    }
    if (o.value(captureKey).isObject()) {
        const QJsonObject c = o.value(captureKey).toObject();
        QcRecordCapture capture;
        if (!reading.text(c.value(pathKey), captureKey, &capture.path)
            || !reading.text(c.value(sha256Key), captureKey, &capture.sha256)
            || !reading.whole(c.value(bytesKey), Reading::twoTo63, bytesKey, &capture.bytes))
            return malformed(reading.problem);
        r.capture = capture;
    }
    const QString problem = qcRecordProblem(r);
    if (!problem.isEmpty())
        return malformed(problem);
    read.status = QcRecordLine::Read;
    return read;
}
