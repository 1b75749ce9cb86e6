#pragma once

// What record, qc and tap share: the module's port opened with the viewer's line settings, an
// event loop run until the command ends it, SIGINT, SIGTERM or SIGHUP, a deadline or the port's
// loss, and the exit code of the first error.

#include "cli.h"

#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <functional>

class PortLoop
{
public:
    // Installs the stop signals at once: one that comes while the port opens waits for the loop.
    explicit PortLoop(const QString &command);
    PortLoop(const PortLoop &) = delete;
    PortLoop &operator=(const PortLoop &) = delete;

    // Opens the port; false once the reason is reported.
    bool open(const QString &name, QIODevice::OpenMode mode);
    QSerialPort &port() { return serial; }
    // The context of every handler: destroyed before the port closes.
    QObject *context() { return &handlers; }

    // Each runs inside the loop; none ends it unless it calls finish().
    void onStopSignal(std::function<void()> handler);
    // Once, with the system's reason, while the port is still open.
    void onLost(std::function<void(const QString &reason)> handler);
    void setDeadline(int ms, std::function<void()> handler);
    static int millisecondsOf(double seconds);

    // Ends the loop; a message is reported as the command's error unless one came before it.
    void finish(const QString &error = QString());
    int fail(const QString &message) const { return reportError(command, message); }
    int exitCode() const { return code; }

    // Runs until finish(); the port's handlers are disconnected after it. Returns exitCode().
    int exec();
    // Disconnects the port's handlers and closes it.
    void closePort();

private:
    QString command;
    StopSignal stopSignal;
    QSerialPort serial;
    QEventLoop loop;
    QTimer deadline;
    int code = ExitSuccess;
    bool lost = false;
    // Declared last, so destroyed first: no handler outlives what it uses.
    QObject handlers;
};
