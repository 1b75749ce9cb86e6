#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QSerialPort;
class QSocketNotifier;

// Reads an open serial line a few frames at a time while it streams. Once the reader has taken
// what the line held, the port stops watching the line for a while, so that a reader at the
// module's full line rate wakes once for every few frames rather than for every piece the line
// brings. A line found empty after the rest is watched again, and its next byte wakes the reader
// at once.
class LineBatches : public QObject
{
    Q_OBJECT
public:
    // About the frame rate a screen shows smoothly, and three of the module's frames at its line
    // rate.
    static constexpr int restMs = 33;

    // port: open; the batches end with it.
    explicit LineBatches(QSerialPort *port);

    // Up to `max` of the bytes the line holds: first those the port has read, then the device's
    // own, which the port does not read while it rests; fewer than `max` only when that is all.
    // 0 when none are held, -1 when the port is not open.
    qint64 read(char *data, qint64 max);

signals:
    // The line holds bytes: read them now, for the port rests as soon as this returns.
    void bytesHeld();

private:
    void take();
    void restOver();

    QSerialPort *port;
    // The port's own watch on the line, which it keeps as a child of its own and leaves as it is
    // set while it stays open; none where the port watches the line otherwise, and then the
    // reader wakes whenever the port reads.
    QPointer<QSocketNotifier> watch;
    QTimer rest;
};
