#pragma once

#include <QObject>
#include <QTimer>

class QSerialPort;

// Reads an open serial line a few frames at a time while it streams. The line discipline is told
// to report the line readable only once it holds a batch of bytes (VMIN), so that a reader at the
// module's full line rate wakes once for every few frames rather than for every piece the line
// brings. Bytes that stay fewer than a batch are let through once the line has been quiet a
// while; a line quiet for longer is read byte by byte again until it streams.
class LineBatches : public QObject
{
    Q_OBJECT
public:
    // The most the line discipline can be told to wait for: a little under two frames.
    static constexpr int batchBytes = 255;
    // Longer than the line takes to bring a batch in the module's frames, which come a frame at a
    // time: a streaming line never wakes the reader for it.
    static constexpr int quietMs = 50;

    // port: open; the batches end with it.
    explicit LineBatches(QSerialPort *port);

    // Up to `max` of the bytes the line holds: first those the port has read, then the device's
    // own, which the port reads only when the line reports itself readable. 0 when none are
    // held, -1 when the port is not open.
    qint64 read(char *data, qint64 max);

signals:
    // Bytes wait, fewer than a batch, on a line that has gone quiet: read them.
    void bytesHeld();

private:
    void setBatched(bool batched);
    void quietLine();

    QSerialPort *port;
    QTimer quiet;
    bool batched = false;
};
