#pragma once

#include "qc/qccheck.h"

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

    static QcRecordStats of(const QcSampleStats &samples);
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
// line, and what envtool reads back from it. The JSON keys are spelled only in qcrecord.cpp.
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
    QString damage; // why a damaged capture ended the frames judged; empty when it did not
    std::optional<QcRecordCapture> capture; // none when the run kept none

    bool passed() const { return verdict == QLatin1String("Pass"); }
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

// Keeps a test record of every judgement: one JSON object per verdict, appended as one line to
// a results log that all programs share. The QC dialog and envtool both judge through it.
class QcRecorder
{
public:
    QcRecorder();

    // `program` names the program that judges, `rules` whose counting rules it judges by.
    void setProgram(const QString &program, Deliverable rules);
    const QString &program() const { return program_; }
    // The plan the check was read from; an empty path when none was read.
    void setPlan(const QString &path, const QByteArray &bytes);
    // The port's name or the capture's path.
    void setSource(const QString &source) { source_ = source; }
    // The board's serial number; empty when none was given.
    void setSerial(const QString &serial) { serial_ = serial; }
    // Why the frames judged end early (a damaged capture); empty when they do not.
    void setDamage(const QString &damage) { damage_ = damage; }
    // qcResultsLogPath() unless set.
    void setLog(const QString &path) { log_ = path; }
    const QString &log() const { return log_; }

    // The record of `verdict`, judged on `check`'s run at `judged`, with a new id.
    QcRecord judgement(const QcCheck &check, const QcVerdict &verdict,
                       const QDateTime &judged) const;
    QJsonObject record(const QcCheck &check, const QcVerdict &verdict,
                       const QDateTime &judged) const
    {
        return judgement(check, verdict, judged).toJson();
    }
    // Appends `record` to the log as one line. On failure, false, and `error` names the file and
    // the reason.
    bool append(const QJsonObject &record, QString *error) const;

private:
    QString program_;
    Deliverable rules_ = Deliverable::Viewer;
    QString planPath_;
    QString planSha256_;
    QString source_;
    QString serial_;
    QString damage_;
    QString log_;
};

// A time as ISO 8601 with milliseconds and the offset from UTC ("+00:00" rather than "Z").
QString qcRecordTime(const QDateTime &time);
