#pragma once

// What `envtool report` shows for each test, gathered from its records: the yields that
// `envtool results` computes, the failure Pareto, each judged channel's capability, histogram of
// run means and drift, and the latest failed runs. Memory is flat in the number of records.

#include "records/capability.h"
#include "records/record.h"
#include "records/recordkey.h"
#include "records/yieldsummary.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

// One judged channel across a test's runs.
using ReportChannel = ChannelCapability;

struct ReportTest
{
    QString test;
    YieldRow total;
    QList<YieldRow> days; // by day, oldest first
    QMap<int, ReportChannel> channels;
    QList<QcRecord> latestFailed; // newest first, at most ReportData::failedRunsShown
    // The rules of the test's latest run: its channels are numbered as that program's failure
    // texts number them.
    QString rules;
    QDateTime rulesJudged;
    QString rulesId;

    // A channel's number as the failure texts of the program that judged the latest run name it.
    int shownChannel(int channel) const;
};

// Gathers the records of a report; yields come from YieldSummary or the record store.
class ReportData
{
public:
    static constexpr int failedRunsShown = 20;

    explicit ReportData(const YieldQuery &query);
    // Takes one record (the query's test and time applied; a record read twice counts once).
    void add(const QcRecord &record);
    // The yields: each test's total, and each test's days.
    void setYields(const QList<YieldRow> &totals, const QList<YieldRow> &days);
    // The tests in label order.
    QList<ReportTest> tests() const;
    // The yields of the records added, as YieldSummary computes them from a log; the days
    // without their boards, which the page does not show by day.
    QList<YieldRow> totals() const { return totals_.rows(); }
    QList<YieldRow> days() const { return days_.rows(); }

private:
    YieldQuery query_;
    YieldSummary totals_;
    YieldSummary days_;
    QMap<QString, ReportTest> tests_;
    RecordKeySet ids_; // a record read twice counts once
};
