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
#include <sys/file.h>
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
    if (!damage_.isEmpty())
        record.insert(QStringLiteral("damage"), damage_);
    return record;
}

namespace {

// QDir::mkpath says only whether it worked; the operator needs the reason.
bool makeFolder(const QString &path, QString *reason)
{
    const QFileInfo folder(path);
    if (folder.isDir())
        return true;
    if (folder.path() != path && !makeFolder(folder.path(), reason))
        return false;
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0
        || (errno == EEXIST && QFileInfo(path).isDir()))
        return true;
    *reason = qt_error_string(errno == EEXIST ? ENOTDIR : errno);
    return false;
}

} // namespace

bool QcRecorder::append(const QJsonObject &record, QString *error) const
{
    const auto fail = [&](const QString &reason) {
        *error = QStringLiteral("cannot append the test record to %1: %2").arg(log_, reason);
        return false;
    };
    QString reason;
    if (!makeFolder(QFileInfo(log_).absolutePath(), &reason))
        return fail(reason);
    const int fd = ::open(QFile::encodeName(log_).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(qt_error_string(errno));
    // Programs that judge at the same moment append one after the other, so a record cut short
    // can be taken back before anyone appends behind it.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A writer killed mid-line leaves the file without its last line end; this record starts on
    // a line of its own all the same, so only the broken one is lost.
    struct stat status = {};
    char last = '\n';
    const bool sized = ::fstat(fd, &status) == 0;
    if (sized && status.st_size > 0 && ::pread(fd, &last, 1, status.st_size - 1) == 1
        && last != '\n')
        line.prepend('\n');
    qint64 written = 0;
    int writeError = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + written, size_t(line.size() - written));
        if (n > 0)
            written += n;
        else if (n < 0 && errno != EINTR) {
            writeError = errno;
            break;
        }
    }
    // A full disk may take part of the line: a record is whole or absent.
    if (writeError && written > 0 && sized) {
        [[maybe_unused]] const int truncated = ::ftruncate(fd, status.st_size);
    }
    const bool closed = ::close(fd) == 0; // also releases the lock
    if (writeError)
        return fail(qt_error_string(writeError));
    if (!closed)
        return fail(qt_error_string(errno));
    return true;
}
