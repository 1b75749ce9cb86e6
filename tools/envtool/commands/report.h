#pragma once

// envtool report: one self-contained HTML page of each test's yields, failures, channels and
// latest failed runs, from the results log or from the fleet's database.

#include "cli.h"
#include "records/reporthtml.h"

#include <QByteArray>
#include <QString>

#include <functional>

struct ReportOptions
{
    RecordSelection selection; // its split aside
    QString output;
    // Each failed run's picture; not set: the page shows no pictures.
    LastFramePng lastFramePng;
};

class ReportCommand
{
public:
    explicit ReportCommand(ReportOptions options)
        : options_(std::move(options))
    {
    }
    int run();

private:
    ReportOptions options_;
};
