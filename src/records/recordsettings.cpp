#include "records/recordsettings.h"

#include "common/files.h"
#include "common/xdg.h"
#include "records/databaseurl.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QSysInfo>
#include <QTemporaryFile>

#include <sys/stat.h>

QString qcResultsLogPath()
{
    return xdgDataHome() + QLatin1String("/envviewer/qc-results.jsonl");
}

QString qcSettingsPath()
{
    return xdgConfigHome() + QLatin1String("/envviewer/envviewer.conf");
}

QcRecordSettings readQcRecordSettings()
{
    return readQcRecordSettings(qcSettingsPath());
}

QcRecordSettings readQcRecordSettings(const QString &path)
{
    QcRecordSettings settings;
    constexpr qint64 largest = 64 << 10;
    QByteArray bytes;
    QString reason;
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return settings; // none: the defaults
    if (!readRegularFile(path, largest, &bytes, &reason)) {
        settings.problem = QStringLiteral("%1 is not read: %2").arg(path, reason);
        return settings;
    }
    // QSettings reads only files: the bytes read, not the path, go to it, so that nothing can
    // be swapped in between.
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush()) {
        settings.problem = QStringLiteral("%1 is not read: %2").arg(path, copy.errorString());
        return settings;
    }
    const QSettings file(copy.fileName(), QSettings::IniFormat);
    settings.database = file.value(QStringLiteral("records/database")).toString();
    const QString captures = file.value(QStringLiteral("records/captures")).toString();
    QStringList problems;
    if (captures == QLatin1String("all"))
        settings.captures = QcCaptureKeeping::All;
    else if (captures == QLatin1String("none"))
        settings.captures = QcCaptureKeeping::None;
    else if (!captures.isEmpty() && captures != QLatin1String("failed"))
        problems << QStringLiteral("%1: captures=%2 is not failed, all or none; failed "
                                   "runs keep theirs")
                        .arg(path, captures);
    if ((status.st_mode & (S_IRWXG | S_IRWXO))
        && !DatabaseUrl::parse(settings.database).password.isEmpty())
        problems << QStringLiteral("%1 holds a database password that others can read: chmod "
                                   "600 it, or keep the password in ~/.pgpass")
                        .arg(path);
    settings.problem = problems.join(QLatin1String("; "));
    return settings;
}

QcStationSettings readQcStationSettings()
{
    const QSettings file(qcSettingsPath(), QSettings::IniFormat);
    QcStationSettings settings;
    settings.name = file.value(QStringLiteral("station/name")).toString().trimmed();
    if (settings.name.isEmpty())
        settings.name = QSysInfo::machineHostName();
    settings.fixture = file.value(QStringLiteral("station/fixture")).toString().trimmed();
    settings.operatorName = file.value(QStringLiteral("station/operator")).toString().trimmed();
    const QString require
        = file.value(QStringLiteral("station/require_serial")).toString().trimmed().toLower();
    if (require == QLatin1String("true"))
        settings.requireSerial = true;
    else if (!require.isEmpty() && require != QLatin1String("false"))
        settings.problem = QStringLiteral("%1: require_serial=%2 is not true or false; a serial "
                                          "is not required")
                               .arg(qcSettingsPath(), require);
    return settings;
}

QString qcCapturesDir()
{
    return xdgDataHome() + QLatin1String("/envviewer/captures");
}

QString qcCapturesDirOf(const QString &logPath)
{
    return logPath.isEmpty() ? qcCapturesDir()
                             : QFileInfo(logPath).absolutePath() + QLatin1String("/captures");
}

QString defaultRecordDatabase()
{
    const QString fromEnvironment = qEnvironmentVariable("ENVVIEWER_DB");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return readQcRecordSettings().database;
}
