#pragma once

#include <QString>

// envtool sync: sends the records of a results log to the fleet's PostgreSQL database.
struct SyncOptions
{
    QString log; // the results log when empty
    QString database; // defaultRecordDatabase() when empty
    bool watch = false; // keep following the log until SIGINT or SIGTERM
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
