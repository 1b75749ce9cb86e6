#include "tapcommand.h"

#include "cli.h"
#include "control/commandlog.h"
#include "link/serialline.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "sim/viewerpty.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
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
} // namespace

int TapCommand::run()
{
    auto fail = [](const QString &message) { return reportError(QStringLiteral("tap"), message); };
    // Installed first: a stop request that comes while the lines open waits for the event loop.
    StopSignal stopSignal;
    // The port first: a port that cannot be opened leaves no session behind.
    QSerialPort port(options.port);
    QString error;
    if (!SerialLine::openPort(port, QIODevice::ReadWrite, &error))
        return fail(error);
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
    if (!viewer.open(&error) || (!options.link.isEmpty() && !viewer.makeLink(options.link, &error)))
        return fail(error);
    printLine(viewer.slavePath());

    Tap tap(port, viewer, options.session.isEmpty() ? nullptr : &session);
    tap.showingStatus = ::isatty(STDERR_FILENO) == 1;
    QEventLoop loop;
    int exitCode = ExitSuccess;
    QString lostReason;
    auto stop = [&](const QString &message = QString()) {
        if (!message.isEmpty() && exitCode == ExitSuccess) {
            if (tap.showingStatus)
                std::fputs("\r\033[K", stderr);
            exitCode = fail(message);
        }
        loop.exit();
    };
    QTimer commandIdle;
    QTimer limit;
    QTimer status;
    // Destroyed first, so that no handler outlives what it uses, nor runs as the port closes.
    QObject handlers;
    QObject::connect(&port, &QSerialPort::readyRead, &handlers, [&] { tap.fromModule(); });
    QObject::connect(&port, &QSerialPort::bytesWritten, &handlers, [&] { tap.moduleTookBytes(); });
    QObject::connect(&viewer, &ViewerPty::received, &handlers,
                     [&](const QByteArray &bytes) { tap.fromViewer(bytes); });
    // A port that only cannot take bytes yet is not gone. One that is gone ends the loop, and the
    // viewer's side is hung up after it, when nothing is in the middle of reading it.
    QObject::connect(&port, &QSerialPort::errorOccurred, &handlers, [&] {
        if (!lostReason.isEmpty() || !port.isOpen() || !SerialLine::isDeviceGone(port))
            return;
        lostReason = SerialLine::goneReason(port); // before close() clears the error
        viewer.setReading(false);
        loop.exit();
    });
    QObject::connect(&stopSignal, &StopSignal::stopRequested, &handlers, [&] { stop(); });

    // Bytes that form no packet come out as unknown after a pause, as the simulator shows them.
    commandIdle.setSingleShot(true);
    commandIdle.setInterval(int(CommandLog::idleUs / 1000));
    QObject::connect(&commandIdle, &QTimer::timeout, &handlers, [&] { tap.finishCommands(); });
    QObject::connect(&viewer, &ViewerPty::received, &commandIdle, qOverload<>(&QTimer::start));

    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    if (options.seconds) {
        QObject::connect(&limit, &QTimer::timeout, &handlers, [&] { stop(); });
        limit.start(int(qMin(*options.seconds * 1000, double(std::numeric_limits<int>::max()))));
    }

    // The session goes to disk now and then, so that a crash loses little; on a terminal, the
    // status line.
    QObject::connect(&status, &QTimer::timeout, &handlers, [&] {
        if (tap.sessionFailed() || (output.isOpen() && !output.flush()))
            stop(writeFailure());
        if (tap.showingStatus) {
            std::fputs(("\r" + tap.status() + "\033[K").toLocal8Bit().constData(), stderr);
            std::fflush(stderr);
        }
    });
    status.start(statusIntervalMs);

    loop.exec();
    QObject::disconnect(&port, nullptr, &handlers, nullptr);
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
    }
    tap.finishCommands();
    if (tap.showingStatus)
        std::fputs("\r\033[K", stderr);
    if (output.isOpen() && (tap.sessionFailed() || !output.flush()) && exitCode == ExitSuccess)
        exitCode = fail(writeFailure());
    return exitCode;
}
