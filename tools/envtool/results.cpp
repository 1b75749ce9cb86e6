// envtool results: the command line of ResultsCommand.
#include "cli.h"
#include "commands.h"
#include "resultscommand.h"

int runResults(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("results"),
        QStringLiteral("Summarises test records per test label: runs, passes, fails, yield, the "
                       "boards (distinct serials) with the share whose first run passed "
                       "(first-pass yield) and whose last run passed (final yield), first and "
                       "last time, and the three most frequent failure texts."));
    QCommandLineParser &p = cli.parser();
    addRecordSourceOptions(p);
    p.addOption({QStringLiteral("by"),
                 QStringLiteral("Split each test's summary by host or by day (the station's "
                                "calendar day)."),
                 QStringLiteral("host|day")});
    p.addOption({QStringLiteral("format"), QStringLiteral("table (default), csv or json."),
                 QStringLiteral("FORMAT"), QStringLiteral("table")});
    if (const auto done = cli.parse(args))
        return *done;
    ResultsOptions options;
    options.format = cli.value(QStringLiteral("format"));
    if (options.format != QLatin1String("table") && options.format != QLatin1String("csv")
        && options.format != QLatin1String("json"))
        return cli.usageError(
            QStringLiteral("--format is table, csv or json, not '%1'").arg(options.format));
    const std::optional<RecordSource> source = recordSource(cli);
    if (!source)
        return ExitError;
    options.source = *source;
    if (cli.isSet(QStringLiteral("by"))) {
        const QString by = cli.value(QStringLiteral("by"));
        if (by == QLatin1String("host"))
            options.source.query.split = YieldQuery::ByHost;
        else if (by == QLatin1String("day"))
            options.source.query.split = YieldQuery::ByDay;
        else
            return cli.usageError(QStringLiteral("--by is host or day, not '%1'").arg(by));
    }
    return ResultsCommand(options).run();
}
