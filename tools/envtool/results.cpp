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
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Read FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("db"),
                 QStringLiteral("Summarise the records of every station in the database at URL "
                                "(postgresql://...) instead of a log."),
                 QStringLiteral("URL")});
    p.addOption({QStringLiteral("label"), QStringLiteral("Only the test labelled L."),
                 QStringLiteral("L")});
    p.addOption({QStringLiteral("since"),
                 QStringLiteral("Only tests judged at or after DATE (an ISO date or date-time; "
                                "local time unless it gives an offset)."),
                 QStringLiteral("DATE")});
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
    if (cli.isSet(QStringLiteral("since"))) {
        options.query.since
            = QDateTime::fromString(cli.value(QStringLiteral("since")), Qt::ISODateWithMs);
        if (!options.query.since.isValid())
            return cli.usageError(QStringLiteral("--since needs an ISO date or date-time, not '%1'")
                                      .arg(cli.value(QStringLiteral("since"))));
    }
    if (cli.isSet(QStringLiteral("by"))) {
        const QString by = cli.value(QStringLiteral("by"));
        if (by == QLatin1String("host"))
            options.query.split = YieldQuery::ByHost;
        else if (by == QLatin1String("day"))
            options.query.split = YieldQuery::ByDay;
        else
            return cli.usageError(QStringLiteral("--by is host or day, not '%1'").arg(by));
    }
    if (cli.isSet(QStringLiteral("log")) && cli.isSet(QStringLiteral("db")))
        return cli.usageError(QStringLiteral("--log and --db name two sources; give one"));
    options.log = cli.value(QStringLiteral("log"));
    options.database = cli.value(QStringLiteral("db"));
    options.query.test = cli.value(QStringLiteral("label"));
    return ResultsCommand(options).run();
}
