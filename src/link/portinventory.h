#pragma once

#include "link/portlocks.h"
#include "link/serialnames.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The serial ports of this machine, with what each is and who holds it. Nothing is opened: a
// port is only looked at, so that listing disturbs no line.
struct PortInfo
{
    QString device; // the device node
    QString byId; // its stable names, empty where it has none
    QString byPath;
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<SerialLine::PortHolder> holder; // set when the port is busy
};

// Every port the system lists, and every device a link in the stable-name folders leads to (a
// pseudo-terminal may have no entry in the system's list), each once, in the order of devices.
QList<PortInfo> listPorts(const SerialLine::NameFolders &folders
                          = SerialLine::NameFolders::system());

// One line per port under a heading line: device, by-id, by-path, description, manufacturer,
// serial number, and "free" or "busy" with who holds it. Columns as wide as their widest entry;
// an empty entry shows as "-".
QString portsTable(const QList<PortInfo> &ports);
// An array of one object per port: device, byId, byPath, description, manufacturer,
// serialNumber (strings, null when empty), busy (a boolean) and holder (null, or an object with
// program, pid, lock ("file" or "flock"), and host when it is another machine).
QByteArray portsJson(const QList<PortInfo> &ports);
