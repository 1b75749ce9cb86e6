#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

// Points the XDG base folders at empty folders of a temporary directory while it lives, for this
// process and the programs it starts: a test reads no plan installed on the machine and appends
// no record to the user's results log.
class TemporaryXdg
{
public:
    TemporaryXdg()
    {
        const QString values[] = {path("data"), path("config"), path("etc1") + ':' + path("etc2")};
        for (int i = 0; i < 3; ++i) {
            saved[i] = qgetenv(names[i]);
            qputenv(names[i], QFile::encodeName(values[i]));
        }
    }
    ~TemporaryXdg()
    {
        for (int i = 0; i < 3; ++i)
            saved[i].isNull() ? qunsetenv(names[i]) : qputenv(names[i], saved[i]);
    }

    QString path(const QString &relative) const { return dir.filePath(relative); }
    // The results log that judging programs append to.
    QString log() const { return path(QStringLiteral("data/envviewer/qc-results.jsonl")); }

private:
    static constexpr const char *names[] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"};
    QTemporaryDir dir;
    QByteArray saved[3];
};
