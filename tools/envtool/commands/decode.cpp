// envtool decode: a capture, or the module's direction of a session, decoded with the viewer's
// decoder onto standard output; or a session's commands listed.
#include "cli.h"
#include "commands/commands.h"
#include "control/commandlog.h"
#include "link/framewriter.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"

#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
constexpr qint64 chunkSize = 1 << 16;
const QString command = QStringLiteral("decode");

QString statsLine(const DecoderStats &s)
{
    QString line = QStringLiteral("bytes %1, points %2, dropped %3, broken %4, frames by marker "
                                  "%5, frames by sync %6")
                       .arg(s.bytes)
                       .arg(s.points)
                       .arg(s.dropped)
                       .arg(s.broken)
                       .arg(s.framesByMarker)
                       .arg(s.framesBySync);
    if (s.overflow > 0)
        line += QStringLiteral(", points beyond the frame limit %1").arg(s.overflow);
    return line;
}

// Opens the input (standard input for "-") and standard output; returns the input's descriptor,
// or -1 once the reason is reported.
int openFiles(const QString &name, QFile &file, QFile &output)
{
    int fd = STDIN_FILENO;
    if (name != QLatin1String("-")) {
        file.setFileName(name);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            reportError(command,
                        QStringLiteral("cannot read %1: %2").arg(name, file.errorString()));
            return -1;
        }
        fd = file.handle();
    }
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
        reportError(command,
                    QStringLiteral("cannot write standard output: %1").arg(output.errorString()));
        return -1;
    }
    return fd;
}

// Hands what the input holds now to the reader, or tells it the input ended; false once a read
// fails, with the reason reported.
bool readInput(int fd, const QString &name, SessionFile &reader)
{
    QByteArray chunk(int(chunkSize), Qt::Uninitialized);
    ssize_t n;
    do {
        n = ::read(fd, chunk.data(), size_t(chunk.size()));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        reportError(command,
                    QStringLiteral("cannot read %1: %2")
                        .arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (n == 0) {
        reader.endInput();
    } else {
        chunk.resize(int(n));
        reader.append(chunk);
    }
    return true;
}

struct DecodeOptions
{
    // The capture or session; "-" reads standard input.
    QString input = QStringLiteral("-");
    // The viewer's commands of a session instead of the module's frames.
    bool commands = false;
    FrameWriter::Format frameFormat = FrameWriter::Format::JsonLines;
    CommandLog::Format commandFormat = CommandLog::Format::Text;
};

// It reads the input as it comes, so that Ctrl-C (or SIGTERM, SIGHUP) stops it at once, even on
// a pipe that delivers slowly: what was decoded is written, and it ends with 128 and the signal's
// number, as a shell expects.
int decode(const DecodeOptions &options)
{
    const QString name = options.input;
    QFile file;
    QFile output;
    const int fd = openFiles(name, file, output);
    if (fd < 0)
        return ExitError;

    SessionFile reader(nullptr, chunkSize);
    FrameWriter writer(&output, options.frameFormat);
    StreamDecoder decoder(&writer, StreamDecoder::FrameMode::Collect);
    CommandLog log(options.commandFormat);
    auto writeLines = [&](const QStringList &lines) {
        for (const QString &line : lines)
            output.write((line + QLatin1Char('\n')).toUtf8());
    };

    QEventLoop loop;
    int exitCode = ExitSuccess;
    bool stopped = false; // an input that cannot be read on: nothing more is written
    // Takes what the input holds now: whole records, as many as have come. False when there is
    // nothing more to take.
    auto consume = [&] {
        SessionFile::Record record;
        while (!(options.commands && reader.isRawCapture()) && !writer.failed()
               && reader.next(&record)) {
            if (!options.commands && record.direction == SessionFile::FromModule)
                decoder.decode(record.bytes.constData(), record.bytes.size());
            else if (options.commands && record.direction == SessionFile::FromViewer)
                writeLines(log.feed(record.timeUs, record.bytes));
        }
        if (options.commands && reader.isRawCapture()) {
            stopped = true;
            exitCode = reportError(
                command,
                QStringLiteral("%1 is a raw capture: it holds no commands, a session does")
                    .arg(name));
            return false;
        }
        return reader.error().isEmpty() && !reader.inputEnded() && !writer.failed();
    };

    // A pipe or a terminal is read as its bytes come; a file is always ready.
    QSocketNotifier input(fd, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        if (!readInput(fd, name, reader)) {
            stopped = true;
            exitCode = ExitError;
        }
        if (stopped || !consume()) {
            input.setEnabled(false);
            loop.quit();
            return;
        }
        // A reader at the other end of a pipe sees each frame once its bytes have come.
        writer.finish();
        output.flush();
    });
    StopSignal stop;
    QObject::connect(&stop, &StopSignal::stopRequested, [&](int signalNumber) {
        input.setEnabled(false);
        exitCode = 128 + signalNumber;
        loop.quit();
    });
    loop.exec();
    if (stopped)
        return exitCode;

    // What came before damage (or a signal) is written before the damage is reported.
    // Commands still waiting for bytes are listed unless a signal cut the input short.
    if (options.commands && exitCode == ExitSuccess)
        writeLines(log.finish());
    if (!writer.finish() || !output.flush())
        return reportError(
            command, QStringLiteral("cannot write standard output: %1").arg(output.errorString()));
    if (!reader.error().isEmpty())
        return reportError(command, name + QStringLiteral(": ") + reader.error());
    if (!options.commands)
        std::fputs((statsLine(decoder.stats()) + QLatin1Char('\n')).toUtf8().constData(), stderr);
    return exitCode;
}
} // namespace

int runDecode(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("decode"),
        QStringLiteral("Decodes a raw capture, or the module's direction of a session that tap "
                       "wrote, with the viewer's decoder and writes every completed frame to "
                       "standard output; the decoder's statistics go to standard error. With "
                       "--commands, lists the viewer's commands of a session instead."));
    QCommandLineParser &p = cli.parser();
    p.addPositionalArgument(QStringLiteral("file"),
                            QStringLiteral("The capture or session; '-' or none reads standard "
                                           "input."),
                            QStringLiteral("[FILE|-]"));
    const QCommandLineOption format(
        QStringLiteral("format"),
        QStringLiteral("Frames: jsonl (one object per frame, the default) or csv (one row per "
                       "point: frame,column,x,y). Commands: text (seconds since the start and "
                       "the command, the default) or jsonl."),
        QStringLiteral("FORMAT"));
    const QCommandLineOption listCommands(
        QStringLiteral("commands"),
        QStringLiteral("List the command packets the viewer sent, one per line."));
    p.addOptions({format, listCommands});
    if (const auto done = cli.parse(args, 1))
        return *done;
    const bool commands = cli.isSet(listCommands);
    const QString formatName
        = cli.isSet(format) ? cli.value(format) : QString::fromLatin1(commands ? "text" : "jsonl");
    const auto frameFormat = FrameWriter::formatNamed(formatName);
    const auto commandFormat = CommandLog::formatNamed(formatName);
    if (commands ? !commandFormat : !frameFormat) {
        return cli.usageError(QStringLiteral("--format is %1, not '%2'")
                                  .arg(commands ? QStringLiteral("text or jsonl with --commands")
                                                : QStringLiteral("jsonl or csv"),
                                       formatName));
    }

    DecodeOptions options;
    options.input = cli.positional().value(0, QStringLiteral("-"));
    options.commands = commands;
    options.frameFormat = frameFormat.value_or(FrameWriter::Format::JsonLines);
    options.commandFormat = commandFormat.value_or(CommandLog::Format::Text);
    return decode(options);
}
