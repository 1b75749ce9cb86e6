// envtool record: the raw byte stream of a port, written to a file or standard output until a
// limit or a stop signal.
#include "cli.h"
#include "commands/commands.h"
#include "link/streamdecoder.h"
#include "portloop.h"

#include <QElapsedTimer>
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

struct RecordOptions
{
    QString port;
    // The capture file; empty or "-" is standard output, which must not be a terminal.
    QString output;
    std::optional<double> seconds;
    qint64 byteLimit = 0; // 0: no limit
};

int fail(const QString &message)
{
    return reportError(QStringLiteral("record"), message);
}

// Records until the limit, a stop signal (SIGINT, SIGTERM, SIGHUP) or the port's loss;
// everything received is written first. Returns the exit code.
int record(const RecordOptions &options)
{
    const bool toStdout = options.output.isEmpty() || options.output == QLatin1String("-");
    const QString outputName = toStdout ? QStringLiteral("standard output") : options.output;
    if (toStdout && ::isatty(STDOUT_FILENO) == 1)
        return fail(QStringLiteral("will not write binary data to a terminal (give -o FILE or "
                                   "redirect standard output)"));

    PortLoop loop(QStringLiteral("record"));
    // The port first: a port that cannot be opened leaves no file behind, nor an emptied one.
    if (!loop.open(options.port, QIODevice::ReadOnly))
        return loop.exitCode();
    QSerialPort &port = loop.port();
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
    auto writeFailure = [&] {
        return QStringLiteral("cannot write %1: %2").arg(outputName, output.errorString());
    };
    auto take = [&] {
        if (!recording.take())
            loop.finish(writeFailure());
        else if (recording.limitReached())
            loop.finish();
    };
    auto takeAndStop = [&] {
        take();
        loop.finish();
    };
    QObject::connect(&port, &QSerialPort::readyRead, loop.context(), take);
    loop.onLost([&](const QString &reason) {
        take();
        loop.finish(QStringLiteral("lost %1: %2").arg(options.port, reason));
        loop.closePort();
    });
    loop.onStopSignal(takeAndStop);
    if (options.seconds)
        loop.setDeadline(PortLoop::millisecondsOf(*options.seconds), takeAndStop);

    // A live line for a person watching; nothing when standard error goes to a file or a pipe.
    QTimer progress;
    QElapsedTimer clock;
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
        QObject::connect(&progress, &QTimer::timeout, loop.context(), showLine);
        progress.start(progressIntervalMs);
    }

    int exitCode = loop.exec();
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
} // namespace

int runRecord(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("record"),
        QStringLiteral("Writes the raw byte stream of a port to a file (or standard "
                       "output) until a limit is reached or Ctrl-C, with the "
                       "viewer's line settings (115200 8N1)."));
    const QCommandLineOption port(
        QStringLiteral("port"), QStringLiteral("The serial port to read."), QStringLiteral("NAME"));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("The capture file; '-' or none writes standard output."),
        QStringLiteral("FILE"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Stop after this many seconds."),
                                     QStringLiteral("S"));
    const QCommandLineOption bytes(QStringLiteral("bytes"),
                                   QStringLiteral("Stop after this many bytes."),
                                   QStringLiteral("N"));
    cli.parser().addOptions({port, output, seconds, bytes});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(port))
        return cli.usageError(QStringLiteral("--port is required"));
    RecordOptions options;
    if (cli.isSet(seconds) && !(options.seconds = cli.positiveNumber(seconds)))
        return ExitError;
    options.port = cli.value(port);
    options.output = cli.value(output);
    if (cli.isSet(bytes)) {
        const auto n = cli.wholeNumber(bytes, 1, std::numeric_limits<int>::max());
        if (!n)
            return ExitError;
        options.byteLimit = *n;
    }
    return record(options);
}
