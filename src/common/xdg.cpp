#include "common/xdg.h"

#include <QDir>
#include <QFile>

namespace {

// QStandardPaths would do, but it takes relative values and empty list entries as they are, and
// its test mode moves every folder below ~/.qttest.
QString absoluteOr(const QByteArray &value, const QString &fallback)
{
    const QString path = QFile::decodeName(value);
    return QDir::isAbsolutePath(path) ? QDir::cleanPath(path) : fallback;
}

} // namespace

QString xdgDataHome()
{
    return absoluteOr(qgetenv("XDG_DATA_HOME"), QDir::homePath() + QLatin1String("/.local/share"));
}

QString xdgConfigHome()
{
    return absoluteOr(qgetenv("XDG_CONFIG_HOME"), QDir::homePath() + QLatin1String("/.config"));
}

QStringList xdgConfigDirs()
{
    QStringList dirs;
    const QList<QByteArray> entries = qgetenv("XDG_CONFIG_DIRS").split(':');
    for (const QByteArray &entry : entries) {
        const QString dir = absoluteOr(entry, QString());
        if (!dir.isEmpty())
            dirs << dir;
    }
    return dirs.isEmpty() ? QStringList {QStringLiteral("/etc/xdg")} : dirs;
}
