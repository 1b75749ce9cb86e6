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

void ChannelSums::addRun(const QcRecord &r, const QcRecordChannel &c)
{
    ++meanRuns;
    if (c.samples) {
        x.addRun(*c.samples, *c.x.mean, c.x.sd.value_or(0));
        y.addRun(*c.samples, *c.y.mean, c.y.sd.value_or(0));
    }
    const std::optional<qint64> out = qcOutsideSamples(r, c);
    if (out && *c.samples > 0) {
        ++outside.runs;
        outside.samples += *c.samples;
        outside.outside += *out;
    }
}

void ChannelSums::merge(const ChannelSums &other)
{
    meanRuns += other.meanRuns;
    x.merge(other.x);
    y.merge(other.y);
    outside.runs += other.outside.runs;
    outside.samples += other.outside.samples;
    outside.outside += other.outside.outside;
}

void WindowBins::addMeans(const QcRecordChannel &c)
{
    ++x[histogramBinOf(*c.x.mean, window.xMin, window.xMax)];
    ++y[histogramBinOf(*c.y.mean, window.yMin, window.yMax)];
}

void WindowBins::add(const WindowBins &other)
{
    for (int bin = 0; bin < histogramBins; ++bin) {
        x[bin] += other.x.at(bin);
        y[bin] += other.y.at(bin);
    }
}

WindowBins &ChannelCapability::binsFor(const QcRecordWindow &w)
{
    auto found = std::find_if(bins.begin(), bins.end(),
                              [&](const WindowBins &b) { return b.window == w; });
    if (found == bins.end())
        found = bins.insert(bins.end(), WindowBins {w});
    return *found;
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

std::optional<IndividualsLimits> individualsLimits(const QVector<double> &values)
{
    if (values.size() < 2)
        return std::nullopt;
    IndividualsLimits limits;
    double sum = values.first(), ranges = 0;
    for (int i = 1; i < values.size(); ++i) {
        sum += values.at(i);
        ranges += std::abs(values.at(i) - values.at(i - 1));
    }
    limits.centre = sum / double(values.size());
    limits.movingRange = ranges / double(values.size() - 1);
    return limits;
}

QVector<quint8> westernElectricFlags(const QVector<double> &values, const IndividualsLimits &limits)
{
    QVector<quint8> flags(values.size());
    if (!(limits.movingRange > 0))
        return flags;
    const double sigma = limits.sigma();
    // +1 above centre + sigmas·σ, −1 below centre − sigmas·σ, 0 between.
    const auto side = [&](int i, double sigmas) {
        const double d = values.at(i) - limits.centre;
        return d > sigmas * sigma ? 1 : d < -sigmas * sigma ? -1 : 0;
    };
    // Point i beyond `sigmas` and, of the `of` points ending at it, `need` beyond on its side.
    const auto pattern = [&](int i, double sigmas, int need, int of) {
        const int at = side(i, sigmas);
        if (at == 0)
            return false;
        int count = 0;
        for (int j = std::max(0, i - of + 1); j <= i; ++j)
            count += side(j, sigmas) == at;
        return count >= need;
    };
    for (int i = 0; i < values.size(); ++i) {
        if (values.at(i) > limits.upper() || values.at(i) < limits.lower())
            flags[i] |= BeyondLimits;
        if (pattern(i, 2, 2, 3))
            flags[i] |= TwoOfThreeBeyondTwoSigma;
        if (pattern(i, 1, 4, 5))
            flags[i] |= FourOfFiveBeyondOneSigma;
        if (pattern(i, 0, 8, 8))
            flags[i] |= EightOnOneSide;
    }
    return flags;
}
