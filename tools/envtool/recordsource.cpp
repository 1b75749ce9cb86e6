#include "recordsource.h"

void addRecordSourceOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("log"),
                      QStringLiteral("Read FILE instead of the results log "
                                     "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("db"),
                      QStringLiteral("Read the records of every station in the database at URL "
                                     "(postgresql://...) instead of a log."),
                      QStringLiteral("URL")});
    parser.addOption({QStringLiteral("label"), QStringLiteral("Only the test labelled L."),
                      QStringLiteral("L")});
    parser.addOption({QStringLiteral("since"),
                      QStringLiteral("Only tests judged at or after DATE (an ISO date or "
                                     "date-time; local time unless it gives an offset)."),
                      QStringLiteral("DATE")});
}

std::optional<RecordSource> recordSource(const SubcommandParser &cli)
{
    if (cli.isSet(QStringLiteral("log")) && cli.isSet(QStringLiteral("db"))) {
        cli.usageError(QStringLiteral("--log and --db name two sources; give one"));
        return std::nullopt;
    }
    RecordSource source;
    if (cli.isSet(QStringLiteral("since"))) {
        source.query.since
            = QDateTime::fromString(cli.value(QStringLiteral("since")), Qt::ISODateWithMs);
        if (!source.query.since.isValid()) {
            cli.usageError(QStringLiteral("--since needs an ISO date or date-time, not '%1'")
                               .arg(cli.value(QStringLiteral("since"))));
            return std::nullopt;
        }
    }
    source.log = cli.value(QStringLiteral("log"));
    source.database = cli.value(QStringLiteral("db"));
    source.query.test = cli.value(QStringLiteral("label"));
    return source;
}
