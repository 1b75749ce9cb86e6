#pragma once

// The capability and drift of judged channels over many runs, gathered as the runs are read so
// that memory stays flat in their number. A log's reader and the database fill the same types.

#include "records/record.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVector>

#include <optional>

// A channel whose Cpk or Ppk is under this is marked.
constexpr double capableCpk = 1.33;

// The samples of one axis of one channel over runs, from each run's sample count, mean and
// population standard deviation. Runs are merged by Chan's rule, so that the grand mean and the
// squared deviations stay exact however many runs there are and however far from zero they lie.
struct AxisSpread
{
    qint64 runs = 0; // runs with samples
    qint64 samples = 0; // all their samples
    double mean = 0; // the grand mean of all samples
    double within = 0; // the sum of each run's squared deviations from its own mean: Σ n·sd²
    double between = 0; // the runs' squared deviations from the grand mean: Σ n·(mean - grand)²

    void addRun(qint64 n, double runMean, double runSd);
    void merge(const AxisSpread &other);

    // The runs' standard deviations pooled by their sample counts: √(Σ n·sd² / (N − runs)).
    std::optional<double> withinSd() const;
    // The spread of all samples, within and between runs: √((Σ n·sd² + Σ n·(mean − grand)²) /
    // (N − 1)).
    std::optional<double> overallSd() const;
};

// From the grand mean to the nearer bound, in three standard deviations.
std::optional<double> capabilityIndex(double mean, std::optional<double> sd, double lower,
                                      double upper);

// The samples that fell outside a channel's window, in the runs where that can be known from the
// record's counts.
struct OutsideShare
{
    qint64 runs = 0; // runs where it is known
    qint64 samples = 0; // their samples
    qint64 outside = 0; // of those, outside the window
    std::optional<double> share() const;
};

// How many of a run's samples of `channel` fell outside its window, where the record tells: all
// inside when its bounds lie within the window; otherwise only under rules that count every bad
// sample (good = samples inside). None when it cannot be known.
std::optional<qint64> qcOutsideSamples(const QcRecord &record, const QcRecordChannel &channel);

// A histogram of run means laid out against one window: histogramBins bins of a twentieth of the
// window's width each, from half a width below it to half a width above it; the first and the
// last also take every mean beyond.
constexpr int histogramBinsInside = 20;
constexpr int histogramBinsBeside = 10; // on each side
constexpr int histogramBins = histogramBinsInside + 2 * histogramBinsBeside;
int histogramBinOf(double value, double lower, double upper);

// The run means of one channel judged with one window, binned against it.
struct WindowBins
{
    QcRecordWindow window;
    QVector<qint64> x = QVector<qint64>(histogramBins);
    QVector<qint64> y = QVector<qint64>(histogramBins);

    // One run's means of a channel judged with this window.
    void addMeans(const QcRecordChannel &channel);
    void add(const WindowBins &other);
};

// One run's means, as the drift chart plots them.
struct DriftPoint
{
    QDateTime judged;
    QString id;
    double x = 0;
    double y = 0;
};

// What the capability of one channel adds up from its runs: kept by the report as the runs are
// read and by the store with each day's summary.
struct ChannelSums
{
    qint64 meanRuns = 0; // runs with means: what the histogram and the chart draw
    AxisSpread x, y;
    OutsideShare outside;

    // One run's channel, judged with a window and with means.
    void addRun(const QcRecord &record, const QcRecordChannel &channel);
    // The sums of other runs of the same channel.
    void merge(const ChannelSums &other);
};

// One judged channel of one test across the runs in scope.
struct ChannelCapability : ChannelSums
{
    static constexpr int driftRunsShown = 500;

    int channel = 0;
    // The window of the latest run, and whether runs in scope were judged with another one.
    QcRecordWindow window;
    bool windowsDiffer = false;
    QDateTime latest; // the latest run's time and id
    QString latestId;
    QList<WindowBins> bins; // one entry a window
    QVector<DriftPoint> drift; // the latest driftRunsShown runs with means, oldest first

    // The histogram of the runs judged with `window`, made empty when it is the first.
    WindowBins &binsFor(const QcRecordWindow &window);

    std::optional<double> cpkX() const;
    std::optional<double> ppkX() const;
    std::optional<double> cpkY() const;
    std::optional<double> ppkY() const;
    // Whether any of the four is under capableCpk.
    bool marked() const;
};

// An individuals chart of run means: the centre at their mean, the limits at ±2.66 mean moving
// ranges (the mean of |x[i] − x[i−1]|), that is ±3σ with σ estimated as MR̄ / 1.128.
struct IndividualsLimits
{
    double centre = 0;
    double movingRange = 0; // MR̄
    double sigma() const { return movingRange / 1.128; }
    double lower() const { return centre - 2.66 * movingRange; }
    double upper() const { return centre + 2.66 * movingRange; }
};
// None for fewer than two values: they have no moving range.
std::optional<IndividualsLimits> individualsLimits(const QVector<double> &values);

// The Western Electric rules, as bits of the flags of one point. A point is flagged by a rule when
// it completes that rule's pattern and lies itself in the pattern's zone.
enum WesternElectricRule : quint8 {
    BeyondLimits = 1, // one point beyond 3σ (the limits)
    TwoOfThreeBeyondTwoSigma = 2, // two of three in a row beyond 2σ on the same side
    FourOfFiveBeyondOneSigma = 4, // four of five in a row beyond 1σ on the same side
    EightOnOneSide = 8, // eight in a row on the same side of the centre
};
constexpr int westernElectricRuleCount = 4;
// Per value, the rules it is flagged by. None where the values have no spread.
QVector<quint8> westernElectricFlags(const QVector<double> &values,
                                     const IndividualsLimits &limits);
