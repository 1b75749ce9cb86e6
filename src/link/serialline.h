#pragma once

#include <QSerialPort>

// The module's serial line: 115200 baud both ways, 8 data bits, no parity, one stop bit, no flow
// control. Shared by the windows and the command-line tool so the line is set up in one place.
namespace SerialLine {

constexpr qint32 baudRate = 115200;

// Applies the line settings; on an open port they take effect at once. Returns false if the port
// refused one of them.
bool configure(QSerialPort &port);

// Opens `port` with the line settings. It is locked and opened as the device its name leads to,
// so that a symbolic link and the path it points to are one port that only one program holds;
// the port keeps the name it was given, which is what a person sees. While open it holds both a
// UUCP lock file and an exclusive flock() on its descriptor, and a device another program holds
// through either is refused as busy. On failure, false, and
// `error` is one line naming the port and the reason ("cannot open /dev/ttyUSB0: it is busy,
// held by envtool (process 4242)").
bool openPort(QSerialPort &port, QIODevice::OpenMode mode, QString *error);

// Whether the port's last error means its device has gone (unplugged, hung up), so that the port
// must be closed: Qt keeps reporting such errors for as long as it stays open. A device that is
// only slow to take bytes is not gone.
bool isDeviceGone(const QSerialPort &port);

// Why the device of `port` went away, in a few words for a person. A read that meets the end of
// the line leaves Qt the text of an unrelated, stale system error; the error's kind says more.
QString goneReason(const QSerialPort &port);

} // namespace SerialLine
