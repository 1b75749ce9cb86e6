#include "decodecommand.h"

#include "cli.h"
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
} // namespace

DecodeCommand::DecodeCommand(const DecodeOptions &options)
    : options(options)
{
}

int DecodeCommand::run()
{
    const QString name = options.input;
    QFile file;
    int fd = STDIN_FILENO;
    if (name != QLatin1String("-")) {
        file.setFileName(name);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return reportError(command,
                               QStringLiteral("cannot read %1: %2").arg(name, file.errorString()));
        fd = file.handle();
    }
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return reportError(
            command, QStringLiteral("cannot write standard output: %1").arg(output.errorString()));

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
        QByteArray chunk(int(chunkSize), Qt::Uninitialized);
        ssize_t n;
        do {
            n = ::read(fd, chunk.data(), size_t(chunk.size()));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            stopped = true;
            exitCode = reportError(command,
                                   QStringLiteral("cannot read %1: %2")
                                       .arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        } else if (n == 0) {
            reader.endInput();
        } else {
            chunk.resize(int(n));
            reader.append(chunk);
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
