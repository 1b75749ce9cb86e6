#include "qc/qcrecorder.h"

#include "records/recordsettings.h"
#include "records/resultslog.h"

#include <QCryptographicHash>
#include <QSysInfo>

QcRecordStats qcRecordStats(const QcSampleStats &samples)
{
    if (samples.count == 0)
        return {};
    return {double(samples.min), double(samples.max), samples.mean(), samples.sd()};
}

QStringList qcRecordSummary(const QcRecord &record)
{
    QStringList lines;
    if (record.attempt)
        lines << QStringLiteral("attempt %1: %2 at %3 on %4")
                     .arg(*record.attempt)
                     .arg(record.passed() ? QLatin1String("passed") : QLatin1String("failed"),
                          record.judged.toString(QStringLiteral("HH:mm")), record.stationOrHost());
    lines << QStringLiteral("record %1").arg(record.id);
    if (record.capture)
        lines << QStringLiteral("capture %1").arg(record.capture->path);
    return lines;
}

QcRecorder::QcRecorder()
    : station_(QSysInfo::machineHostName())
    , log_(qcResultsLogPath())
{
}

void QcRecorder::setStation(const QString &name, const QString &fixture,
                            const QString &operatorName)
{
    station_ = name.isEmpty() ? QSysInfo::machineHostName() : name;
    fixture_ = fixture;
    operator_ = operatorName;
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
    r.id = qcNewRecordId();
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
        entry.x = qcRecordStats(c.x);
        entry.y = qcRecordStats(c.y);
        r.channels.append(entry);
    }
    r.verdict = verdict.text;
    r.failures = verdict.messages;
    r.serial = serial_;
    r.station = station_;
    r.fixture = fixture_;
    r.operatorName = operator_;
    r.attempt = serial_.isEmpty() ? std::nullopt : attempt_;
    r.damage = damage_;
    return r;
}

bool QcRecorder::append(const QJsonObject &record, QString *error) const
{
    return ResultsLog(log_).append(record, error);
}
