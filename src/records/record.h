#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

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
    QList<QcRecordChannel> channels;
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
};

// One line of a results log, read.
struct QcRecordLine
{
    enum Status { Read, Malformed, UnknownVersion };
    Status status = Malformed;
    QcRecord record;
    QJsonObject json; // the line's object, as logged
    QByteArray bytes; // the line, where the reader keeps it
};

// Reads one line (without its line end). A record logged before records carried an id gets one
// derived from the line's bytes, so that it keeps the same one however often it is read.
QcRecordLine qcReadRecordLine(const QByteArray &line);

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
