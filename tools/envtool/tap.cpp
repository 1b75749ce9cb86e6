#include "cli.h"
#include "commandlog.h"
#include "commands.h"
#include "link/serialline.h"
#include "link/streamdecoder.h"
#include "sessionfile.h"
#include "viewerpty.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <limits>
#include <optional>
#include <unistd.h>

namespace {
constexpr int statusIntervalMs = 500;

// Forwards each chunk at once; writing the session, naming the viewer's commands and counting
// the module's frames come after, as they may wait a moment.
class Tap
{
public:
    Tap(QSerialPort &module, ViewerPty &viewer, SessionFile *session)
        : module(module)
        , viewer(viewer)
        , session(session)
    {
        clock.start();
        sinceStatus.start();
    }

    void fromModule()
    {
        const QByteArray bytes = module.readAll();
        if (bytes.isEmpty())
            return;
        const qint64 now = microseconds();
        viewer.send(bytes);
        record(SessionFile::FromModule, now, bytes);
        moduleBytes += quint64(bytes.size());
        frames.decode(bytes.constData(), bytes.size());
    }

    void fromViewer(const QByteArray &bytes)
    {
        const qint64 now = microseconds();
        module.write(bytes);
        module.flush();
        record(SessionFile::FromViewer, now, bytes);
        print(commands.feed(now, bytes));
    }

    // Prints what the viewer sent that no packet has completed yet.
    void finishCommands() { print(commands.finish()); }
    bool sessionFailed() const { return writeFailed; }

    // "module 11520 bytes/s, 90 frames/s; viewer open", over the time since the last call.
    QString status()
    {
        const double seconds = qMax<qint64>(sinceStatus.restart(), 1) / 1000.0;
        const quint64 frameCount = frames.stats().framesByMarker + frames.stats().framesBySync;
        const QString text
            = QStringLiteral("module %1 bytes/s, %2 frames/s; viewer %3")
                  .arg(qRound64((moduleBytes - statusBytes) / seconds))
                  .arg(qRound64((frameCount - statusFrames) / seconds))
                  .arg(viewer.isViewerOpen() ? QStringLiteral("open") : QStringLiteral("closed"));
        statusBytes = moduleBytes;
        statusFrames = frameCount;
        return text;
    }

    // Set when the status line is on the terminal: command lines clear it first.
    bool showingStatus = false;

private:
    qint64 microseconds() const { return clock.nsecsElapsed() / 1000; }

    void record(SessionFile::Direction direction, qint64 timeUs, const QByteArray &bytes)
    {
        if (session && !writeFailed
            && !session->write(direction, timeUs, bytes.constData(), bytes.size()))
            writeFailed = true;
    }

    void print(const QStringList &lines)
    {
        if (lines.isEmpty())
            return;
        if (showingStatus)
            std::fputs("\r\033[K", stderr);
        for (const QString &line : lines)
            printLine(line);
    }

    QSerialPort &module;
    ViewerPty &viewer;
    SessionFile *session;
    QElapsedTimer clock;
    CommandLog commands {CommandLog::Format::Text};
    StreamDecoder frames {nullptr, StreamDecoder::FrameMode::PaintOnly};
    bool writeFailed = false;
    quint64 moduleBytes = 0;
    quint64 statusBytes = 0;
    quint64 statusFrames = 0;
    QElapsedTimer sinceStatus;
};
} // namespace

int runTap(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("tap"),
        QStringLiteral("Sits on the line between the module and the viewer: opens the module's "
                       "port with the viewer's line settings and a pseudo-terminal for the "
                       "viewer, and forwards every byte both ways, unchanged. The first line of "
                       "output is the pseudo-terminal's path; then one line for each command "
                       "packet the viewer sends, with the seconds since the start. The viewer "
                       "may close and open its side again; when the module's port goes away, "
                       "the viewer's side hangs up and tap exits with 2."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("port"), QStringLiteral("The module's serial port."),
                 QStringLiteral("NAME")});
    p.addOption(
        {QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal for the viewer.")});
    p.addOption({QStringLiteral("link"),
                 QStringLiteral("Create it and make PATH a symbolic link to it."),
                 QStringLiteral("PATH")});
    p.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                 QStringLiteral("Write both directions to this session file."),
                 QStringLiteral("SESSION")});
    p.addOption({QStringLiteral("seconds"), QStringLiteral("Stop after this many seconds."),
                 QStringLiteral("S")});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("port")))
        return cli.usageError(QStringLiteral("--port is required"));
    if (cli.isSet(QStringLiteral("pty")) == cli.isSet(QStringLiteral("link")))
        return cli.usageError(QStringLiteral("give either --pty or --link"));
    std::optional<double> seconds;
    if (cli.isSet(QStringLiteral("seconds"))
        && !(seconds = cli.positiveNumber(QStringLiteral("seconds"))))
        return ExitError;

    // Installed first: a stop request that comes while the lines open waits for the event loop.
    StopSignal stopSignal;
    const QString sessionName = cli.value(QStringLiteral("output"));
    QFile output(sessionName);
    SessionFile session(&output);
    if (!sessionName.isEmpty()
        && (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) || !session.writeHeader()))
        return cli.usageError(
            QStringLiteral("cannot write %1: %2").arg(sessionName, output.errorString()));

    const QString portName = cli.value(QStringLiteral("port"));
    QSerialPort port(portName);
    QString error;
    if (!openSerialLine(port, QIODevice::ReadWrite, &error))
        return cli.usageError(QStringLiteral("cannot open %1: %2").arg(portName, error));
    // The session starts now: what the line held from before is not part of it.
    port.clear(QSerialPort::Input);
    ViewerPty viewer;
    if (!viewer.open(&error)
        || (cli.isSet(QStringLiteral("link"))
            && !viewer.makeLink(cli.value(QStringLiteral("link")), &error)))
        return cli.usageError(error);
    printLine(viewer.slavePath());

    Tap tap(port, viewer, sessionName.isEmpty() ? nullptr : &session);
    int exitCode = ExitSuccess;
    auto stop = [&](int code, const QString &message = QString()) {
        if (tap.showingStatus)
            std::fputs("\r\033[K", stderr);
        if (!message.isEmpty())
            exitCode = cli.usageError(message);
        else if (exitCode == ExitSuccess)
            exitCode = code;
        QCoreApplication::exit(0);
    };
    QObject::connect(&port, &QSerialPort::readyRead, [&] { tap.fromModule(); });
    QObject::connect(&viewer, &ViewerPty::received,
                     [&](const QByteArray &bytes) { tap.fromViewer(bytes); });
    QObject::connect(&port, &QSerialPort::errorOccurred, [&](QSerialPort::SerialPortError e) {
        if (!port.isOpen() || !SerialLine::isDeviceGone(e))
            return;
        tap.fromModule();
        const QString reason = SerialLine::goneReason(port); // before close() clears the error
        port.close();
        viewer.hangUp();
        stop(ExitError, QStringLiteral("lost %1: %2").arg(portName, reason));
    });
    QObject::connect(&stopSignal, &StopSignal::stopRequested, [&] { stop(ExitSuccess); });

    // Bytes that form no packet come out as unknown after a pause, as the simulator shows them.
    QTimer commandIdle;
    commandIdle.setSingleShot(true);
    commandIdle.setInterval(int(CommandLog::idleUs / 1000));
    QObject::connect(&commandIdle, &QTimer::timeout, [&] { tap.finishCommands(); });
    QObject::connect(&viewer, &ViewerPty::received, &commandIdle, qOverload<>(&QTimer::start));

    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    if (seconds) {
        QObject::connect(&limit, &QTimer::timeout, [&] { stop(ExitSuccess); });
        limit.start(int(qMin(*seconds * 1000, double(std::numeric_limits<int>::max()))));
    }

    // The session goes to disk now and then, so that a crash loses little; on a terminal, the
    // status line.
    QTimer status;
    tap.showingStatus = ::isatty(STDERR_FILENO) == 1;
    QObject::connect(&status, &QTimer::timeout, [&] {
        if (tap.sessionFailed() || (output.isOpen() && !output.flush()))
            stop(ExitError,
                 QStringLiteral("cannot write %1: %2").arg(sessionName, output.errorString()));
        if (tap.showingStatus) {
            std::fputs(("\r" + tap.status() + "\033[K").toLocal8Bit().constData(), stderr);
            std::fflush(stderr);
        }
    });
    status.start(statusIntervalMs);

    QCoreApplication::exec();
    if (port.isOpen())
        tap.fromModule();
    viewer.readAll();
    tap.finishCommands();
    if (tap.showingStatus)
        std::fputs("\r\033[K", stderr);
    if (output.isOpen() && (tap.sessionFailed() || !output.flush()) && exitCode != ExitError)
        exitCode = cli.usageError(
            QStringLiteral("cannot write %1: %2").arg(sessionName, output.errorString()));
    return exitCode;
}
