#include "support/messagelog.h"

#include <QList>
#include <QPair>

namespace {
QList<QPair<QtMsgType, QString>> logged;

void collect(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    logged.append({type, message});
}
} // namespace

MessageLog::MessageLog()
    : previous(qInstallMessageHandler(collect))
{
    logged.clear();
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(previous);
}

QStringList MessageLog::messages(QtMsgType type) const
{
    QStringList result;
    for (const auto &entry : logged) {
        if (entry.first == type)
            result.append(entry.second);
    }
    return result;
}

int MessageLog::count(QtMsgType type, const QString &text) const
{
    return int(messages(type).count(text));
}

void MessageLog::clear()
{
    logged.clear();
}
