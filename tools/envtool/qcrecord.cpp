#include "qcrecord.h"

#include <QJsonArray>

namespace {
QJsonObject window(double low, double high)
{
    return QJsonObject {{QStringLiteral("min"), low}, {QStringLiteral("max"), high}};
}

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}
} // namespace

QJsonObject qcTestRecord(const QcRunInfo &info, const QcCheck &check, const QcVerdict &verdict)
{
    const QcRules &rules = check.rules();
    QJsonArray channels;
    for (const QcChannel &c : check.channels()) {
        channels.append(QJsonObject {
            {QStringLiteral("channel"), c.channel},
            {QStringLiteral("shown"), c.shown},
            {QStringLiteral("listed"), c.listed},
            {QStringLiteral("need"), c.need},
            {QStringLiteral("good"), c.good},
            {QStringLiteral("x"), window(c.min, c.max)},
            {QStringLiteral("y"), window(c.yMin, c.yMax)},
        });
    }
    QJsonObject record {
        {QStringLiteral("plan"), info.planFile},
        {QStringLiteral("test"), info.label},
        {QStringLiteral("program"), QString::fromLatin1(deliverableName(info.program))},
        {QStringLiteral("rule"),
         QJsonObject {
             {QStringLiteral("additions"), rules.additions == QcAdditions::Read},
             {QStringLiteral("netCount"), rules.netCount},
             {QStringLiteral("shownChannelOffset"), rules.shownChannelOffset},
         }},
        {QStringLiteral("source"),
         QJsonObject {{QStringLiteral("kind"), info.sourceKind},
                      {QStringLiteral("name"), info.sourceName}}},
        {QStringLiteral("start"), isoTime(info.start)},
        {QStringLiteral("end"), isoTime(info.end)},
        {QStringLiteral("framesRequired"), check.run().framesRequired},
        {QStringLiteral("framesCounted"), check.run().frameCount},
        {QStringLiteral("channels"), channels},
        {QStringLiteral("verdict"), verdict.text},
        {QStringLiteral("messages"), QJsonArray::fromStringList(verdict.messages)},
    };
    if (check.selectedIndex() >= 0) {
        const QcType &type = check.plan().at(check.selectedIndex());
        record.insert(QStringLiteral("duration"), type.duration);
        record.insert(QStringLiteral("yWindow"), window(type.yMin, type.yMax));
    }
    return record;
}
