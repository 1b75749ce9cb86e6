// envtool tap: sits on the line between the module and the viewer, forwards every byte both ways
// and records both directions.
#include "cli.h"
#include "commands/commands.h"
#include "control/commandlog.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "portloop.h"
#include "sim/viewerpty.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <limits>
#include <unistd.h>

namespace {
constexpr int statusIntervalMs = 500;
// What may wait for a module that is slow to take bytes before tap stops reading the viewer, so
// that the viewer's own writes wait in turn instead of tap's memory growing.
constexpr qint64 moduleBacklog = 1 << 16;

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
        // Qt keeps what the port cannot take yet and writes it as the port drains: it is
        // forwarded, and recorded as such.
        module.write(bytes);
        module.flush();
        record(SessionFile::FromViewer, now, bytes);
        print(commands.feed(now, bytes));
        if (module.bytesToWrite() > moduleBacklog)
            viewer.setReading(false);
    }

    // Reads the viewer again once the module has taken most of what waits for it.
    void moduleTookBytes()
    {
        if (module.bytesToWrite() <= moduleBacklog / 2)
            viewer.setReading(true);
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
struct TapOptions
{
    QString port; // the module's serial port
    QString link; // a symbolic link to the viewer's pseudo-terminal; empty for none
    QString session; // the session file; empty for none
    std::optional<double> seconds;
};

int fail(const QString &message)
{
    return reportError(QStringLiteral("tap"), message);
}

// Bytes that form no packet come out as unknown after a pause, as the simulator shows them; the
// session goes to disk now and then, so that a crash loses little; on a terminal, the status
// line.
void connectTimers(PortLoop &loop, Tap &tap, ViewerPty &viewer, QFile &output, QTimer &commandIdle,
                   QTimer &status, const std::function<void()> &onWriteFailure)
{
    commandIdle.setSingleShot(true);
    commandIdle.setInterval(int(CommandLog::idleUs / 1000));
    QObject::connect(&commandIdle, &QTimer::timeout, loop.context(), [&] { tap.finishCommands(); });
    QObject::connect(&viewer, &ViewerPty::received, &commandIdle, qOverload<>(&QTimer::start));
    QObject::connect(&status, &QTimer::timeout, loop.context(), [&, onWriteFailure] {
        if (tap.sessionFailed() || (output.isOpen() && !output.flush()))
            onWriteFailure();
        if (tap.showingStatus) {
            std::fputs(("\r" + tap.status() + "\033[K").toLocal8Bit().constData(), stderr);
            std::fflush(stderr);
        }
    });
    status.start(statusIntervalMs);
}

// Prints the viewer's pseudo-terminal, then forwards until the time is up, a stop signal
// (SIGINT, SIGTERM, SIGHUP) or the module's port goes away. Returns the exit code.
int tapLine(const TapOptions &options)
{
    // Installed first: a stop request that comes while the lines open waits for the event loop.
    PortLoop loop(QStringLiteral("tap"));
    // The port first: a port that cannot be opened leaves no session behind.
    if (!loop.open(options.port, QIODevice::ReadWrite))
        return loop.exitCode();
    QSerialPort &port = loop.port();
    QFile output(options.session);
    SessionFile session(&output);
    auto writeFailure = [&] {
        return QStringLiteral("cannot write %1: %2").arg(options.session, output.errorString());
    };
    if (!options.session.isEmpty()
        && (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) || !session.writeHeader()))
        return fail(writeFailure());
    // The session starts now: what the line held from before is not part of it.
    port.clear(QSerialPort::Input);
    ViewerPty viewer;
    QString error;
    if (!viewer.open(&error) || (!options.link.isEmpty() && !viewer.makeLink(options.link, &error)))
        return fail(error);
    printLine(viewer.slavePath());

    Tap tap(port, viewer, options.session.isEmpty() ? nullptr : &session);
    tap.showingStatus = ::isatty(STDERR_FILENO) == 1;
    QString lostReason;
    auto stop = [&](const QString &message) {
        if (!message.isEmpty() && loop.exitCode() == ExitSuccess && tap.showingStatus)
            std::fputs("\r\033[K", stderr);
        loop.finish(message);
    };
    QTimer commandIdle;
    QTimer status;
    QObject::connect(&port, &QSerialPort::readyRead, loop.context(), [&] { tap.fromModule(); });
    QObject::connect(&port, &QSerialPort::bytesWritten, loop.context(),
                     [&] { tap.moduleTookBytes(); });
    QObject::connect(&viewer, &ViewerPty::received, loop.context(),
                     [&](const QByteArray &bytes) { tap.fromViewer(bytes); });
    // A port that is gone ends the loop, and the viewer's side is hung up after it, when nothing
    // is in the middle of reading it.
    loop.onLost([&](const QString &reason) {
        lostReason = reason;
        viewer.setReading(false);
        loop.finish();
    });
    loop.onStopSignal([&] { loop.finish(); });
    if (options.seconds)
        loop.setDeadline(PortLoop::millisecondsOf(*options.seconds), [&] { loop.finish(); });
    connectTimers(loop, tap, viewer, output, commandIdle, status, [&] { stop(writeFailure()); });

    int exitCode = loop.exec();
    if (port.isOpen())
        tap.fromModule();
    if (lostReason.isEmpty()) {
        viewer.readAll();
        // What the module has not taken yet gets one more chance before the port closes.
        port.flush();
    } else {
        port.close();
        viewer.hangUp();
        stop(QStringLiteral("lost %1: %2").arg(options.port, lostReason));
        exitCode = loop.exitCode();
    }
    tap.finishCommands();
    if (tap.showingStatus)
        std::fputs("\r\033[K", stderr);
    if (output.isOpen() && (tap.sessionFailed() || !output.flush()) && exitCode == ExitSuccess)
        exitCode = fail(writeFailure());
    return exitCode;
}
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
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The module's serial port."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption pty(QStringLiteral("pty"),
                                 QStringLiteral("Create a pseudo-terminal for the viewer."));
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Create it and make PATH a symbolic link to it."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Write both directions to this session file."),
                                    QStringLiteral("SESSION"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Stop after this many seconds."),
                                     QStringLiteral("S"));
    cli.parser().addOptions({port, pty, link, output, seconds});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(port))
        return cli.usageError(QStringLiteral("--port is required"));
    if (cli.isSet(pty) == cli.isSet(link))
        return cli.usageError(QStringLiteral("give either --pty or --link"));
    TapOptions options;
    if (cli.isSet(seconds) && !(options.seconds = cli.positiveNumber(seconds)))
        return ExitError;
    options.port = cli.value(port);
    options.link = cli.value(link);
    options.session = cli.value(output);
    return tapLine(options);
}
