#include "records/copyformat.h"

#include <QDateTime>
#include <QUuid>
#include <QtEndian>

#include <charconv>
#include <cmath>

void CopyText::separate()
{
    if (rowStarted_)
        rows_ += '\t';
    rowStarted_ = true;
}

void CopyText::text(const QByteArray &value)
{
    separate();
    int from = 0;
    for (int i = 0; i < value.size(); ++i) {
        const char c = value.at(i);
        if (c != '\\' && c != '\t' && c != '\n' && c != '\r')
            continue;
        rows_.append(value.constData() + from, i - from);
        rows_ += '\\';
        rows_ += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
        from = i + 1;
    }
    rows_.append(value.constData() + from, value.size() - from);
}

void CopyText::none()
{
    separate();
    rows_ += "\\N";
}

template<typename Number>
void CopyText::digits(Number value)
{
    separate();
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    rows_.append(text, int(end.ptr - text));
}

void CopyText::number(qint64 value)
{
    digits(value);
}

void CopyText::number(double value)
{
    std::isfinite(value) ? digits(value) : none();
}

void CopyText::endRow()
{
    rows_ += '\n';
    rowStarted_ = false;
}

namespace {

const char binaryHeader[] = "PGCOPY\n\377\r\n";
// The server's epoch for times and days.
const qint64 epochMs = 946684800000LL; // 2000-01-01T00:00:00Z
const qint64 epochJulianDay = 2451545; // 2000-01-01
// pg_type's oid of text, for an array's elements.
constexpr qint32 textOid = 25;

} // namespace

CopyBinary::CopyBinary()
{
    clear();
}

void CopyBinary::clear()
{
    data_.resize(0);
    data_.append(binaryHeader, sizeof binaryHeader); // with its NUL
    int32(0); // flags
    int32(0); // no header extension
}

void CopyBinary::int16(qint16 value)
{
    const qint16 big = qToBigEndian(value);
    data_.append(reinterpret_cast<const char *>(&big), sizeof big);
}

void CopyBinary::int32(qint32 value)
{
    const qint32 big = qToBigEndian(value);
    data_.append(reinterpret_cast<const char *>(&big), sizeof big);
}

void CopyBinary::int64(qint64 value)
{
    const qint64 big = qToBigEndian(value);
    data_.append(reinterpret_cast<const char *>(&big), sizeof big);
}

void CopyBinary::beginRow(int fields)
{
    int16(qint16(fields));
}

void CopyBinary::none()
{
    int32(-1);
}

void CopyBinary::text(const QByteArray &value)
{
    int32(value.size());
    data_ += value;
}

void CopyBinary::textOrNone(const QString &value)
{
    value.isEmpty() ? none() : text(value);
}

void CopyBinary::uuid(const QString &id)
{
    const QUuid parsed = QUuid::fromString(id);
    if (parsed.isNull() && id != QLatin1String("00000000-0000-0000-0000-000000000000"))
        return none();
    text(parsed.toRfc4122());
}

void CopyBinary::timestamp(const QDateTime &time)
{
    int32(8);
    int64((time.toMSecsSinceEpoch() - epochMs) * 1000);
}

void CopyBinary::date(const QDate &day)
{
    if (!day.isValid())
        return none();
    int32(4);
    int32(qint32(day.toJulianDay() - epochJulianDay));
}

void CopyBinary::textArray(const QStringList &values)
{
    QByteArray array;
    const auto put32 = [&array](qint32 value) {
        const qint32 big = qToBigEndian(value);
        array.append(reinterpret_cast<const char *>(&big), sizeof big);
    };
    put32(values.isEmpty() ? 0 : 1); // dimensions
    put32(0); // no nulls
    put32(textOid);
    if (!values.isEmpty()) {
        put32(qint32(values.size()));
        put32(1); // the lower bound
    }
    for (const QString &value : values) {
        const QByteArray bytes = value.toUtf8();
        put32(bytes.size());
        array += bytes;
    }
    text(array);
}

void CopyBinary::finish()
{
    int16(-1);
}
