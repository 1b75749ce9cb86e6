#include "synccommand.h"

#include "cli.h"
#include "qc/qcfiles.h"
#include "store/logsync.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>

namespace {

const QString command = QStringLiteral("sync");

void warnLine(const QString &message)
{
    reportError(command, message);
}

} // namespace

int SyncCommand::run()
{
    database_ = options_.database.isEmpty() ? defaultRecordDatabase() : options_.database;
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
                  .arg(sync.read() - sync.sent()));
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
            if (!sync.begin())
                return retryLater(sync.error());
            begun = true;
        }
        if (!sync.step(options_.batchRecords))
            return retryLater(sync.error());
        pauseMs = firstPauseMs;
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
