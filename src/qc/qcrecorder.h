#pragma once

#include "qc/qccheck.h"
#include "records/attemptindex.h"
#include "records/record.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

// The statistics of one axis of a channel's samples, as a record keeps them.
QcRecordStats qcRecordStats(const QcSampleStats &samples);

// What the list shows of a kept record after its verdict, one line each: the attempt ("attempt 2:
// failed at 10:32 on station-b") when the board was named, the record's id, and the capture's path
// when one was kept.
QStringList qcRecordSummary(const QcRecord &record);

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
    const QString &serial() const { return serial_; }
    // Where and by whom: the station's name (the host name when empty), its fixture and operator.
    void setStation(const QString &name, const QString &fixture, const QString &operatorName);
    const QString &station() const { return station_; }
    // The runs of this board on `test` at this station, counted with the run being judged.
    void setAttempt(std::optional<int> attempt) { attempt_ = attempt; }
    QcAttemptKey attemptKey(const QString &test) const { return {station_, test, serial_}; }
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
    QString station_;
    QString fixture_;
    QString operator_;
    std::optional<int> attempt_;
    QString damage_;
    QString log_;
};
