#include "records/record.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QUuid>
#include <QVector>

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

// A key of a record: matched as bytes by the reader, text in messages and in QJsonObject.
struct Key
{
    std::string_view name;
    operator QString() const { return QString::fromLatin1(name.data(), int(name.size())); }
};
bool operator==(std::string_view text, const Key &key)
{
    return text == key.name;
}

// Every key of a record, spelled once.
constexpr Key versionKey {"version"};
constexpr Key idKey {"id"};
constexpr Key timeKey {"time"};
constexpr Key programKey {"program"};
constexpr Key softwareKey {"software"};
constexpr Key rulesKey {"rules"};
constexpr Key hostKey {"host"};
constexpr Key sourceKey {"source"};
constexpr Key planKey {"plan"};
constexpr Key pathKey {"path"};
constexpr Key sha256Key {"sha256"};
constexpr Key testKey {"test"};
constexpr Key durationKey {"duration"};
constexpr Key framesRequiredKey {"framesRequired"};
constexpr Key framesKey {"frames"};
constexpr Key channelsKey {"channels"};
constexpr Key channelKey {"channel"};
constexpr Key goodKey {"good"};
constexpr Key needKey {"need"};
constexpr Key samplesKey {"samples"};
constexpr Key windowKey {"window"};
constexpr Key xKey {"x"};
constexpr Key yKey {"y"};
constexpr Key minKey {"min"};
constexpr Key maxKey {"max"};
constexpr Key meanKey {"mean"};
constexpr Key sdKey {"sd"};
constexpr Key verdictKey {"verdict"};
constexpr Key failuresKey {"failures"};
constexpr Key serialKey {"serial"};
constexpr Key stationKey {"station"};
constexpr Key fixtureKey {"fixture"};
constexpr Key operatorKey {"operator"};
constexpr Key attemptKey {"attempt"};
constexpr Key damageKey {"damage"};
constexpr Key captureKey {"capture"};
constexpr Key bytesKey {"bytes"};

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

// One value of a line as the checks see it. Another value (an object, an array, a boolean) is
// one no check takes; absent and null mean "not given" alike.
struct Slot
{
    enum Kind : quint8 { Absent, Null, Number, String, Other };
    Kind kind = Absent;
    double number = 0;
    std::string_view text; // in the parser's buffer, valid while the line is read
    bool unset() const { return kind == Absent || kind == Null; }
    QString string() const
    {
        return kind == String ? QString::fromUtf8(text.data(), int(text.size())) : QString();
    }
};

// [low, high] when the value was an array of exactly two numbers.
struct PairSlot
{
    bool numbers = false;
    double low = 0;
    double high = 0;
};

struct StatsSlots
{
    Slot min, max, mean, sd;
};

struct ChannelSlots
{
    Slot channel, good, need, samples;
    bool window = false; // the key was there, whatever its value
    PairSlot windowX, windowY;
    StatsSlots x, y;
};

// What a line gave for each key a record has, before any check.
struct RecordSlots
{
    Slot version, id, time, program, software, rules, host, source, planPath, planSha256, test,
        duration, framesRequired, frames, verdict, serial, damage, station, fixture, operatorName,
        attempt;
    bool capture = false; // an object
    Slot capturePath, captureSha256, captureBytes;
    std::vector<ChannelSlots> channels;
    std::vector<Slot> failures;
};

namespace ondemand = simdjson::ondemand;

// Walks a line's JSON once, in order, keeping what RecordSlots names; everything else is
// validated whole, so that a line is read exactly when it is JSON. A key twice in an object marks
// the line.
class LineWalk
{
public:
    // `begin` and `end`: the line's bytes, which every token lies within.
    LineWalk(RecordSlots &into, const char *begin, const char *end)
        : slots_(into)
        , begin_(begin)
        , end_(end)
    {
    }
    simdjson::error_code error = simdjson::SUCCESS;
    bool duplicate = false;

    bool record(ondemand::object &o)
    {
        RecordSlots &s = slots_;
        return fields(o, [&](std::string_view key, ondemand::value &v) -> quint64 {
            const std::pair<const Key &, Slot *> scalars[]
                = {{versionKey, &s.version},   {idKey, &s.id},
                   {timeKey, &s.time},         {programKey, &s.program},
                   {softwareKey, &s.software}, {rulesKey, &s.rules},
                   {hostKey, &s.host},         {sourceKey, &s.source},
                   {testKey, &s.test},         {durationKey, &s.duration},
                   {framesKey, &s.frames},     {framesRequiredKey, &s.framesRequired},
                   {verdictKey, &s.verdict},   {serialKey, &s.serial},
                   {damageKey, &s.damage},     {stationKey, &s.station},
                   {fixtureKey, &s.fixture},   {operatorKey, &s.operatorName},
                   {attemptKey, &s.attempt}};
            quint64 bit = 1;
            for (const auto &[name, slot] : scalars) {
                if (key == name)
                    return scalar(v, slot) ? bit : 0;
                bit <<= 1;
            }
            if (key == planKey)
                return objectOrOther(v, nullptr,
                                     [&](std::string_view k, ondemand::value &pv) {
                                         return k == pathKey  ? (scalar(pv, &s.planPath) ? 1 : 0)
                                             : k == sha256Key ? (scalar(pv, &s.planSha256) ? 2 : 0)
                                                              : 0;
                                     })
                    ? bit
                    : 0;
            if (key == captureKey)
                return objectOrOther(v, &s.capture,
                                     [&](std::string_view k, ondemand::value &cv) {
                                         return k == pathKey ? (scalar(cv, &s.capturePath) ? 1 : 0)
                                             : k == sha256Key
                                             ? (scalar(cv, &s.captureSha256) ? 2 : 0)
                                             : k == bytesKey ? (scalar(cv, &s.captureBytes) ? 4 : 0)
                                                             : 0;
                                     })
                    ? bit << 1
                    : 0;
            if (key == channelsKey)
                return channels(v) ? bit << 2 : 0;
            if (key == failuresKey)
                return failures(v) ? bit << 3 : 0;
            return 0;
        });
    }

    // Any value, validated whole.
    bool any(ondemand::value &v)
    {
        switch (firstByte(v)) {
        case '{':
            return objectOrOther(v, nullptr, [](std::string_view, ondemand::value &) { return 0; });
        case '[': {
            ondemand::array a;
            if (const auto e = v.get_array().get(a))
                return fail(e);
            return elements(a, [&](ondemand::value &element) { return any(element); });
        }
        default: {
            Slot ignored;
            return scalar(v, &ignored);
        }
        }
    }

    template<typename Take>
    bool elements(ondemand::array &a, Take &&take)
    {
        for (auto element : a) {
            ondemand::value v;
            if (const auto e = std::move(element).get(v))
                return fail(e);
            if (!take(v))
                return false;
        }
        return true;
    }

private:
    bool fail(simdjson::error_code e)
    {
        if (!error)
            error = e;
        return false;
    }

    static char firstByte(ondemand::value &v)
    {
        const std::string_view token = v.raw_json_token();
        return token.empty() ? '\0' : token.front();
    }

    // A number as Qt's parser read one, which takes a little more than JSON (".5", "1."): an
    // optional minus, digits (one 0 alone), a fraction, an exponent, all of it one finite double
    // that is no zero unless its digits are.
    bool number(ondemand::value &v, double *out)
    {
        // JSON's own numbers by the parser, which passes over what it cannot read.
        const bool json = v.get_double().get(*out) == simdjson::SUCCESS;
        if (json && *out != 0)
            return true;
        std::string_view token = v.raw_json_token();
        // The parser measures a token to the next one it found, which a broken line may have
        // put anywhere.
        if (token.data() < begin_ || token.data() >= end_)
            return fail(simdjson::NUMBER_ERROR);
        token
            = token.substr(0, size_t(std::min<qint64>(qint64(token.size()), end_ - token.data())));
        while (!token.empty()
               && (token.back() == ' ' || token.back() == '\t' || token.back() == '\n'
                   || token.back() == '\r'))
            token.remove_suffix(1);
        bool nonZero = false;
        const auto digits = [&](size_t i) {
            for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i)
                nonZero = nonZero || token[i] != '0';
            return i;
        };
        size_t i = !token.empty() && token[0] == '-' ? 1 : 0;
        i = i < token.size() && token[i] == '0' ? i + 1 : digits(i);
        if (i < token.size() && token[i] == '.')
            i = digits(i + 1);
        const bool mantissaNonZero = nonZero;
        if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
            ++i;
            if (i < token.size() && (token[i] == '-' || token[i] == '+'))
                ++i;
            i = digits(i);
        }
        if (i != token.size() || token.empty())
            return fail(simdjson::NUMBER_ERROR);
        if (!json) {
            const auto read = std::from_chars(token.data(), token.data() + token.size(), *out);
            if (read.ec != std::errc() || read.ptr != token.data() + token.size())
                return fail(simdjson::NUMBER_ERROR);
        }
        // Too small for a double: Qt refused it rather than read it as zero.
        return *out != 0 || !mantissaNonZero || fail(simdjson::NUMBER_ERROR);
    }

    // A scalar into its slot; an object or an array is validated and kept as Other.
    bool scalar(ondemand::value &v, Slot *slot)
    {
        switch (firstByte(v)) {
        case '"':
            slot->kind = Slot::String;
            if (const auto e = v.get_string().get(slot->text))
                return fail(e);
            return true;
        case 'n': {
            bool isNull = false;
            if (const auto e = v.is_null().get(isNull))
                return fail(e);
            slot->kind = Slot::Null;
            return isNull || fail(simdjson::N_ATOM_ERROR);
        }
        case 't':
        case 'f': {
            bool ignored = false;
            slot->kind = Slot::Other;
            if (const auto e = v.get_bool().get(ignored))
                return fail(e);
            return true;
        }
        case '{':
        case '[':
            slot->kind = Slot::Other;
            return any(v);
        default:
            // Read from the line's bytes, the parser passing over them.
            slot->kind = Slot::Number;
            return number(v, &slot->number);
        }
    }

    // The fields of an object: `take` reads the ones it knows and returns a bit of its own for
    // each; a field it does not know (0) is validated whole.
    template<typename Take>
    bool fields(ondemand::object &o, Take &&take)
    {
        quint64 seen = 0;
        std::vector<std::string_view> others;
        for (auto field : o) {
            ondemand::field f;
            if (const auto e = std::move(field).get(f))
                return fail(e);
            // Most keys hold no escape: their bytes in the line are their text.
            const char *const raw = f.key().raw();
            const char *end = raw;
            while (*end != '"' && *end != '\\')
                ++end;
            std::string_view key(raw, size_t(end - raw));
            if (*end == '\\') {
                if (const auto e = f.unescaped_key().get(key))
                    return fail(e);
            }
            const quint64 bit = take(key, f.value());
            if (error)
                return false;
            if (bit == 0) {
                if (std::find(others.begin(), others.end(), key) != others.end())
                    duplicate = true;
                others.push_back(key);
                if (!any(f.value()))
                    return false;
            } else {
                duplicate = duplicate || (seen & bit);
                seen |= bit;
            }
        }
        return true;
    }

    // An object's fields, or any other value validated and passed over; `isObject`, when given,
    // says which it was.
    template<typename Take>
    bool objectOrOther(ondemand::value &v, bool *isObject, Take &&take)
    {
        const bool object = firstByte(v) == '{';
        if (isObject)
            *isObject = object;
        if (!object)
            return any(v);
        ondemand::object o;
        if (const auto e = v.get_object().get(o))
            return fail(e);
        return fields(o, take);
    }

    template<typename Take>
    bool arrayOrOther(ondemand::value &v, Take &&take)
    {
        if (firstByte(v) != '[')
            return any(v);
        ondemand::array a;
        if (const auto e = v.get_array().get(a))
            return fail(e);
        return elements(a, take);
    }

    bool pair(ondemand::value &v, PairSlot *out)
    {
        int count = 0;
        bool numbers = true;
        return arrayOrOther(v,
                            [&](ondemand::value &element) {
                                Slot slot;
                                if (!scalar(element, &slot))
                                    return false;
                                numbers = numbers && slot.kind == Slot::Number;
                                (count == 0 ? out->low : out->high) = slot.number;
                                ++count;
                                return true;
                            })
            && ((out->numbers = numbers && count == 2), true);
    }

    bool stats(ondemand::value &v, StatsSlots *out)
    {
        return objectOrOther(v, nullptr, [&](std::string_view k, ondemand::value &sv) -> quint64 {
            Slot *const values[] = {&out->min, &out->max, &out->mean, &out->sd};
            const Key *const keys[] = {&minKey, &maxKey, &meanKey, &sdKey};
            for (int i = 0; i < 4; ++i)
                if (k == *keys[i])
                    return scalar(sv, values[i]) ? quint64(1) << i : 0;
            return 0;
        });
    }

    bool channels(ondemand::value &v)
    {
        return arrayOrOther(v, [&](ondemand::value &element) {
            ChannelSlots &c = slots_.channels.emplace_back();
            return objectOrOther(element, nullptr,
                                 [&](std::string_view k, ondemand::value &cv) -> quint64 {
                                     if (k == channelKey)
                                         return scalar(cv, &c.channel) ? 1 : 0;
                                     if (k == goodKey)
                                         return scalar(cv, &c.good) ? 2 : 0;
                                     if (k == needKey)
                                         return scalar(cv, &c.need) ? 4 : 0;
                                     if (k == samplesKey)
                                         return scalar(cv, &c.samples) ? 8 : 0;
                                     if (k == xKey)
                                         return stats(cv, &c.x) ? 16 : 0;
                                     if (k == yKey)
                                         return stats(cv, &c.y) ? 32 : 0;
                                     if (k == windowKey) {
                                         c.window = true;
                                         return window(cv, &c) ? 64 : 0;
                                     }
                                     return 0;
                                 });
        });
    }

    bool window(ondemand::value &v, ChannelSlots *c)
    {
        return objectOrOther(v, nullptr, [&](std::string_view k, ondemand::value &wv) -> quint64 {
            if (k == xKey)
                return pair(wv, &c->windowX) ? 1 : 0;
            if (k == yKey)
                return pair(wv, &c->windowY) ? 2 : 0;
            return 0;
        });
    }

    bool failures(ondemand::value &v)
    {
        return arrayOrOther(v, [&](ondemand::value &element) {
            return scalar(element, &slots_.failures.emplace_back());
        });
    }

    RecordSlots &slots_;
    const char *begin_;
    const char *end_;
};

// A text of the line read before: a station's records repeat most of their texts, which are then
// shared rather than converted again.
struct TextCache
{
    std::string bytes;
    QString text;
};

QString cachedText(const Slot &slot, TextCache &cache)
{
    if (slot.kind != Slot::String)
        return QString();
    if (slot.text != cache.bytes) {
        cache.bytes.assign(slot.text);
        cache.text = slot.string();
    }
    return cache.text;
}

// Why a record's values are no record; set once, by the first check that fails. The checks run
// in the order that decides which problem a line is refused for.
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
    bool whole(const Slot &value, double limit, const Key &key, qint64 *out)
    {
        const double d = value.number;
        if (value.kind != Slot::Number || !(d >= 0 && d < limit) || d != std::floor(d))
            return fail(QStringLiteral("%1 is no whole number from 0 to 2^%2")
                            .arg(QString(key))
                            .arg(limit == twoTo63 ? 63 : 31));
        *out = qint64(d);
        return true;
    }
    bool whole32(const Slot &value, const Key &key, qint32 *out)
    {
        qint64 n = 0;
        if (!whole(value, twoTo31, key, &n))
            return false;
        *out = qint32(n);
        return true;
    }
    // A value absent or null leaves `out` as it is.
    bool optionalWhole32(const Slot &value, const Key &key, qint32 *out)
    {
        return value.unset() || whole32(value, key, out);
    }
    bool optionalNumber(const Slot &value, const QString &key, std::optional<double> *out)
    {
        if (value.unset())
            return true;
        if (value.kind != Slot::Number)
            return fail(key + QStringLiteral(" is no number"));
        *out = value.number;
        return true;
    }
    bool stats(const StatsSlots &s, const Key &key, QcRecordStats *out)
    {
        const auto name
            = [&](const Key &part) { return QString(key) + QLatin1Char('.') + QString(part); };
        // The names are built only for a value that is no number.
        const auto number = [&](const Slot &slot, const Key &part, std::optional<double> *to) {
            if (slot.unset() || slot.kind == Slot::Number) {
                if (slot.kind == Slot::Number)
                    *to = slot.number;
                return true;
            }
            return optionalNumber(slot, name(part), to);
        };
        return number(s.min, minKey, &out->min) && number(s.max, maxKey, &out->max)
            && number(s.mean, meanKey, &out->mean) && number(s.sd, sdKey, &out->sd);
    }
    // A string, or nothing; anything else is no record.
    bool text(const Slot &value, const Key &key, QString *out, TextCache *cache = nullptr)
    {
        if (value.unset())
            return true;
        if (value.kind != Slot::String)
            return fail(QString(key) + QStringLiteral(" is no string"));
        *out = cache ? cachedText(value, *cache) : value.string();
        return true;
    }
    bool channel(const ChannelSlots &s, QcRecordChannel *c)
    {
        if (!whole32(s.channel, channelKey, &c->channel)
            || !optionalWhole32(s.good, goodKey, &c->good)
            || !optionalWhole32(s.need, needKey, &c->need))
            return false;
        if (!s.samples.unset()) {
            qint64 n = 0;
            if (!whole(s.samples, twoTo63, samplesKey, &n))
                return false;
            c->samples = n;
        }
        if (s.window) {
            const PairSlot *pairs[] = {&s.windowX, &s.windowY};
            for (const PairSlot *p : pairs)
                if (!p->numbers)
                    return fail(QString(windowKey) + QLatin1Char('.')
                                + QString(p == &s.windowX ? xKey : yKey)
                                + QStringLiteral(" is no pair of numbers"));
            c->window
                = QcRecordWindow {s.windowX.low, s.windowX.high, s.windowY.low, s.windowY.high};
        }
        return stats(s.x, xKey, &c->x) && stats(s.y, yKey, &c->y);
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

QcRecord::ChannelJsonKeys QcRecord::channelJsonKeys()
{
    return {channelsKey, channelKey, goodKey, needKey, samplesKey, windowKey,  xKey,
            yKey,        minKey,     maxKey,  meanKey, sdKey,      captureKey, pathKey};
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

namespace {

// A record's line written directly, keys in the order QJsonDocument writes them (sorted), numbers
// as the shortest text that reads back as the same double.
class LineWriter
{
public:
    QByteArray out;

    void key(const Key &k)
    {
        separate();
        out += '"';
        out.append(k.name.data(), int(k.name.size()));
        out += "\":";
        fresh_ = true;
    }
    void open(char bracket)
    {
        separate();
        out += bracket;
        fresh_ = true;
    }
    void close(char bracket)
    {
        out += bracket;
        fresh_ = false;
    }
    void string(const QString &text)
    {
        static const char hex[] = "0123456789abcdef";
        separate();
        out += '"';
        for (const char c : text.toUtf8()) {
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (uchar(c) < 0x20) {
                    out += "\\u00";
                    out += hex[uchar(c) >> 4];
                    out += hex[uchar(c) & 15];
                } else {
                    out += c;
                }
            }
        }
        out += '"';
    }
    void integer(qint64 value)
    {
        separate();
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        out.append(text, int(end - text));
    }
    void number(double value)
    {
        separate();
        appendShortest(out, value);
    }
    void number(const std::optional<double> &value) { value ? number(*value) : null(); }
    void null()
    {
        separate();
        out += "null";
    }
    void textOrNull(const QString &text) { text.isEmpty() ? null() : string(text); }

private:
    void separate()
    {
        if (!fresh_)
            out += ',';
        fresh_ = false;
    }
    bool fresh_ = true;
};

void writeStats(LineWriter &w, const QcRecordStats &stats)
{
    w.open('{');
    w.key(maxKey);
    w.number(stats.max);
    w.key(meanKey);
    w.number(stats.mean);
    w.key(minKey);
    w.number(stats.min);
    w.key(sdKey);
    w.number(stats.sd);
    w.close('}');
}

} // namespace

void appendShortest(QByteArray &out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    // Whole numbers as whole numbers, as QJsonDocument writes them; the rest as short as reads
    // back the same.
    const auto end = value == std::floor(value) && std::fabs(value) < 1e16
        ? std::to_chars(text, text + sizeof text, qint64(value)).ptr
        : std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, int(end - text));
}

QByteArray QcRecord::toLine() const
{
    LineWriter w;
    w.out.reserve(512 + 300 * channels.size());
    w.open('{');
    if (attempt) {
        w.key(attemptKey);
        w.integer(*attempt);
    }
    w.key(captureKey);
    if (capture) {
        w.open('{');
        w.key(bytesKey);
        w.integer(capture->bytes);
        w.key(pathKey);
        w.string(capture->path);
        w.key(sha256Key);
        w.string(capture->sha256);
        w.close('}');
    } else {
        w.null();
    }
    w.key(channelsKey);
    w.open('[');
    for (const QcRecordChannel &c : channels) {
        w.open('{');
        w.key(channelKey);
        w.integer(c.channel);
        w.key(goodKey);
        w.integer(c.good);
        w.key(needKey);
        w.integer(c.need);
        if (c.samples) {
            w.key(samplesKey);
            w.integer(*c.samples);
        }
        if (c.window) {
            w.key(windowKey);
            w.open('{');
            w.key(xKey);
            w.open('[');
            w.number(c.window->xMin);
            w.number(c.window->xMax);
            w.close(']');
            w.key(yKey);
            w.open('[');
            w.number(c.window->yMin);
            w.number(c.window->yMax);
            w.close(']');
            w.close('}');
        }
        if (c.samples) {
            w.key(xKey);
            writeStats(w, c.x);
            w.key(yKey);
            writeStats(w, c.y);
        }
        w.close('}');
    }
    w.close(']');
    if (!damage.isEmpty()) {
        w.key(damageKey);
        w.string(damage);
    }
    w.key(durationKey);
    w.number(duration);
    w.key(failuresKey);
    w.open('[');
    for (const QString &failure : failures)
        w.string(failure);
    w.close(']');
    if (!fixture.isEmpty()) {
        w.key(fixtureKey);
        w.string(fixture);
    }
    w.key(framesKey);
    w.integer(frames);
    w.key(framesRequiredKey);
    w.integer(framesRequired);
    w.key(hostKey);
    w.string(host);
    w.key(idKey);
    w.string(id);
    if (!operatorName.isEmpty()) {
        w.key(operatorKey);
        w.string(operatorName);
    }
    w.key(planKey);
    w.open('{');
    w.key(pathKey);
    w.textOrNull(planPath);
    w.key(sha256Key);
    w.textOrNull(planSha256);
    w.close('}');
    w.key(programKey);
    w.string(program);
    w.key(rulesKey);
    w.string(rules);
    if (!serial.isEmpty()) {
        w.key(serialKey);
        w.string(serial);
    }
    w.key(softwareKey);
    w.string(software);
    w.key(sourceKey);
    w.string(source);
    if (!station.isEmpty()) {
        w.key(stationKey);
        w.string(station);
    }
    w.key(testKey);
    w.string(test);
    w.key(timeKey);
    w.string(time);
    w.key(verdictKey);
    w.string(verdict);
    w.key(versionKey);
    w.integer(currentVersion);
    w.close('}');
    w.out += '\n';
    return w.out;
}

namespace {

// qcRecordLineProblem but for a key twice, which the reader finds as it walks the line.
QString lineBytesProblem(const QByteArray &line)
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
        // Most of a line is printable ASCII: passed over eight bytes at a time while none is a
        // control character, a backslash or beyond ASCII.
        constexpr quint64 ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
        while (at + 8 <= size) {
            quint64 v = 0;
            std::memcpy(&v, s + at, 8);
            const quint64 backslashes = v ^ (ones * '\\');
            if ((v & highs) | ((v - ones * 0x20) & ~v & highs)
                | ((backslashes - ones) & ~backslashes & highs))
                break;
            at += 8;
        }
        while (at < size && s[at] >= 0x20 && s[at] < 0x80 && s[at] != '\\')
            ++at;
    }
    return QString();
}

} // namespace

QString qcRecordLineProblem(const QByteArray &line)
{
    const QString problem = lineBytesProblem(line);
    if (!problem.isEmpty())
        return problem;
    const int duplicate = duplicateKeyAt(line);
    if (duplicate >= 0)
        return QStringLiteral("a key twice in one object at byte %1").arg(duplicate + 1);
    return QString();
}

QString qcRecordProblem(const QcRecord &r)
{
    const auto tooLong = [](const QString &text, int limit) {
        // A UTF-16 unit is at most three bytes of UTF-8: most texts need no conversion.
        return text.contains(QChar(0)) || (text.size() * 3 > limit && text.toUtf8().size() > limit);
    };
    const std::pair<Key, const QString *> shortTexts[] = {{idKey, &r.id},
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
                .arg(QString(key))
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

namespace {

// A two-digit (or longer) decimal field at `at`; -1 when a byte is no digit.
int digits(std::string_view text, int at, int count)
{
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        const char c = text[size_t(i)];
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A record's time: the form every program writes ("2026-03-01T10:01:02.487+01:00") read by hand,
// as Qt would read it; any other form read by Qt itself.
QDateTime judgedTime(std::string_view time, const QString &text)
{
    const auto at = [&](int i, char c) { return time[size_t(i)] == c; };
    if (time.size() == 29 && at(4, '-') && at(7, '-') && at(10, 'T') && at(13, ':') && at(16, ':')
        && at(19, '.') && (at(23, '+') || at(23, '-')) && at(26, ':')) {
        const int year = digits(time, 0, 4), month = digits(time, 5, 2), day = digits(time, 8, 2);
        const int hour = digits(time, 11, 2), minute = digits(time, 14, 2),
                  second = digits(time, 17, 2), ms = digits(time, 20, 3);
        const int offsetHours = digits(time, 24, 2), offsetMinutes = digits(time, 27, 2);
        const QDate date(year, month, day);
        if (year >= 0 && date.isValid() && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59
            && second >= 0 && second <= 59 && ms >= 0 && offsetHours >= 0 && offsetHours <= 14
            && offsetMinutes >= 0 && offsetMinutes <= 59)
            return QDateTime(date, QTime(hour, minute, second, ms), Qt::OffsetFromUTC,
                             (at(23, '-') ? -60 : 60) * (offsetHours * 60 + offsetMinutes));
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

// What a line's JSON broke on, in a few words.
QString syntaxError(simdjson::error_code error)
{
    switch (error) {
    case simdjson::TAPE_ERROR:
    case simdjson::INCORRECT_TYPE:
    case simdjson::N_ATOM_ERROR:
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::EMPTY:
        return QStringLiteral("illegal value");
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
        return QStringLiteral("illegal number");
    case simdjson::STRING_ERROR:
    case simdjson::UNCLOSED_STRING:
    case simdjson::UNESCAPED_CHARS:
        return QStringLiteral("illegal string");
    case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
        return QStringLiteral("an object or array left open");
    case simdjson::TRAILING_CONTENT:
        return QStringLiteral("more after the end of the document");
    case simdjson::DEPTH_ERROR:
        return QStringLiteral("too deeply nested");
    default: {
        QString why = QString::fromLatin1(simdjson::error_message(error));
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        return why;
    }
    }
}

// The parser's buffers, kept from line to line.
struct LineParser
{
    simdjson::ondemand::parser parser;
    std::vector<char> padded;
    RecordSlots values;
    TextCache texts[12];

    void reset()
    {
        std::vector<ChannelSlots> channels = std::move(values.channels);
        std::vector<Slot> failures = std::move(values.failures);
        channels.clear();
        failures.clear();
        values = RecordSlots();
        values.channels = std::move(channels);
        values.failures = std::move(failures);
    }
};

} // namespace

QcRecordLine qcReadRecordLine(const QByteArray &bytes)
{
    QcRecordLine read;
    const auto malformed = [&](const QString &problem) {
        read.problem = problem;
        return read;
    };
    const QByteArray line = withoutByteOrderMark(bytes);
    read.bytes = line;
    const QString lineProblem = lineBytesProblem(line);
    if (!lineProblem.isEmpty())
        return malformed(lineProblem);
    thread_local LineParser state;
    state.reset();
    state.padded.resize(size_t(line.size()) + simdjson::SIMDJSON_PADDING);
    std::memcpy(state.padded.data(), line.constData(), size_t(line.size()));
    RecordSlots &s = state.values;
    LineWalk walk(s, state.padded.data(), state.padded.data() + line.size());
    bool object = false;
    const char *errorAt = nullptr;
    {
        namespace ondemand = simdjson::ondemand;
        ondemand::document document;
        const simdjson::padded_string_view view(state.padded.data(), size_t(line.size()),
                                                state.padded.size());
        ondemand::json_type type = ondemand::json_type::null;
        const auto iterated = state.parser.iterate(view).get(document);
        if (iterated)
            walk.error = iterated;
        else if (const auto e = document.type().get(type))
            walk.error = e;
        else if (type == ondemand::json_type::object) {
            ondemand::object o;
            object = true;
            if (const auto e = document.get_object().get(o))
                walk.error = e;
            else
                walk.record(o);
        } else if (type == ondemand::json_type::array) {
            ondemand::array a;
            if (const auto e = document.get_array().get(a))
                walk.error = e;
            else
                walk.elements(a, [&](ondemand::value &v) { return walk.any(v); });
        } else {
            // A document is an object or an array.
            walk.error = simdjson::TAPE_ERROR;
            errorAt = state.padded.data();
        }
        // Past the end, the document has no location: anything else is content after it.
        const char *rest = nullptr;
        if (!iterated && !errorAt && document.current_location().get(rest) == simdjson::SUCCESS) {
            if (!walk.error)
                walk.error = simdjson::TRAILING_CONTENT;
            errorAt = rest;
        }
    }
    if (walk.error || walk.duplicate) {
        // A key twice is the line's problem even where its JSON breaks later, as the bytes'
        // own check finds it.
        const int duplicate = duplicateKeyAt(line);
        if (duplicate >= 0)
            return malformed(
                QStringLiteral("a key twice in one object at byte %1").arg(duplicate + 1));
    }
    if (walk.error) {
        QString why = syntaxError(walk.error);
        const qint64 offset = errorAt ? errorAt - state.padded.data() : -1;
        if (offset > 0 && offset < line.size())
            why += QStringLiteral(" at byte %1").arg(offset + 1);
        return malformed(QStringLiteral("no JSON: ") + why);
    }
    if (!object)
        return malformed(QStringLiteral("no JSON object"));
    if (s.version.kind != Slot::Number || s.version.number != QcRecord::currentVersion) {
        read.status = QcRecordLine::UnknownVersion;
        read.problem = QStringLiteral("a record of an unknown version");
        return read;
    }
    QcRecord &r = read.record;
    Reading reading;
    r.time = s.time.string();
    r.judged = judgedTime(s.time.kind == Slot::String ? s.time.text : std::string_view(), r.time);
    r.test = cachedText(s.test, state.texts[10]);
    r.verdict = cachedText(s.verdict, state.texts[11]);
    if (!r.judged.isValid())
        return malformed(QStringLiteral("no time"));
    if (s.test.kind != Slot::String)
        return malformed(QStringLiteral("no test"));
    if (r.verdict != QLatin1String("Pass") && r.verdict != QLatin1String("Fail"))
        return malformed(QStringLiteral("no verdict"));
    if (s.id.kind != Slot::Absent) {
        const std::string_view text = s.id.kind == Slot::String ? s.id.text : std::string_view();
        const QUuid id = QUuid::fromString(QLatin1String(text.data(), int(text.size())));
        if (id.isNull())
            return malformed(QStringLiteral("no record id"));
        r.id = idText(id);
    } else {
        r.id = idText(QUuid::createUuidV5(legacyIdNamespace, line));
    }
    if (!s.duration.unset() && s.duration.kind != Slot::Number)
        return malformed(QStringLiteral("duration is no number"));
    r.duration = s.duration.kind == Slot::Number ? s.duration.number : 0;
    TextCache *const texts = state.texts;
    if (!reading.text(s.program, programKey, &r.program, &texts[0])
        || !reading.text(s.software, softwareKey, &r.software, &texts[1])
        || !reading.text(s.rules, rulesKey, &r.rules, &texts[2])
        || !reading.text(s.host, hostKey, &r.host, &texts[3])
        || !reading.text(s.source, sourceKey, &r.source, &texts[4])
        || !reading.text(s.planPath, planKey, &r.planPath, &texts[5])
        || !reading.text(s.planSha256, planKey, &r.planSha256, &texts[6])
        || !reading.text(s.serial, serialKey, &r.serial)
        || !reading.text(s.damage, damageKey, &r.damage)
        || !reading.text(s.station, stationKey, &r.station, &texts[7])
        || !reading.text(s.fixture, fixtureKey, &r.fixture, &texts[8])
        || !reading.text(s.operatorName, operatorKey, &r.operatorName, &texts[9])
        || !reading.optionalWhole32(s.framesRequired, framesRequiredKey, &r.framesRequired)
        || !reading.optionalWhole32(s.frames, framesKey, &r.frames))
        return malformed(reading.problem);
    r.channels.reserve(int(s.channels.size()));
    // Most records have few channels: a scan is cheaper than a set.
    const bool manyChannels = s.channels.size() > 64;
    QSet<int> seen;
    for (const ChannelSlots &given : s.channels) {
        QcRecordChannel c;
        if (!reading.channel(given, &c))
            return malformed(reading.problem);
        const bool twice = manyChannels
            ? seen.contains(c.channel)
            : std::any_of(r.channels.cbegin(), r.channels.cend(),
                          [&](const QcRecordChannel &o) { return o.channel == c.channel; });
        if (twice)
            return malformed(QStringLiteral("channel %1 twice").arg(c.channel));
        if (manyChannels)
            seen.insert(c.channel);
        r.channels.append(c);
    }
    for (const Slot &failure : s.failures) {
        if (failure.kind != Slot::String)
            return malformed(QStringLiteral("a failure is no string"));
        r.failures.append(failure.string());
    }
    // A count of runs: a whole number from 1.
    if (!s.attempt.unset()) {
        const double attempt = s.attempt.number;
        if (s.attempt.kind != Slot::Number || !(attempt >= 1) || attempt > 1e9
            || attempt != std::floor(attempt))
            return malformed(QStringLiteral("attempt is no whole number from 1"));
        r.attempt = int(attempt);
    }
    if (s.capture) {
        QcRecordCapture capture;
        if (!reading.text(s.capturePath, captureKey, &capture.path)
            || !reading.text(s.captureSha256, captureKey, &capture.sha256)
            || !reading.whole(s.captureBytes, Reading::twoTo63, bytesKey, &capture.bytes))
            return malformed(reading.problem);
        r.capture = capture;
    }
    const QString problem = qcRecordProblem(r);
    if (!problem.isEmpty())
        return malformed(problem);
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
