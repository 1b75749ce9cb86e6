#include "cli.h"
#include "commands.h"
#include "link/serialline.h"
#include "link/streamdecoder.h"

#include <QCoreApplication>
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
} // namespace

int runRecord(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("record"),
        QStringLiteral("Writes the raw byte stream of a port to a file (or standard "
                       "output) until a limit is reached or Ctrl-C, with the "
                       "viewer's line settings (115200 8N1)."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("port"), QStringLiteral("The serial port to read."),
                 QStringLiteral("NAME")});
    p.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                 QStringLiteral("The capture file; '-' or none writes standard output."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("seconds"), QStringLiteral("Stop after this many seconds."),
                 QStringLiteral("S")});
    p.addOption({QStringLiteral("bytes"), QStringLiteral("Stop after this many bytes."),
                 QStringLiteral("N")});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("port")))
        return cli.usageError(QStringLiteral("--port is required"));
    std::optional<double> seconds;
    if (cli.isSet(QStringLiteral("seconds"))
        && !(seconds = cli.positiveNumber(QStringLiteral("seconds"))))
        return ExitError;
    qint64 byteLimit = 0;
    if (cli.isSet(QStringLiteral("bytes"))) {
        const auto n = cli.wholeNumber(QStringLiteral("bytes"), 1, std::numeric_limits<int>::max());
        if (!n)
            return ExitError;
        byteLimit = *n;
    }

    // Installed first: a stop request that comes while the port opens waits for the event loop.
    StopSignal stopSignal;
    const QString outputName = cli.value(QStringLiteral("output"));
    QFile output;
    const bool toStdout = outputName.isEmpty() || outputName == QLatin1String("-");
    const bool opened = toStdout
        ? output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)
        : (output.setFileName(outputName), output.open(QIODevice::WriteOnly | QIODevice::Truncate));
    if (!opened) {
        return cli.usageError(QStringLiteral("cannot write %1: %2")
                                  .arg(toStdout ? QStringLiteral("standard output") : outputName,
                                       output.errorString()));
    }

    const QString portName = cli.value(QStringLiteral("port"));
    QSerialPort port(portName);
    QString error;
    if (!openSerialLine(port, QIODevice::ReadOnly, &error))
        return cli.usageError(QStringLiteral("cannot open %1: %2").arg(portName, error));
    // The recording starts now: what the line held from before is not part of it.
    port.clear(QSerialPort::Input);

    Recording recording(port, output, byteLimit);
    int exitCode = ExitSuccess;
    auto stop = [&](int code, const QString &message = QString()) {
        if (!message.isEmpty())
            exitCode = cli.usageError(message);
        else if (exitCode == ExitSuccess)
            exitCode = code;
        QCoreApplication::exit(0);
    };
    auto take = [&] {
        if (!recording.take())
            stop(ExitError,
                 QStringLiteral("cannot write %1: %2").arg(outputName, output.errorString()));
        else if (recording.limitReached())
            stop(ExitSuccess);
    };
    QObject::connect(&port, &QSerialPort::readyRead, take);
    QObject::connect(&port, &QSerialPort::errorOccurred, [&](QSerialPort::SerialPortError e) {
        if (!port.isOpen() || !SerialLine::isDeviceGone(e))
            return;
        take();
        stop(ExitError, QStringLiteral("lost %1: %2").arg(portName, SerialLine::goneReason(port)));
        port.close();
    });
    QObject::connect(&stopSignal, &StopSignal::stopRequested, [&] {
        take();
        stop(ExitSuccess);
    });
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    if (seconds) {
        QObject::connect(&limit, &QTimer::timeout, [&] {
            take();
            stop(ExitSuccess);
        });
        limit.start(int(qMin(*seconds * 1000, double(std::numeric_limits<int>::max()))));
    }

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
        QObject::connect(&progress, &QTimer::timeout, showLine);
        progress.start(progressIntervalMs);
    }

    QCoreApplication::exec();
    if (port.isOpen() && !recording.limitReached())
        recording.take();
    output.flush();
    if (showProgress) {
        showLine();
        std::fputs("\n", stderr);
    }
    return exitCode;
}
