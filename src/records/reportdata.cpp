#include "records/reportdata.h"

#include "common/deliverable.h"
#include "qc/qccheck.h"

#include <algorithm>
#include <cmath>

namespace {

YieldQuery split(YieldQuery query, YieldQuery::Split by)
{
    query.split = by;
    return query;
}

// Newest first; the id orders runs of one moment, as YieldSummary does.
bool newer(const QcRecord &a, const QcRecord &b)
{
    return a.judged != b.judged ? a.judged > b.judged : a.id > b.id;
}

// The newest driftRunsShown points, oldest first. Records mostly arrive in time order.
void keepLatestRuns(QVector<DriftPoint> &drift)
{
    const auto older = [](const DriftPoint &a, const DriftPoint &b) {
        return a.judged != b.judged ? a.judged < b.judged : a.id < b.id;
    };
    if (!std::is_sorted(drift.begin(), drift.end(), older))
        std::stable_sort(drift.begin(), drift.end(), older);
    if (drift.size() > ReportChannel::driftRunsShown)
        drift.erase(drift.begin(), drift.end() - ReportChannel::driftRunsShown);
}

} // namespace

ReportData::ReportData(const YieldQuery &query)
    : query_(query)
    , totals_(split(query, YieldQuery::None))
    , days_(split(query, YieldQuery::ByDay), YieldSummary::RunsOnly)
{
}

void ReportData::add(const QcRecord &r)
{
    if (!ids_.insert(recordKeyOf(r.id)))
        return;
    totals_.addDistinct(r);
    days_.addDistinct(r);
    if ((!query_.test.isEmpty() && r.test != query_.test)
        || (query_.since.isValid() && r.judged < query_.since))
        return;
    ReportTest &test = tests_[r.test];
    test.test = r.test;
    if (test.rulesId.isEmpty() || r.judged > test.rulesJudged
        || (r.judged == test.rulesJudged && r.id > test.rulesId)) {
        test.rules = r.rules;
        test.rulesJudged = r.judged;
        test.rulesId = r.id;
    }
    for (const QcRecordChannel &c : r.channels) {
        // Runs logged before the measurements were kept have nothing to plot.
        if (!c.window || !c.x.mean || !c.y.mean)
            continue;
        ReportChannel &channel = test.channels[c.channel];
        channel.channel = c.channel;
        const QcRecordWindow &w = *c.window;
        const bool first = channel.meanRuns == 0;
        channel.addRun(r, c);
        if (!first && channel.window != w)
            channel.windowsDiffer = true;
        if (first || r.judged > channel.latest
            || (r.judged == channel.latest && r.id > channel.latestId)) {
            channel.window = w;
            channel.latest = r.judged;
            channel.latestId = r.id;
        }
        channel.binsFor(w).addMeans(c);
        // The latest runs: appended as read and cut back to the newest when twice as many, so
        // that a record costs no allocation and no search.
        QVector<DriftPoint> &drift = channel.drift;
        drift.append({r.judged, r.id, *c.x.mean, *c.y.mean});
        if (drift.size() == 2 * ReportChannel::driftRunsShown)
            keepLatestRuns(drift);
    }
    if (r.passed())
        return;
    QList<QcRecord> &failed = test.latestFailed;
    if (failed.size() == failedRunsShown && !newer(r, failed.last()))
        return;
    failed.insert(std::lower_bound(failed.begin(), failed.end(), r, newer), r);
    if (failed.size() > failedRunsShown)
        failed.removeLast();
}

QList<ReportTest> ReportData::tests() const
{
    QList<ReportTest> tests = tests_.values();
    for (ReportTest &test : tests)
        for (ReportChannel &channel : test.channels)
            keepLatestRuns(channel.drift);
    return tests;
}

int ReportTest::shownChannel(int channel) const
{
    return channel
        + qcRules(deliverableNamed(rules).value_or(Deliverable::Viewer)).shownChannelOffset;
}

void ReportData::setYields(const QList<YieldRow> &totals, const QList<YieldRow> &days)
{
    for (const YieldRow &row : totals) {
        ReportTest &test = tests_[row.test];
        test.test = row.test;
        test.total = row;
    }
    for (const YieldRow &row : days)
        tests_[row.test].days.append(row);
    for (ReportTest &test : tests_)
        std::sort(test.days.begin(), test.days.end(),
                  [](const YieldRow &a, const YieldRow &b) { return a.group < b.group; });
}
