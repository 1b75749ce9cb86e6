#include "cli.h"
#include "commands.h"
#include "rendercommand.h"

int runRender(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("render"),
        QStringLiteral("Writes one frame of a raw capture, or of the module's direction of a "
                       "session, as a PNG image, painted exactly as a program's window paints "
                       "it."));
    QCommandLineParser &p = cli.parser();
    p.addPositionalArgument(QStringLiteral("file"),
                            QStringLiteral("The capture or session; '-' or none reads standard "
                                           "input."),
                            QStringLiteral("[FILE|-]"));
    p.addOption({QStringLiteral("program"),
                 QStringLiteral("Paint as envviewer (the default), envviewer_cam, envviewer_qc "
                                "or envviewer_lite does."),
                 QStringLiteral("NAME")});
    p.addOption({QStringLiteral("frame"),
                 QStringLiteral("The frame N, counted from 0 (default: the last complete one)."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("record"),
                 QStringLiteral("Render the capture the test record ID kept, instead of FILE."),
                 QStringLiteral("ID")});
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Find the record in FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                 QStringLiteral("Write the PNG to FILE (default: standard output, unless it is a "
                                "terminal)."),
                 QStringLiteral("FILE")});
    if (const auto done = cli.parse(args, 1))
        return *done;

    RenderOptions options;
    options.input = cli.positional().value(0, QStringLiteral("-"));
    options.record = cli.value(QStringLiteral("record"));
    options.log = cli.value(QStringLiteral("log"));
    if (!options.record.isEmpty() && !cli.positional().isEmpty())
        return cli.usageError(QStringLiteral("--record and FILE name two inputs; give one"));
    if (cli.isSet(QStringLiteral("program"))) {
        const auto program = deliverableNamed(cli.value(QStringLiteral("program")));
        if (!program) {
            return cli.usageError(QStringLiteral("--program is envviewer, envviewer_cam, "
                                                 "envviewer_qc or envviewer_lite, not '%1'")
                                      .arg(cli.value(QStringLiteral("program"))));
        }
        options.program = *program;
    }
    if (cli.isSet(QStringLiteral("frame"))) {
        const auto frame = cli.wholeNumber(QStringLiteral("frame"), 0, 0x7fffffff);
        if (!frame)
            return ExitError;
        options.frame = int(*frame);
    }
    if (cli.isSet(QStringLiteral("o")))
        options.output = cli.value(QStringLiteral("o"));
    return RenderCommand(options).run();
}
