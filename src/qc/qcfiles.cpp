#include "qc/qcfiles.h"

#include "common/files.h"
#include "common/xdg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

QStringList qcPlanPlaces(const QString &besideDir)
{
    QStringList places {
        QDir::cleanPath(QDir(besideDir).absoluteFilePath(QStringLiteral("qc.json")))};
    const QString name = QStringLiteral("/envviewer/qc.json");
    places << xdgConfigHome() + name;
    for (const QString &dir : xdgConfigDirs())
        places << dir + name;
    return places;
}

namespace {

QString documentProblem(const QString &path, const QByteArray &bytes)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        const QByteArray before = bytes.left(error.offset);
        const int line = before.count('\n') + 1;
        const int column = before.size() - before.lastIndexOf('\n');
        return QStringLiteral("%1 is not JSON: %2 at line %3, column %4")
            .arg(path, error.errorString())
            .arg(line)
            .arg(column);
    }
    if (!document.isArray())
        return QStringLiteral("%1 is not a plan: its top level is not an array").arg(path);
    if (document.array().isEmpty())
        return QStringLiteral("%1 holds no test type").arg(path);
    return QString();
}

// Far more than any plan: a plan is read whole.
constexpr qint64 planBytes = 16 << 20;

} // namespace

QcPlanFile findQcPlan(const QString &besideDir)
{
    const QStringList places = qcPlanPlaces(besideDir);
    for (const QString &place : places) {
        QByteArray bytes;
        QString reason;
        // A folder named qc.json, or a FIFO, is no plan.
        if (readRegularFile(place, planBytes, &bytes, &reason))
            return {place, bytes, documentProblem(place, bytes)};
    }
    return {QString(), QByteArray(),
            QStringLiteral("fail to open QC json config (looked for %1)")
                .arg(places.join(QStringLiteral(", ")))};
}

QcPlanFile readQcPlan(const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QByteArray bytes;
    QString reason;
    if (!readRegularFile(path, planBytes, &bytes, &reason))
        return {QString(), QByteArray(), QStringLiteral("cannot read %1: %2").arg(path, reason)};
    return {absolute, bytes, documentProblem(absolute, bytes)};
}

QString qcSelectionProblem(const QcPlanFile &plan, const QList<QcType> &types, const QString &label)
{
    if (!plan.problem.isEmpty())
        return plan.problem;
    if (label.isEmpty())
        return QStringLiteral("no test type is chosen");
    QStringList labels;
    for (const QcType &type : types) {
        if (type.label == label)
            return QString();
        labels << QLatin1Char('"') + type.label + QLatin1Char('"');
    }
    // What the plan holds, so that the next try names one of them.
    return QStringLiteral("%1 has no test \"%2\"; it holds %3")
        .arg(plan.path, label, labels.join(QLatin1String(", ")));
}
