#pragma once

#include <QString>

// The names a serial device goes by. A USB adapter's device node (/dev/ttyUSB0) may change with
// every replug; the links udev keeps in /dev/serial/by-id (the adapter's vendor, model and
// serial) and /dev/serial/by-path (the socket it sits in) do not.
namespace SerialLine {

// Where the stable names are. ENVLINK_SERIAL_FOLDER, when set, replaces /dev/serial, so that a
// test can stand links to pseudo-terminals in for them in a program it starts.
struct NameFolders
{
    QString byId;
    QString byPath;
    static NameFolders system();
};

struct StableNames
{
    QString device; // the device node the name leads to; empty when it leads nowhere
    QString byId; // the link in the by-id folder that leads to the device, if there is one
    QString byPath; // the same in the by-path folder
};

// Where Qt opens a port of that name: a bare name ("ttyUSB0") is a device in /dev.
QString systemLocation(const QString &name);

// The device that `name` (a bare name, a path, or any link to one) leads to, and its stable
// names. Where several links lead to it, the first by name.
StableNames stableNames(const QString &name, const NameFolders &folders = NameFolders::system());

// How a port is named in what outlives the run (a record's source, a session's header): the
// by-id name of its device when it has one, else `name` as given.
QString recordedName(const QString &name, const NameFolders &folders = NameFolders::system());

} // namespace SerialLine
