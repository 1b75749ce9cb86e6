#pragma once

// The viewer's command packets, named as the simulator names them, each with the time of the
// bytes that completed it: `tap` prints them as they come, `decode --commands` from a session.
// Both give the same lines for the same session.

#include "control/commandreader.h"

#include <QStringList>

#include <optional>

class CommandLog
{
public:
    enum class Format { Text, JsonLines };
    // Bytes that wait this long without forming a packet come out as unknown.
    static constexpr qint64 idleUs = 200000;

    explicit CommandLog(Format format);

    // The lines that these bytes, received at `timeUs`, decide; a pause of idleUs before them
    // first ends what was waiting.
    QStringList feed(qint64 timeUs, const QByteArray &bytes);
    // Ends what is waiting, now or at the end of the session.
    QStringList finish();

    static std::optional<Format> formatNamed(const QString &name);

private:
    QStringList lines(qint64 timeUs, const QList<ReceivedCommand> &commands) const;

    Format format;
    CommandReader reader;
    qint64 lastUs = -1;
};
