#include "cli.h"
#include "commands.h"
#include "decodecommand.h"

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

    DecodeOptions options;
    options.input = cli.positional().value(0, QStringLiteral("-"));
    options.commands = commands;
    options.frameFormat = frameFormat.value_or(FrameWriter::Format::JsonLines);
    options.commandFormat = commandFormat.value_or(CommandLog::Format::Text);
    return DecodeCommand(options).run();
}
