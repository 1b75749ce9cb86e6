#pragma once

// The options that name which test records results and report read: --log or --db, --label and
// --since.

#include "cli.h"
#include "store/yieldsummary.h"

struct RecordSource
{
    QString log; // the results log when empty
    QString database; // the log is read when empty
    YieldQuery query;
};

void addRecordSourceOptions(QCommandLineParser &parser);
// Reads them after parsing; nothing once a bad one is reported.
std::optional<RecordSource> recordSource(const SubcommandParser &cli);
