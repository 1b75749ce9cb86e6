#pragma once

// What record, qc and tap share: the module's port opened with the viewer's line settings, an
// event loop run until the command ends it, SIGINT, SIGTERM or SIGHUP, a deadline or the port's
// loss, and the exit code of the first error. With reconnect, a lost port is waited for instead.

#include "cli.h"
#include "link/portreconnector.h"

#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <functional>
#include <memory>

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
    // Rides out an unplug instead: once the device is gone, `gone` runs while the port is still
    // open, then the port is waited for under its recorded name (the by-id name of its device
    // when it has one, else the name given) and opened again with the same settings, and `back`
    // runs; the onLost handler (which must be set) does not. A stop signal ends the wait.
    void onReconnect(std::function<void()> gone, std::function<void()> back);
    bool isWaiting() const { return reconnector && reconnector->isWaiting(); }
    // "waiting for NAME to come back (3 s)" while waiting, for the command's status line.
    QString waitingText() const;
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
    std::unique_ptr<PortReconnector> reconnector; // made once the port opened, in its mode
    QString waitName;
    std::function<void()> whenGone;
    std::function<void()> whenBack;
    int code = ExitSuccess;
    bool lost = false;
    // Declared last, so destroyed first: no handler outlives what it uses.
    QObject handlers;
};
