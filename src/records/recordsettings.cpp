#include "records/recordsettings.h"

#include "common/xdg.h"

#include <QFileInfo>
#include <QSettings>

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
