#include "link/serialline.h"

namespace SerialLine {

bool configure(QSerialPort &port)
{
    bool ok = port.setBaudRate(baudRate, QSerialPort::AllDirections);
    ok = port.setDataBits(QSerialPort::Data8) && ok;
    ok = port.setParity(QSerialPort::NoParity) && ok;
    ok = port.setStopBits(QSerialPort::OneStop) && ok;
    ok = port.setFlowControl(QSerialPort::NoFlowControl) && ok;
    return ok;
}

bool isDeviceGone(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ResourceError: // the device vanished: EIO, ENXIO, hang-up
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::ReadError: // a read that fails instead of waiting for data
        return true;
    default:
        return false;
    }
}

QString goneReason(const QSerialPort &port)
{
    switch (port.error()) {
    case QSerialPort::ReadError:
        return QStringLiteral("the other end hung up");
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("the device was removed");
    default:
        return QStringLiteral("the device failed: %1").arg(port.errorString());
    }
}

} // namespace SerialLine
