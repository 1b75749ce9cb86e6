#pragma once

#include "records/record.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// Which runs `envtool runs` lists: every one when all are empty or invalid.
struct RunFilter
{
    QString serial;
    QString label;
    QString station;
    QString verdict; // "Pass" or "Fail"
    QDateTime since; // inclusive
    QDateTime until; // exclusive
};

// One run as the list shows it.
struct RunRow
{
    QString id;
    QString time; // as recorded
    QDateTime judged;
    QString station;
    QString test;
    QString serial;
    // The board's place among all runs of the test on it in the source, at whichever station;
    // none without a serial.
    std::optional<int> attempt;
    QString verdict;
    QString firstFailure;
    QString capture; // the kept capture's path; empty when none
};

// Gathers the runs of records read in any order: each record once, ordered by time and id, the
// attempts counted over every record taken before the filter applies.
class RunList
{
public:
    explicit RunList(const RunFilter &filter)
        : filter_(filter)
    {
    }
    void add(const QcRecord &record);
    QList<RunRow> rows() const;

private:
    RunFilter filter_;
    QList<RunRow> all_;
};

// Whether `row` passes `filter`.
bool runMatches(const RunFilter &filter, const RunRow &row);
RunRow runRowOf(const QcRecord &record);
