#include "records/capability.h"

#include "common/deliverable.h"
#include "qc/qccheck.h"

#include <algorithm>
#include <cmath>

void AxisSpread::addRun(qint64 n, double runMean, double runSd)
{
    if (n <= 0)
        return;
    AxisSpread run;
    run.runs = 1;
    run.samples = n;
    run.mean = runMean;
    run.within = double(n) * runSd * runSd;
    merge(run);
}

void AxisSpread::merge(const AxisSpread &other)
{
    if (other.samples == 0)
        return;
    if (samples == 0) {
        *this = other;
        return;
    }
    const double total = double(samples) + double(other.samples);
    const double delta = other.mean - mean;
    mean += delta * double(other.samples) / total;
    between += other.between + delta * delta * double(samples) * double(other.samples) / total;
    within += other.within;
    samples += other.samples;
    runs += other.runs;
}

std::optional<double> AxisSpread::withinSd() const
{
    if (samples - runs <= 0)
        return std::nullopt;
    return std::sqrt(within / double(samples - runs));
}

std::optional<double> AxisSpread::overallSd() const
{
    if (samples < 2)
        return std::nullopt;
    return std::sqrt((within + between) / double(samples - 1));
}

std::optional<double> capabilityIndex(double mean, std::optional<double> sd, double lower,
                                      double upper)
{
    if (!sd || !(*sd > 0))
        return std::nullopt;
    return std::min(upper - mean, mean - lower) / (3 * *sd);
}

std::optional<double> OutsideShare::share() const
{
    if (samples <= 0)
        return std::nullopt;
    return double(outside) / double(samples);
}

std::optional<qint64> qcOutsideSamples(const QcRecord &record, const QcRecordChannel &c)
{
    if (!c.samples || !c.window)
        return std::nullopt;
    const QcRecordWindow &w = *c.window;
    if (c.x.min && c.x.max && c.y.min && c.y.max && *c.x.min >= w.xMin && *c.x.max <= w.xMax
        && *c.y.min >= w.yMin && *c.y.max <= w.yMax)
        return 0;
    // Rules that take a bad sample off the count leave good short of the samples inside.
    const std::optional<Deliverable> program = deliverableNamed(record.rules);
    if (!program || qcRules(*program).netCount)
        return std::nullopt;
    return std::max<qint64>(0, *c.samples - c.good);
}

int histogramBinOf(double value, double lower, double upper)
{
    const double width = (upper - lower) / histogramBinsInside;
    const double at = width > 0 ? (value - lower) / width + histogramBinsBeside : 0;
    // Clamped before it is made an int: a value that is no number has no bin of its own.
    return std::isfinite(at) ? int(std::clamp(std::floor(at), 0.0, double(histogramBins - 1))) : 0;
}

std::optional<double> ChannelCapability::cpkX() const
{
    return capabilityIndex(x.mean, x.withinSd(), window.xMin, window.xMax);
}

std::optional<double> ChannelCapability::ppkX() const
{
    return capabilityIndex(x.mean, x.overallSd(), window.xMin, window.xMax);
}

std::optional<double> ChannelCapability::cpkY() const
{
    return capabilityIndex(y.mean, y.withinSd(), window.yMin, window.yMax);
}

std::optional<double> ChannelCapability::ppkY() const
{
    return capabilityIndex(y.mean, y.overallSd(), window.yMin, window.yMax);
}

bool ChannelCapability::marked() const
{
    for (const std::optional<double> &index : {cpkX(), ppkX(), cpkY(), ppkY()})
        if (index && *index < capableCpk)
            return true;
    return false;
}
