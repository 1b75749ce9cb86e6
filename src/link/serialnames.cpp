#include "link/serialnames.h"

#include <QDir>
#include <QFileInfo>

namespace SerialLine {

namespace {

// The first link in `folder` whose target is `device`.
QString linkTo(const QString &folder, const QString &device)
{
    if (folder.isEmpty())
        return QString();
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::System | QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        if (QFileInfo(path).isSymLink() && QFileInfo(path).canonicalFilePath() == device)
            return path;
    }
    return QString();
}

} // namespace

NameFolders NameFolders::system()
{
    const QString root = qEnvironmentVariableIsSet("ENVLINK_SERIAL_FOLDER")
        ? qEnvironmentVariable("ENVLINK_SERIAL_FOLDER")
        : QStringLiteral("/dev/serial");
    return {root + QStringLiteral("/by-id"), root + QStringLiteral("/by-path")};
}

QString systemLocation(const QString &name)
{
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../"));
    return path ? name : QStringLiteral("/dev/") + name;
}

StableNames stableNames(const QString &name, const NameFolders &folders)
{
    StableNames names;
    if (name.isEmpty())
        return names;
    names.device = QFileInfo(systemLocation(name)).canonicalFilePath();
    if (names.device.isEmpty())
        return names;
    names.byId = linkTo(folders.byId, names.device);
    names.byPath = linkTo(folders.byPath, names.device);
    return names;
}

QString recordedName(const QString &name, const NameFolders &folders)
{
    const QString byId = stableNames(name, folders).byId;
    return byId.isEmpty() ? name : byId;
}

} // namespace SerialLine
