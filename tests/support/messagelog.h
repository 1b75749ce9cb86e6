#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects Qt's log messages while it lives, so a test can assert on "data ready" or fail on any
// warning; the previous handler is restored on destruction.
class MessageLog
{
public:
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QStringList messages(QtMsgType type) const;
    int count(QtMsgType type, const QString &text) const;
    QStringList warnings() const { return messages(QtWarningMsg) + messages(QtCriticalMsg); }
    void clear();

private:
    QtMessageHandler previous;
};
