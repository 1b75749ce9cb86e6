#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTimer>

// Rides out an unplug: once the device of an open port has gone, waits for a device to be there
// again under the port's name (the link, when it was opened through one) and opens it as
// SerialLine::openPort does, with the same settings and mode. It looks every pollMs while the
// event loop runs, so that the caller's other lines, and a stop request, are served meanwhile.
class PortReconnector : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultPollMs = 100;

    // `port` keeps its name, and must outlive the wait.
    PortReconnector(QSerialPort &port, QIODevice::OpenMode mode, QObject *parent = nullptr);

    // Closes the port if it is still open, and starts waiting. limitMs < 0: no time limit.
    void start(qint64 limitMs = -1, int pollMs = defaultPollMs);
    // Ends the wait without a signal (a stop request); the port stays closed.
    void cancel();
    bool isWaiting() const { return poll.isActive(); }
    // How long the current (or last) wait has lasted.
    qint64 waitedMs() const { return waited.isValid() ? waited.elapsed() : 0; }
    // Why the last attempt to open failed; empty while the device is not there at all.
    QString lastError() const { return lastProblem; }

signals:
    void reopened();
    // The time limit passed: one line saying why.
    void gaveUp(const QString &reason);

private:
    void attempt();

    QSerialPort &port;
    QIODevice::OpenMode mode;
    qint64 limitMs = -1;
    QTimer poll;
    QElapsedTimer waited;
    QString lastProblem;
};
