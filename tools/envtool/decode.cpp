#include "cli.h"
#include "commandlog.h"
#include "commands.h"
#include "framewriter.h"
#include "sessionfile.h"

#include <QFile>

#include <cstdio>

namespace {
constexpr qint64 chunkSize = 1 << 16;

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
    p.addOption({QStringLiteral("format"),
                 QStringLiteral("Frames: jsonl (one object per frame, the default) or csv (one "
                                "row per point: frame,column,x,y). Commands: text (seconds since "
                                "the start and the command, the default) or jsonl."),
                 QStringLiteral("FORMAT")});
    p.addOption({QStringLiteral("commands"),
                 QStringLiteral("List the command packets the viewer sent, one per line.")});
    if (const auto done = cli.parse(args, 1))
        return *done;
    const bool commands = cli.isSet(QStringLiteral("commands"));
    const QString formatName = cli.isSet(QStringLiteral("format"))
        ? cli.value(QStringLiteral("format"))
        : QString::fromLatin1(commands ? "text" : "jsonl");
    const auto frameFormat = FrameWriter::formatNamed(formatName);
    const auto commandFormat = CommandLog::formatNamed(formatName);
    if (commands ? !commandFormat : !frameFormat) {
        return cli.usageError(QStringLiteral("--format is %1, not '%2'")
                                  .arg(commands ? QStringLiteral("text or jsonl with --commands")
                                                : QStringLiteral("jsonl or csv"),
                                       formatName));
    }

    const QString name = cli.positional().value(0, QStringLiteral("-"));
    QFile input;
    const bool opened = name == QLatin1String("-")
        ? input.open(stdin, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
        : (input.setFileName(name), input.open(QIODevice::ReadOnly));
    if (!opened)
        return cli.usageError(QStringLiteral("cannot read %1: %2").arg(name, input.errorString()));
    SessionFile reader(&input, chunkSize);
    if (!reader.readHeader())
        return cli.usageError(name + QStringLiteral(": ") + reader.error());
    if (commands && !reader.isSession())
        return cli.usageError(
            QStringLiteral("%1 is a raw capture: it holds no commands, a session does").arg(name));
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return cli.usageError(
            QStringLiteral("cannot write standard output: %1").arg(output.errorString()));

    FrameWriter writer(&output, frameFormat.value_or(FrameWriter::Format::JsonLines));
    StreamDecoder decoder(&writer, StreamDecoder::FrameMode::Collect);
    CommandLog log(commandFormat.value_or(CommandLog::Format::Text));
    auto writeLines = [&](const QStringList &lines) {
        for (const QString &line : lines)
            output.write((line + QLatin1Char('\n')).toUtf8());
    };
    SessionFile::Record record;
    while (reader.next(&record) && !writer.failed()) {
        if (!commands && record.direction == SessionFile::FromModule)
            decoder.decode(record.bytes.constData(), record.bytes.size());
        else if (commands && record.direction == SessionFile::FromViewer)
            writeLines(log.feed(record.timeUs, record.bytes));
    }
    // What came before damage is written before the damage is reported.
    if (commands)
        writeLines(log.finish());
    if (!writer.finish() || !output.flush())
        return cli.usageError(
            QStringLiteral("cannot write standard output: %1").arg(output.errorString()));
    if (!reader.error().isEmpty())
        return cli.usageError(name + QStringLiteral(": ") + reader.error());
    if (!commands)
        std::fputs((statsLine(decoder.stats()) + QLatin1Char('\n')).toUtf8().constData(), stderr);
    return ExitSuccess;
}
