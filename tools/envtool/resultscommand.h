#pragma once

#include "recordsource.h"
#include "store/recordstore.h"

#include <QString>

// envtool results: runs, yield, first-pass and final yield per test, from the results log or
// from the fleet's database.
struct ResultsOptions
{
    RecordSource source;
    QString format = QStringLiteral("table"); // table, csv or json
};

// Reports the lines of `log` that reading skipped, as `command`'s warnings.
void reportLogProblems(const QString &command, const ResultsLogRead &read, const QString &log);

class ResultsCommand
{
public:
    explicit ResultsCommand(const ResultsOptions &options)
        : options_(options)
    {
    }
    int run();

private:
    ResultsOptions options_;
};
