#pragma once

// envtool report: one self-contained HTML page of each test's yields, failures, channels and
// latest failed runs, from the results log or from the fleet's database.

#include "store/yieldsummary.h"

#include <QByteArray>
#include <QString>

#include <functional>

struct ReportOptions
{
    QString log; // the results log when empty
    QString database; // the log is read when empty
    YieldQuery query; // its split aside
    QString output;
    // The last frame of a capture as PNG bytes, empty when there is none; not set: the page
    // shows no pictures.
    std::function<QByteArray(const QString &capturePath)> lastFramePng;
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
