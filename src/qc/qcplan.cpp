#include "qc/qcplan.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

bool operator==(const QcRange &a, const QcRange &b)
{
    return a.index == b.index && a.count == b.count && a.min == b.min && a.max == b.max
        && a.minAdd == b.minAdd && a.maxAdd == b.maxAdd;
}

bool operator==(const QcType &a, const QcType &b)
{
    return a.label == b.label && a.duration == b.duration && a.frames == b.frames
        && a.yMin == b.yMin && a.yMax == b.yMax && a.ranges == b.ranges;
}

namespace {

// A value that is not a JSON number (strings of digits included) counts as missing.
double number(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toDouble(0);
}

QcRange toRange(const QJsonObject &object, QcAdditions additions)
{
    QcRange range;
    range.index = number(object, "index");
    range.count = number(object, "count");
    range.min = number(object, "min");
    range.max = number(object, "max");
    if (additions == QcAdditions::Read) {
        range.minAdd = number(object, "minadd");
        range.maxAdd = number(object, "maxadd");
    }
    return range;
}

QcType toType(const QJsonObject &object, QcAdditions additions)
{
    QcType type;
    type.label = object.value(QLatin1String("label")).toString();
    type.duration = number(object, "duration");
    type.frames = number(object, "frames");
    const QJsonObject y = object.value(QLatin1String("y")).toObject();
    type.yMin = number(y, "min");
    type.yMax = number(y, "max");
    const QJsonArray x = object.value(QLatin1String("x")).toArray();
    for (const QJsonValue &element : x)
        type.ranges.append(toRange(element.toObject(), additions));
    return type;
}

} // namespace

QList<QcType> parseQcDocument(const QByteArray &document, QcAdditions additions)
{
    const QJsonArray array = QJsonDocument::fromJson(document).array();
    QList<QcType> plan;
    plan.reserve(array.size());
    for (const QJsonValue &element : array)
        plan.append(toType(element.toObject(), additions));
    return plan;
}

QString qcConfigDir(const QString &programPath)
{
    // A bare name was found on the PATH (a menu's Exec=envviewer): the working folder is
    // wherever the menu or shell happened to be, so the program's own folder stands beside it.
    // An empty path names no folder at all.
    if (!programPath.contains(QLatin1Char('/')))
        return QCoreApplication::applicationDirPath();
    return QFileInfo(programPath).absolutePath();
}
