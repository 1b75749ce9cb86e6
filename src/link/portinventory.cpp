#include "link/portinventory.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSerialPortInfo>

#include <sys/stat.h>

namespace {

bool isCharacterDevice(const QString &path)
{
    struct stat node;
    return ::stat(QFile::encodeName(path).constData(), &node) == 0 && S_ISCHR(node.st_mode);
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

QList<PortInfo> listPorts(const SerialLine::NameFolders &folders)
{
    QMap<QString, PortInfo> byDevice;
    const auto add = [&](const QString &path) -> PortInfo * {
        const SerialLine::StableNames names = SerialLine::stableNames(path, folders);
        if (names.device.isEmpty() || !isCharacterDevice(names.device))
            return nullptr;
        PortInfo &port = byDevice[names.device];
        port.device = names.device;
        port.byId = names.byId;
        port.byPath = names.byPath;
        return &port;
    };
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : system) {
        if (PortInfo *port = add(info.systemLocation())) {
            port->description = info.description();
            port->manufacturer = info.manufacturer();
            port->serialNumber = info.serialNumber();
        }
    }
    for (const QString &folder : {folders.byId, folders.byPath}) {
        if (folder.isEmpty())
            continue;
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::System | QDir::Files, QDir::Name))
            add(dir.filePath(name));
    }
    QList<PortInfo> ports = byDevice.values();
    for (PortInfo &port : ports)
        port.holder = SerialLine::holderOf(port.device);
    return ports;
}

QString portsTable(const QList<PortInfo> &ports)
{
    QList<QStringList> rows {{QStringLiteral("device"), QStringLiteral("by-id"),
                              QStringLiteral("by-path"), QStringLiteral("description"),
                              QStringLiteral("manufacturer"), QStringLiteral("serial"),
                              QStringLiteral("state")}};
    for (const PortInfo &port : ports) {
        QStringList row {port.device,
                         port.byId,
                         port.byPath,
                         port.description,
                         port.manufacturer,
                         port.serialNumber,
                         port.holder ? QStringLiteral("busy, held by ") + port.holder->describe()
                                     : QStringLiteral("free")};
        for (QString &field : row) {
            if (field.isEmpty())
                field = QStringLiteral("-");
        }
        rows.append(row);
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], int(row.at(i).size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += row.at(i).leftJustified(widths[i]) + QStringLiteral("  ");
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

QByteArray portsJson(const QList<PortInfo> &ports)
{
    QJsonArray array;
    for (const PortInfo &port : ports) {
        QJsonValue holder;
        if (port.holder) {
            QJsonObject object {{QStringLiteral("program"), textOrNull(port.holder->program)},
                                {QStringLiteral("pid"), port.holder->pid},
                                {QStringLiteral("lock"),
                                 port.holder->lock == SerialLine::PortHolder::Lock::Flock
                                     ? QStringLiteral("flock")
                                     : QStringLiteral("file")}};
            if (!port.holder->host.isEmpty())
                object.insert(QStringLiteral("host"), port.holder->host);
            holder = object;
        }
        array.append(QJsonObject {{QStringLiteral("device"), port.device},
                                  {QStringLiteral("byId"), textOrNull(port.byId)},
                                  {QStringLiteral("byPath"), textOrNull(port.byPath)},
                                  {QStringLiteral("description"), textOrNull(port.description)},
                                  {QStringLiteral("manufacturer"), textOrNull(port.manufacturer)},
                                  {QStringLiteral("serialNumber"), textOrNull(port.serialNumber)},
                                  {QStringLiteral("busy"), bool(port.holder)},
                                  {QStringLiteral("holder"), holder}});
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}
