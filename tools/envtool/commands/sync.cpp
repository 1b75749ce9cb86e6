// envtool sync: sends the records of a results log to the fleet's PostgreSQL database.
#include "cli.h"
#include "commands/commands.h"
#include "common/xdg.h"
#include "records/logsync.h"
#include "records/recordsettings.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

const QString command = QStringLiteral("sync");

void warnLine(const QString &message)
{
    reportError(command, message);
}

struct SyncOptions
{
    QString log; // the results log when empty
    QString database; // defaultRecordDatabase() when empty
    bool watch = false; // keep following the log until SIGINT or SIGTERM
    bool retryRefused = false; // send the records the database refused before again
    bool progress = false; // a progress line on standard error
    int batchRecords = 1000;
    int pollMs = 500; // how often a watch looks for new lines
};

class SyncCommand
{
public:
    explicit SyncCommand(const SyncOptions &options)
        : options_(options)
    {
    }
    // 0 when every whole line was sent (or the watch was stopped), 2 on a database or file error.
    int run();

private:
    int runOnce();
    int runWatch();

    SyncOptions options_;
    QString database_;
    QString log_;
};

int SyncCommand::run()
{
    database_ = options_.database.isEmpty() ? defaultRecordDatabase() : options_.database;
    // A password in a configuration file that others can read is told, never shown.
    if (options_.database.isEmpty() && qEnvironmentVariable("ENVVIEWER_DB").isEmpty()) {
        const QString problem = readQcRecordSettings().problem;
        if (!problem.isEmpty())
            warnLine(problem);
    }
    if (database_.isEmpty())
        return reportError(command,
                           QStringLiteral("no database: give --db, set ENVVIEWER_DB, or set "
                                          "database= in [records] of %1/envviewer/envviewer.conf")
                               .arg(xdgConfigHome()));
    const bool named = !options_.log.isEmpty();
    log_ = QFileInfo(named ? options_.log : qcResultsLogPath()).absoluteFilePath();
    if (named && !options_.watch && !QFileInfo::exists(log_))
        return reportError(command, QStringLiteral("cannot read %1: no such file").arg(log_));
    return options_.watch ? runWatch() : runOnce();
}

int SyncCommand::runOnce()
{
    RecordStore store;
    if (!store.open(database_))
        return reportError(command, store.error());
    LogSync sync(store, log_, QSysInfo::machineHostName());
    sync.warn = warnLine;
    if (!sync.begin())
        return reportError(command, sync.error());
    int retried = 0;
    if (options_.retryRefused && !sync.retryRefused(&retried))
        return reportError(command, sync.error());
    const qint64 total = options_.progress ? sync.pendingLines() : 0;
    do {
        if (!sync.step(options_.batchRecords)) {
            if (options_.progress)
                std::fputc('\n', stderr);
            return reportError(command, sync.error());
        }
        if (options_.progress) {
            std::fprintf(stderr, "\rsync: %lld of %lld records sent", qlonglong(sync.read()),
                         qlonglong(qMax(total, sync.read())));
            std::fflush(stderr);
        }
    } while (!sync.atEnd());
    if (options_.progress)
        std::fputc('\n', stderr);
    if (sync.unknownVersions() > 0)
        warnLine(QStringLiteral("skipped %1 record(s) of an unknown version in %2")
                     .arg(sync.unknownVersions())
                     .arg(log_));
    printLine(QStringLiteral("%1 new record(s) sent, %2 already there")
                  .arg(sync.sent())
                  .arg(sync.read() + retried - sync.sent()));
    return ExitSuccess;
}

int SyncCommand::runWatch()
{
    constexpr int firstPauseMs = 1000;
    constexpr int longestPauseMs = 60000;
    RecordStore store;
    LogSync sync(store, log_, QSysInfo::machineHostName());
    sync.warn = warnLine;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    StopSignal stop;
    QObject::connect(&stop, &StopSignal::stopRequested, &loop, &QEventLoop::quit);

    int pauseMs = firstPauseMs;
    bool begun = false;
    qint64 unknownReported = 0;
    const auto retryLater = [&](const QString &why) {
        warnLine(QStringLiteral("%1; trying again in %2 s").arg(why).arg(pauseMs / 1000));
        store.close();
        begun = false;
        timer.start(pauseMs);
        pauseMs = qMin(pauseMs * 2, longestPauseMs);
    };
    // One batch per turn of the loop, so that a stop waits for the batch in flight only.
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (!store.isOpen() && !store.open(database_))
            return retryLater(store.error());
        if (!begun || sync.logReplaced()) {
            int retried = 0;
            if (!sync.begin() || (options_.retryRefused && !sync.retryRefused(&retried)))
                return retryLater(sync.error());
            begun = true;
        }
        const qint64 sentBefore = sync.sent();
        const qint64 readBefore = sync.read();
        if (!sync.step(options_.batchRecords))
            return retryLater(sync.error());
        pauseMs = firstPauseMs;
        // One line per batch: the journal tells a working upload from a stuck one.
        if (sync.read() > readBefore) {
            const qint64 behindMs = sync.newestSent().isValid()
                ? qMax<qint64>(0, sync.newestSent().msecsTo(QDateTime::currentDateTime()))
                : 0;
            printLine(QStringLiteral("sent %1 record(s), %2 already there; %3 s behind the log")
                          .arg(sync.sent() - sentBefore)
                          .arg(sync.read() - readBefore - (sync.sent() - sentBefore))
                          .arg(QString::number(behindMs / 1000.0, 'f', 1)));
        }
        if (sync.unknownVersions() > unknownReported) {
            warnLine(QStringLiteral("skipped %1 record(s) of an unknown version in %2")
                         .arg(sync.unknownVersions() - unknownReported)
                         .arg(log_));
            unknownReported = sync.unknownVersions();
        }
        timer.start(sync.atEnd() ? options_.pollMs : 0);
    });
    timer.start(0);
    loop.exec();
    return ExitSuccess;
}
} // namespace

int runSync(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("sync"),
        QStringLiteral("Sends the test records of the results log to a PostgreSQL database, each "
                       "record once: a record the database holds is not sent again, and one it "
                       "holds with other content is reported by its id and left as it is. Only "
                       "what was appended since the last sync is read."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Send FILE instead of the results log "
                                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral("The database, as postgresql://[user@][host][:port][/dbname]"
                       "[?host=/socket/folder]; without it $ENVVIEWER_DB, then database= in the "
                       "[records] group of $XDG_CONFIG_HOME/envviewer/envviewer.conf. The "
                       "password comes from ~/.pgpass, $PGPASSFILE or $PGPASSWORD, as libpq "
                       "finds it."),
        QStringLiteral("URL"));
    const QCommandLineOption watch(
        QStringLiteral("watch"),
        QStringLiteral("Keep following the log and send each new record within two seconds; "
                       "retry with growing pauses while the database is away. SIGINT or SIGTERM "
                       "ends it after the batch in flight."));
    const QCommandLineOption retryRefused(
        QStringLiteral("retry-refused"),
        QStringLiteral("Send again the records of this log that the database refused before "
                       "(kept in qc_refused); those it refuses again stay there."));
    cli.parser().addOptions({log, db, watch, retryRefused});
    if (const auto done = cli.parse(args))
        return *done;
    SyncOptions options;
    options.log = cli.value(log);
    options.database = cli.value(db);
    options.watch = cli.isSet(watch);
    options.retryRefused = cli.isSet(retryRefused);
    options.progress = !options.watch && ::isatty(STDERR_FILENO) == 1;
    return SyncCommand(options).run();
}
