#include "records/record.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QUuid>
#include <QVector>

#include <cmath>
#include <cstring>

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

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The code unit of the \uXXXX escape at `at` (its backslash), or -1.
int escapedUnit(const QByteArray &line, int at)
{
    if (at + 6 > line.size() || line.at(at) != '\\' || line.at(at + 1) != 'u')
        return -1;
    int unit = 0;
    for (int i = at + 2; i < at + 6; ++i) {
        const int h = hexValue(line.at(i));
        if (h < 0)
            return -1;
        unit = unit * 16 + h;
    }
    return unit;
}

// The length of the UTF-8 sequence at `at`, or 0 when it is none (overlong forms, surrogates and
// code points past U+10FFFF included).
int utf8Sequence(const uchar *s, int size, int at)
{
    const uchar c = s[at];
    int length = 0;
    uint low = 0x80, high = 0xBF;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (at + length > size || s[at + 1] < low || s[at + 1] > high)
        return 0;
    for (int i = 2; i < length; ++i)
        if (s[at + i] < 0x80 || s[at + i] > 0xBF)
            return 0;
    return length;
}

// The string whose opening quote is at `at`, its escapes decoded (the line's escapes are known
// to be sound); `end` is set past its closing quote.
QString decodedString(const QByteArray &line, int at, int *end)
{
    QString text;
    int from = ++at;
    const auto flush
        = [&](int to) { text += QString::fromUtf8(line.constData() + from, to - from); };
    while (at < line.size() && line.at(at) != '"') {
        if (line.at(at) != '\\') {
            ++at;
            continue;
        }
        flush(at);
        const char escaped = at + 1 < line.size() ? line.at(at + 1) : '\0';
        if (escaped == 'u') {
            text += QChar(ushort(escapedUnit(line, at)));
            at += 6;
        } else {
            static const char from_[] = "bfnrt", to_[] = "\b\f\n\r\t";
            const char *mapped = std::strchr(from_, escaped);
            text += QLatin1Char(mapped && escaped ? to_[mapped - from_] : escaped);
            at += 2;
        }
        from = at;
    }
    flush(qMin(at, int(line.size())));
    *end = at + 1;
    return text;
}

// A key twice in one object: readers disagree on which value holds, and Qt's parser leaks the
// first when it is an array or an object, so such a line is refused before it is parsed.
int duplicateKeyAt(const QByteArray &line)
{
    struct Scope
    {
        bool object = false;
        bool expectingKey = false;
        QSet<QByteArray> keys;
    };
    QVector<Scope> scopes;
    for (int at = 0; at < line.size();) {
        const char c = line.at(at);
        if (c == '"') {
            const int start = at;
            int close = at + 1;
            while (close < line.size() && line.at(close) != '"' && line.at(close) != '\\')
                ++close;
            // Most strings hold no escape: their bytes are their text.
            QByteArray text;
            if (close < line.size() && line.at(close) == '"') {
                text = QByteArray::fromRawData(line.constData() + at + 1, close - at - 1);
                at = close + 1;
            } else {
                text = decodedString(line, at, &at).toUtf8();
            }
            if (!scopes.isEmpty() && scopes.last().object && scopes.last().expectingKey) {
                Scope &scope = scopes.last();
                scope.expectingKey = false;
                if (scope.keys.contains(text))
                    return start;
                scope.keys.insert(text);
            }
            continue;
        }
        if (c == '{' || c == '[')
            scopes.append({c == '{', c == '{', {}});
        else if ((c == '}' || c == ']') && !scopes.isEmpty())
            scopes.removeLast();
        else if (c == ',' && !scopes.isEmpty() && scopes.last().object)
            scopes.last().expectingKey = true;
        ++at;
    }
    return -1;
}

bool finiteWithin(double value)
{
    return std::isfinite(value) && std::fabs(value) <= QcRecordLimits::magnitude;
}

bool finiteWithin(const std::optional<double> &value)
{
    return !value || finiteWithin(*value);
}

} // namespace

QString QcRecord::timeJsonKey()
{
    return timeKey;
}

QString QcRecord::rulesJsonKey()
{
    return rulesKey;
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

QString qcRecordLineProblem(const QByteArray &line)
{
    if (line.size() > QcRecordLimits::lineBytes)
        return QStringLiteral("longer than %1 bytes").arg(QcRecordLimits::lineBytes);
    const auto *s = reinterpret_cast<const uchar *>(line.constData());
    const int size = int(line.size());
    for (int at = 0; at < size;) {
        if (s[at] < 0x20)
            return QStringLiteral("a control character (0x%1) at byte %2")
                .arg(int(s[at]), 2, 16, QLatin1Char('0'))
                .arg(at + 1);
        if (s[at] == '\\') {
            // An escaped backslash is skipped whole, so that "\\u0000" is no escape.
            const char escaped = at + 1 < size ? char(s[at + 1]) : '\0';
            const int unit = escapedUnit(line, at);
            if (escaped != 'u' && escaped && std::strchr("\"\\/bfnrt", escaped)) {
                at += 2;
                continue;
            }
            if (unit < 0)
                return QStringLiteral("an escape that JSON has not at byte %1").arg(at + 1);
            if (unit == 0)
                return QStringLiteral("a NUL character at byte %1").arg(at + 1);
            if (unit >= 0xDC00 && unit <= 0xDFFF)
                return QStringLiteral("a lone surrogate at byte %1").arg(at + 1);
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                const int next = escapedUnit(line, at + 6);
                if (next < 0xDC00 || next > 0xDFFF)
                    return QStringLiteral("a lone surrogate at byte %1").arg(at + 1);
                at += 6;
            }
            at += 6;
            continue;
        }
        const int length = utf8Sequence(s, size, at);
        if (length == 0)
            return QStringLiteral("no UTF-8 at byte %1").arg(at + 1);
        at += length;
    }
    const int duplicate = duplicateKeyAt(line);
    if (duplicate >= 0)
        return QStringLiteral("a key twice in one object at byte %1").arg(duplicate + 1);
    return QString();
}

QString qcRecordProblem(const QcRecord &r)
{
    const auto tooLong = [](const QString &text, int limit) {
        return text.contains(QChar(0)) || text.toUtf8().size() > limit;
    };
    const std::pair<const QString &, const QString *> shortTexts[]
        = {{idKey, &r.id},
           {timeKey, &r.time},
           {programKey, &r.program},
           {softwareKey, &r.software},
           {rulesKey, &r.rules},
           {hostKey, &r.host},
           {testKey, &r.test},
           {verdictKey, &r.verdict},
           {serialKey, &r.serial},
           {sha256Key, &r.planSha256},
           {stationKey, &r.station},
           {fixtureKey, &r.fixture},
           {operatorKey, &r.operatorName}};
    for (const auto &[key, text] : shortTexts)
        if (tooLong(*text, QcRecordLimits::shortTextBytes))
            return QStringLiteral("%1 is longer than %2 bytes or holds a NUL")
                .arg(key)
                .arg(QcRecordLimits::shortTextBytes);
    QList<const QString *> texts {&r.source, &r.planPath, &r.damage};
    if (r.capture)
        texts << &r.capture->path << &r.capture->sha256;
    for (const QString &failure : r.failures)
        texts << &failure;
    for (const QString *text : texts)
        if (tooLong(*text, QcRecordLimits::textBytes))
            return QStringLiteral("a text is longer than %1 bytes or holds a NUL")
                .arg(QcRecordLimits::textBytes);
    if (r.failures.size() > QcRecordLimits::failures)
        return QStringLiteral("more than %1 failures").arg(QcRecordLimits::failures);
    if (r.channels.size() > QcRecordLimits::channels)
        return QStringLiteral("more than %1 channels").arg(QcRecordLimits::channels);
    // The database keeps the time in UTC and the station's day as written; both need a year it
    // can hold, which every year from 1 to 9999 is.
    const auto yearHeld = [](const QDate &date) {
        return date.isValid() && date.year() >= 1 && date.year() <= 9999;
    };
    if (!yearHeld(r.judged.date()) || !yearHeld(r.judged.toUTC().date())
        || !yearHeld(QDate::fromString(r.day(), Qt::ISODate)))
        return QStringLiteral("time %1 is outside the years 1 to 9999 in UTC").arg(r.time);
    if (!finiteWithin(r.duration) || r.duration < 0)
        return QStringLiteral("duration is no finite number of seconds");
    for (const QcRecordChannel &c : r.channels) {
        const QcRecordStats *both[] = {&c.x, &c.y};
        for (const QcRecordStats *s : both)
            if (!finiteWithin(s->min) || !finiteWithin(s->max) || !finiteWithin(s->mean)
                || !finiteWithin(s->sd))
                return QStringLiteral("channel %1's statistics are beyond ±%2")
                    .arg(c.channel)
                    .arg(QcRecordLimits::magnitude);
        if (c.window
            && (!finiteWithin(c.window->xMin) || !finiteWithin(c.window->xMax)
                || !finiteWithin(c.window->yMin) || !finiteWithin(c.window->yMax)))
            return QStringLiteral("channel %1's window is beyond ±%2")
                .arg(c.channel)
                .arg(QcRecordLimits::magnitude);
    }
    return QString();
}

QcRecordLine qcReadRecordLine(const QByteArray &bytes)
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
