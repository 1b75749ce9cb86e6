#include "cli.h"
#include "commands.h"
#include "recordcommand.h"

#include <limits>

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
    RecordOptions options;
    options.port = cli.value(QStringLiteral("port"));
    options.output = cli.value(QStringLiteral("output"));
    options.seconds = seconds;
    if (cli.isSet(QStringLiteral("bytes"))) {
        const auto n = cli.wholeNumber(QStringLiteral("bytes"), 1, std::numeric_limits<int>::max());
        if (!n)
            return ExitError;
        options.byteLimit = *n;
    }
    return RecordCommand(options).run();
}
