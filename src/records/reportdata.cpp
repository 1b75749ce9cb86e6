#include "records/reportdata.h"

#include <algorithm>
#include <cmath>

double meanOf(const QVector<double> &values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.isEmpty() ? 0.0 : sum / values.size();
}

double sampleSdOf(const QVector<double> &values)
{
    if (values.size() < 2)
        return 0;
    const double mean = meanOf(values);
    double squares = 0;
    for (double v : values)
        squares += (v - mean) * (v - mean);
    return std::sqrt(squares / (values.size() - 1));
}

std::optional<double> processCpk(const QVector<double> &values, double lower, double upper)
{
    if (values.size() < 2)
        return std::nullopt;
    const double sd = sampleSdOf(values);
    if (!(sd > 0))
        return std::nullopt;
    const double mean = meanOf(values);
    return std::min(upper - mean, mean - lower) / (3 * sd);
}

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

} // namespace

ReportData::ReportData(const YieldQuery &query)
    : query_(query)
    , totals_(split(query, YieldQuery::None))
    , days_(split(query, YieldQuery::ByDay))
{
}

void ReportData::add(const QcRecord &r)
{
    totals_.add(r);
    days_.add(r);
    if (ids_.contains(r.id))
        return;
    ids_.insert(r.id);
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
        channel.xMeans.append(*c.x.mean);
        channel.yMeans.append(*c.y.mean);
        const QcRecordWindow &w = *c.window;
        const bool first = channel.xMeans.size() == 1;
        const QcRecordWindow &had = channel.window;
        if (!first
            && (had.xMin != w.xMin || had.xMax != w.xMax || had.yMin != w.yMin
                || had.yMax != w.yMax))
            channel.windowsDiffer = true;
        if (first || r.judged > channel.latest
            || (r.judged == channel.latest && r.id > channel.latestId)) {
            channel.window = w;
            channel.latest = r.judged;
            channel.latestId = r.id;
        }
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
