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
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Read FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("db"),
                 QStringLiteral("Report the records of every station in the database at URL "
                                "(postgresql://...) instead of a log."),
                 QStringLiteral("URL")});
    p.addOption({QStringLiteral("label"), QStringLiteral("Only the test labelled L."),
                 QStringLiteral("L")});
    p.addOption({QStringLiteral("since"),
                 QStringLiteral("Only tests judged at or after DATE (an ISO date or date-time; "
                                "local time unless it gives an offset)."),
                 QStringLiteral("DATE")});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("output")))
        return cli.usageError(QStringLiteral("-o FILE is required"));
    if (cli.isSet(QStringLiteral("log")) && cli.isSet(QStringLiteral("db")))
        return cli.usageError(QStringLiteral("--log and --db name two sources; give one"));
    ReportOptions options;
    if (cli.isSet(QStringLiteral("since"))) {
        options.query.since
            = QDateTime::fromString(cli.value(QStringLiteral("since")), Qt::ISODateWithMs);
        if (!options.query.since.isValid())
            return cli.usageError(QStringLiteral("--since needs an ISO date or date-time, not '%1'")
                                      .arg(cli.value(QStringLiteral("since"))));
    }
    options.output = cli.value(QStringLiteral("output"));
    options.log = cli.value(QStringLiteral("log"));
    options.database = cli.value(QStringLiteral("db"));
    options.query.test = cli.value(QStringLiteral("label"));
    options.lastFramePng = lastFrameOfCapture;
    return ReportCommand(options).run();
}
