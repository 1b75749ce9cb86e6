#include "recordcommand.h"

#include "cli.h"
#include "link/serialline.h"
#include "link/streamdecoder.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <limits>
#include <unistd.h>

namespace {
constexpr int progressIntervalMs = 250;

// Takes the port's bytes to the output, up to the byte limit, and keeps the counts.
class Recording
{
public:
    Recording(QSerialPort &port, QFile &output, qint64 byteLimit)
        : port(port)
        , output(output)
        , byteLimit(byteLimit)
    {
    }

    // Moves everything the port has; false once the output refuses bytes.
    bool take()
    {
        QByteArray bytes = port.readAll();
        if (byteLimit > 0 && written + bytes.size() > byteLimit)
            bytes.truncate(int(byteLimit - written));
        if (bytes.isEmpty())
            return !failed;
        if (output.write(bytes) != bytes.size() || !output.flush())
            failed = true;
        written += bytes.size();
        frames.decode(bytes.constData(), bytes.size());
        return !failed;
    }
    bool limitReached() const { return byteLimit > 0 && written >= byteLimit; }
    qint64 bytes() const { return written; }
    quint64 framesDecoded() const
    {
        return frames.stats().framesByMarker + frames.stats().framesBySync;
    }

private:
    QSerialPort &port;
    QFile &output;
    qint64 byteLimit;
    qint64 written = 0;
    bool failed = false;
    StreamDecoder frames {nullptr, StreamDecoder::FrameMode::PaintOnly};
};

int fail(const QString &message)
{
    return reportError(QStringLiteral("record"), message);
}
} // namespace

int RecordCommand::run()
{
    const bool toStdout = options.output.isEmpty() || options.output == QLatin1String("-");
    const QString outputName = toStdout ? QStringLiteral("standard output") : options.output;
    if (toStdout && ::isatty(STDOUT_FILENO) == 1)
        return fail(QStringLiteral("will not write binary data to a terminal (give -o FILE or "
                                   "redirect standard output)"));

    // Installed first: a stop request that comes while the port opens waits for the event loop.
    StopSignal stopSignal;
    // The port first: a port that cannot be opened leaves no file behind, nor an emptied one.
    QSerialPort port(options.port);
    QString error;
    if (!SerialLine::openPort(port, QIODevice::ReadOnly, &error))
        return fail(error);
    QFile output;
    const bool opened = toStdout
        ? output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)
        : (output.setFileName(options.output),
           output.open(QIODevice::WriteOnly | QIODevice::Truncate));
    if (!opened)
        return fail(QStringLiteral("cannot write %1: %2").arg(outputName, output.errorString()));
    // The recording starts now: what the line held from before is not part of it.
    port.clear(QSerialPort::Input);

    Recording recording(port, output, options.byteLimit);
    QEventLoop loop;
    int exitCode = ExitSuccess;
    auto stop = [&](const QString &message = QString()) {
        if (!message.isEmpty() && exitCode == ExitSuccess)
            exitCode = fail(message);
        loop.exit();
    };
    auto writeFailure = [&] {
        return QStringLiteral("cannot write %1: %2").arg(outputName, output.errorString());
    };
    QTimer limit;
    QTimer progress;
    QElapsedTimer clock;
    // Destroyed first, so that no handler outlives what it uses, nor runs as the port closes.
    QObject handlers;
    auto take = [&] {
        if (!recording.take())
            stop(writeFailure());
        else if (recording.limitReached())
            stop();
    };
    QObject::connect(&port, &QSerialPort::readyRead, &handlers, take);
    QObject::connect(&port, &QSerialPort::errorOccurred, &handlers, [&] {
        if (!port.isOpen() || !SerialLine::isDeviceGone(port))
            return;
        take();
        stop(QStringLiteral("lost %1: %2").arg(options.port, SerialLine::goneReason(port)));
        QObject::disconnect(&port, nullptr, &handlers, nullptr);
        port.close();
    });
    QObject::connect(&stopSignal, &StopSignal::stopRequested, &handlers, [&] {
        take();
        stop();
    });
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    if (options.seconds) {
        QObject::connect(&limit, &QTimer::timeout, &handlers, [&] {
            take();
            stop();
        });
        limit.start(int(qMin(*options.seconds * 1000, double(std::numeric_limits<int>::max()))));
    }

    // A live line for a person watching; nothing when standard error goes to a file or a pipe.
    clock.start();
    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    auto showLine = [&] {
        const double elapsed = qMax<qint64>(clock.elapsed(), 1) / 1000.0;
        const QString line = QStringLiteral("\r%1 bytes  %2 bytes/s  %3 frames ")
                                 .arg(recording.bytes())
                                 .arg(qRound64(recording.bytes() / elapsed))
                                 .arg(recording.framesDecoded());
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
    };
    if (showProgress) {
        QObject::connect(&progress, &QTimer::timeout, &handlers, showLine);
        progress.start(progressIntervalMs);
    }

    loop.exec();
    // The last bytes count as much as the first: a write that fails now fails the recording.
    if (exitCode == ExitSuccess
        && ((port.isOpen() && !recording.limitReached() && !recording.take()) || !output.flush()))
        exitCode = fail(writeFailure());
    if (showProgress) {
        showLine();
        std::fputs("\n", stderr);
    }
    return exitCode;
}
