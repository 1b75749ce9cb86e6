#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// The bounds, mean and population standard deviation of one axis of one channel's samples; all
// unset when the channel had no samples.
struct QcRecordStats
{
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> mean;
    std::optional<double> sd;
};

// The inclusive bounds the check applied to a channel's samples.
struct QcRecordWindow
{
    double xMin = 0;
    double xMax = 0;
    double yMin = 0;
    double yMax = 0;

    bool operator==(const QcRecordWindow &other) const
    {
        return xMin == other.xMin && xMax == other.xMax && yMin == other.yMin && yMax == other.yMax;
    }
    bool operator!=(const QcRecordWindow &other) const { return !(*this == other); }
};

// One judged channel of a record. Records written before the measurements were kept carry only
// the channel and its counts.
struct QcRecordChannel
{
    int channel = 0;
    qint32 good = 0;
    qint32 need = 0;
    std::optional<qint64> samples;
    std::optional<QcRecordWindow> window;
    QcRecordStats x;
    QcRecordStats y;
};

// The capture a run kept of the bytes it judged: a session file, module direction only.
struct QcRecordCapture
{
    QString path;
    QString sha256; // of the whole file, lower-case hex
    qint64 bytes = 0; // the file's size
};

// The test record of one judgement: what every program appends to the results log as one JSON
// line, and what envtool reads back from it. The JSON keys are spelled only in record.cpp.
struct QcRecord
{
    // The only version written and read.
    static constexpr int currentVersion = 1;

    QString id; // a UUID, lower case, without braces: the run's key everywhere
    QString time; // as written: ISO 8601 with milliseconds and the offset from UTC
    QDateTime judged; // `time` read
    QString program;
    QString software; // the judging program's version, as its --version prints it
    QString rules;
    QString host;
    QString source;
    QString planPath; // empty when no plan was read
    QString planSha256;
    QString test;
    double duration = 0;
    qint32 framesRequired = 0;
    qint32 frames = 0;
    QVector<QcRecordChannel> channels;
    QString verdict; // "Pass" or "Fail"
    QStringList failures;
    QString serial; // empty when none was given
    QString station; // the station's name; empty in records made before stations were named
    QString fixture; // empty when none was named
    QString operatorName; // who ran the test; empty when none was named
    // This station's runs of the same serial on the same test, this one included; none when the
    // run had no serial or was logged before attempts were counted.
    std::optional<int> attempt;
    QString damage; // why a damaged capture ended the frames judged; empty when it did not
    std::optional<QcRecordCapture> capture; // none when the run kept none

    bool passed() const { return verdict == QLatin1String("Pass"); }
    // The station that judged: its name, or the host of records made before stations were named.
    QString stationOrHost() const { return station.isEmpty() ? host : station; }
    // The station's calendar day, as the time was written there ("2026-03-01").
    QString day() const { return time.left(10); }

    QJsonObject toJson() const;
    QByteArray toLine() const; // compact JSON and its line end

    // The key of the time as written, for readers that find it inside a stored record.
    static QString timeJsonKey();
    // The key of the rules, for the database's migration of records stored before it kept
    // their outside counts.
    static QString rulesJsonKey();
    // The keys the database's view of the channels inside stored records reads.
    struct ChannelJsonKeys
    {
        QString channels, channel, good, need, samples, window, x, y, min, max, mean, sd;
        QString capture, path; // the capture's path
    };
    static ChannelJsonKeys channelJsonKeys();
};

// What a record may hold: exactly what every store of records can keep, so that one record can
// never stop another from arriving. A line beyond these is no record.
namespace QcRecordLimits {
// A whole line, its line end aside.
constexpr int lineBytes = 1 << 20;
// id, time, program, software, rules, host, test, verdict, serial, the sha256s: short enough
// for the database's indexes.
constexpr int shortTextBytes = 256;
// source, the plan's and the capture's path, damage, each failure.
constexpr int textBytes = 4096;
constexpr int failures = 1024;
constexpr int channels = 1024;
// Coordinates, windows and statistics: finite, and this far from zero at most, so that their
// differences and squares stay finite too.
constexpr double magnitude = 1e12;
// Counts (samples, bytes): whole numbers of 63 bits; good, need, frames, channel: 31 bits.
// Times: with their offset, and in UTC, within the years 1 to 9999.
} // namespace QcRecordLimits

// One line of a results log, read.
struct QcRecordLine
{
    enum Status { Read, Malformed, UnknownVersion };
    Status status = Malformed;
    QcRecord record;
    QByteArray bytes; // the line read, without a byte-order mark
    qint64 number = 0; // its line in the log, where the reader counts lines
    QString problem; // why it is no record (Malformed, UnknownVersion); empty when read
};

// Reads one line (without its line end); a leading UTF-8 byte-order mark is read as nothing.
// Only a line within QcRecordLimits, of valid UTF-8 without NUL, is read. A record logged before
// records carried an id gets one derived from the line's bytes, so that it keeps the same one
// however often it is read.
QcRecordLine qcReadRecordLine(const QByteArray &line);

// Why the bytes of a line can be no record whatever their JSON says: too long, not UTF-8, a
// control character or NUL, a lone surrogate. Empty when none of these. Independent of the JSON
// parser.
QString qcRecordLineProblem(const QByteArray &line);
// Why a record read is beyond QcRecordLimits (strings, numbers, times); empty when it is not.
QString qcRecordProblem(const QcRecord &record);

// Appends `value` as JSON: the shortest text that reads back as the same double (whole numbers
// without a fraction), or null when it is not finite.
void appendShortest(QByteArray &out, double value);

// A time as ISO 8601 with milliseconds and the offset from UTC ("+00:00" rather than "Z").
QString qcRecordTime(const QDateTime &time);

// A new record id: a random UUID, lower case, without braces.
QString qcNewRecordId();

// The longest serial number a record holds.
constexpr int qcMaxSerialLength = 64;
// Why `serial` cannot name a board, in one line; empty when it can. An empty serial is allowed
// (a run without one). Serials are what a barcode reader types: letters, digits and - _ . / : + #.
// The dialog, envtool qc and the sync all check through this.
QString qcSerialProblem(const QString &serial);
