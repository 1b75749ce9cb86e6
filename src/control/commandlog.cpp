#include "control/commandlog.h"

#include <QJsonDocument>
#include <QJsonObject>

CommandLog::CommandLog(Format format)
    : format(format)
{
}

QStringList CommandLog::feed(qint64 timeUs, const QByteArray &bytes)
{
    QStringList out;
    // Compared without subtracting: times far apart must not overflow.
    if (lastUs >= 0 && timeUs > lastUs && quint64(timeUs) - quint64(lastUs) >= quint64(idleUs))
        out = finish();
    lastUs = timeUs;
    return out + lines(timeUs, reader.feed(bytes));
}

QStringList CommandLog::finish()
{
    return lines(lastUs, reader.finish());
}

std::optional<CommandLog::Format> CommandLog::formatNamed(const QString &name)
{
    if (name == QLatin1String("text"))
        return Format::Text;
    if (name == QLatin1String("jsonl"))
        return Format::JsonLines;
    return std::nullopt;
}

QStringList CommandLog::lines(qint64 timeUs, const QList<ReceivedCommand> &commands) const
{
    QStringList out;
    for (const ReceivedCommand &command : commands) {
        if (format == Format::Text) {
            out << QString::number(double(timeUs) / 1e6, 'f', 3) + QLatin1Char(' ')
                    + command.text();
        } else {
            const QJsonObject object {
                {QStringLiteral("time_us"), timeUs},
                {QStringLiteral("command"), command.text()},
                {QStringLiteral("bytes"), QString::fromLatin1(command.bytes.toHex())}};
            out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
        }
    }
    return out;
}
