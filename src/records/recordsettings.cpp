#include "records/recordsettings.h"

#include "common/xdg.h"

#include <QSettings>
#include <QSysInfo>

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
    const QSettings file(qcSettingsPath(), QSettings::IniFormat);
    QcRecordSettings settings;
    settings.database = file.value(QStringLiteral("records/database")).toString();
    const QString captures = file.value(QStringLiteral("records/captures")).toString();
    if (captures == QLatin1String("all"))
        settings.captures = QcCaptureKeeping::All;
    else if (captures == QLatin1String("none"))
        settings.captures = QcCaptureKeeping::None;
    else if (!captures.isEmpty() && captures != QLatin1String("failed"))
        settings.problem = QStringLiteral("%1: captures=%2 is not failed, all or none; failed "
                                          "runs keep theirs")
                               .arg(qcSettingsPath(), captures);
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

QString defaultRecordDatabase()
{
    const QString fromEnvironment = qEnvironmentVariable("ENVVIEWER_DB");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return readQcRecordSettings().database;
}
