#include "qc/qcrecord.h"

#include "qc/qcfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QcRecorder::QcRecorder()
    : log_(qcResultsLogPath())
{
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

QJsonObject QcRecorder::record(const QcCheck &check, const QcVerdict &verdict,
                               const QDateTime &judged) const
{
    QJsonArray channels;
    for (const QcChannel &c : check.channels()) {
        if (c.listed)
            channels.append(QJsonObject {{QStringLiteral("channel"), c.channel},
                                         {QStringLiteral("good"), c.good},
                                         {QStringLiteral("need"), c.need}});
    }
    const auto orNull = [](const QString &s) { return s.isEmpty() ? QJsonValue() : QJsonValue(s); };
    const int selected = check.selectedIndex();
    QJsonObject record {
        {QStringLiteral("version"), 1},
        {QStringLiteral("time"), qcRecordTime(judged)},
        {QStringLiteral("program"), program_},
        {QStringLiteral("rules"), QLatin1String(deliverableName(rules_))},
        {QStringLiteral("host"), QSysInfo::machineHostName()},
        {QStringLiteral("source"), source_},
        {QStringLiteral("plan"),
         QJsonObject {{QStringLiteral("path"), orNull(planPath_)},
                      {QStringLiteral("sha256"), orNull(planSha256_)}}},
        {QStringLiteral("test"), check.label()},
        {QStringLiteral("duration"), selected < 0 ? 0.0 : check.plan().at(selected).duration},
        {QStringLiteral("framesRequired"), check.run().framesRequired},
        {QStringLiteral("frames"), check.run().frameCount},
        {QStringLiteral("channels"), channels},
        {QStringLiteral("verdict"), verdict.text},
        {QStringLiteral("failures"), QJsonArray::fromStringList(verdict.messages)},
    };
    if (!serial_.isEmpty())
        record.insert(QStringLiteral("serial"), serial_);
    return record;
}

bool QcRecorder::append(const QJsonObject &record, QString *error) const
{
    const auto fail = [&](const QString &reason) {
        *error = QStringLiteral("cannot append the test record to %1: %2").arg(log_, reason);
        return false;
    };
    // Whatever stops the folder from being made stops the open below, which says why.
    QDir().mkpath(QFileInfo(log_).absolutePath());
    const int fd = ::open(QFile::encodeName(log_).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(qt_error_string(errno));
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A writer killed mid-line leaves the file without its last line end; this record starts on
    // a line of its own all the same, so only the broken one is lost.
    struct stat status = {};
    char last = '\n';
    if (::fstat(fd, &status) == 0 && status.st_size > 0
        && ::pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n')
        line.prepend('\n');
    // The whole line in one write to a file opened for appending: two programs that judge at
    // once each add a whole line, never a part of one inside the other's.
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (written < 0)
        return fail(qt_error_string(writeError));
    if (written != line.size())
        return fail(QStringLiteral("only %1 of %2 bytes written").arg(written).arg(line.size()));
    if (!closed)
        return fail(qt_error_string(errno));
    return true;
}
