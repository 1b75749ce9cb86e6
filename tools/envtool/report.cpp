// envtool report: the command line of ReportCommand.
#include "cli.h"
#include "commands.h"
#include "rendercommand.h"
#include "reportcommand.h"

int runReport(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("report"),
        QStringLiteral("Writes one self-contained HTML page (no script, no outside link, "
                       "printable on A4) of the test records: for each test its runs, passes, "
                       "fails, yield, first-pass and final yield, the yield per day, the Pareto "
                       "of failure texts, a histogram of each judged channel's run means "
                       "against its window with its Cpk (marked under 1.33), and the latest "
                       "failed runs."));
    QCommandLineParser &p = cli.parser();
    p.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                 QStringLiteral("The page to write."),
                 QStringLiteral("FILE")});
    addRecordSourceOptions(p);
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("output")))
        return cli.usageError(QStringLiteral("-o FILE is required"));
    const std::optional<RecordSource> source = recordSource(cli);
    if (!source)
        return ExitError;
    ReportOptions options;
    options.source = *source;
    options.output = cli.value(QStringLiteral("output"));
    options.lastFramePng = lastFrameOfCapture;
    return ReportCommand(options).run();
}
