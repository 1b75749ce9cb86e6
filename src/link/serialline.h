#pragma once

#include <QSerialPort>

// The module's serial line: 115200 baud both ways, 8 data bits, no parity, one stop bit, no flow
// control. Shared by the windows and the command-line tool so the line is set up in one place.
namespace SerialLine {

constexpr qint32 baudRate = 115200;

// Applies the line settings; on an open port they take effect at once. Returns false if the port
// refused one of them.
bool configure(QSerialPort &port);

// Whether an error reported by an open port means the device has gone (unplugged, hung up), so
// that the port must be closed: Qt keeps reporting such errors for as long as it stays open.
bool isDeviceGone(QSerialPort::SerialPortError error);

// Why the device of `port` went away, in a few words for a person. A read that meets the end of
// the line leaves Qt the text of an unrelated, stale system error; the error's kind says more.
QString goneReason(const QSerialPort &port);

} // namespace SerialLine
