// envtool sync: the command line of SyncCommand.
#include "cli.h"
#include "commands.h"
#include "synccommand.h"

#include <unistd.h>

int runSync(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("sync"),
        QStringLiteral("Sends the test records of the results log to a PostgreSQL database, each "
                       "record once: a record the database holds is not sent again, and one it "
                       "holds with other content is reported by its id and left as it is. Only "
                       "what was appended since the last sync is read."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Send FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("db"),
                 QStringLiteral("The database, as postgresql://[user[:password]@][host][:port]"
                                "[/dbname][?host=/socket/folder]; without it $ENVVIEWER_DB, then "
                                "database= in the [records] group of "
                                "$XDG_CONFIG_HOME/envviewer/envviewer.conf."),
                 QStringLiteral("URL")});
    p.addOption({QStringLiteral("watch"),
                 QStringLiteral("Keep following the log and send each new record within two "
                                "seconds; retry with growing pauses while the database is away. "
                                "SIGINT or SIGTERM ends it after the batch in flight.")});
    if (const auto done = cli.parse(args))
        return *done;
    SyncOptions options;
    options.log = cli.value(QStringLiteral("log"));
    options.database = cli.value(QStringLiteral("db"));
    options.watch = cli.isSet(QStringLiteral("watch"));
    options.progress = !options.watch && ::isatty(STDERR_FILENO) == 1;
    return SyncCommand(options).run();
}
