#pragma once

#include "common/deliverable.h"
#include "qc/qcplan.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <optional>

constexpr int qcChannelCount = 27;
constexpr int qcFrameLength = 2 * qcChannelCount;
// The channelListed value of a channel that the running test type does not list.
constexpr qint32 qcNotListed = qcChannelCount;

// What differs between the programs that carry the quality check.
struct QcRules
{
    // Whether the plan's ranges carry "minadd"/"maxadd".
    QcAdditions additions;
    // Whether a bad sample takes one away from a channel's count (down to 0) and the Y window
    // takes the channel's additions; otherwise bad samples leave the count alone.
    bool netCount;
    // Added to a channel's number wherever a text shows it.
    int shownChannelOffset;
};

constexpr QcRules qcRulesTable[] = {
    /* Viewer */ {QcAdditions::Read, true, 1},
    /* Cam */ {QcAdditions::Read, true, 1},
    /* Qc */ {QcAdditions::Ignore, false, 0},
    /* Lite (no quality check; never looked up) */ {QcAdditions::Ignore, false, 0},
};
static_assert(sizeof(qcRulesTable) / sizeof(qcRulesTable[0]) == 4, "one row per Deliverable");

constexpr const QcRules &qcRules(Deliverable deliverable)
{
    return qcRulesTable[static_cast<int>(deliverable)];
}

// The samples of one axis of one channel over the counted frames: enough to give their count,
// bounds, mean and spread without keeping them. Sums are exact integers, so the statistics do
// not drift however long the run.
struct QcSampleStats
{
    qint64 count = 0;
    qint16 min = 0;
    qint16 max = 0;
    qint64 sum = 0;
    qint64 sumOfSquares = 0;

    void add(qint16 value);
    double mean() const;
    // The population standard deviation.
    double sd() const;
};

// The counts of one test run.
struct QcCounts
{
    qint32 framesRequired = 0;
    std::array<qint32, qcChannelCount> channelListed {};
    std::array<qint32, qcChannelCount> need {};
    std::array<double, qcChannelCount> min {};
    std::array<double, qcChannelCount> max {};
    std::array<double, qcChannelCount> minAdd {};
    std::array<double, qcChannelCount> maxAdd {};
    double yMin = 0;
    double yMax = 0;
    qint32 frameCount = 0;
    std::array<qint32, qcChannelCount> goodCount {};
    std::array<QcSampleStats, qcChannelCount> xStats {};
    std::array<QcSampleStats, qcChannelCount> yStats {};

    QcCounts() { channelListed.fill(qcNotListed); }
};

// What Start shows, and when the run is to be judged.
struct QcStart
{
    bool selected = false; // false when no test type carries the label (an empty plan)
    QString duration; // whole seconds
    QString expFrames;
    QString yMin;
    QString yMax;
    QString ranges; // the range summary
    QString verdict; // "Testing"; empty when no test type was selected
    // Milliseconds after Start at which the run is judged; none when no test type was selected or
    // the test lasts longer than a timer can wait.
    std::optional<int> judgeAfterMs;
};

struct QcVerdict
{
    bool passed = true;
    QString text; // "Pass" or "Fail"
    QStringList messages;
};

// One channel of the running test, for records and tests.
struct QcChannel
{
    int channel = 0;
    int shown = 0;
    bool listed = false;
    qint32 need = 0;
    qint32 good = 0;
    double min = 0;
    double max = 0;
    double yMin = 0; // the channel's own Y window
    double yMax = 0;
    // Every sample of the channel in the counted frames, good or bad.
    QcSampleStats x;
    QcSampleStats y;
};

// The quality check without any widget, timer or clock: the caller passes the time of every
// event in milliseconds since the epoch and judges when Start said so.
class QcCheck
{
public:
    explicit QcCheck(Deliverable deliverable, QList<QcType> plan = {});

    const QcRules &rules() const { return rules_; }
    const QList<QcType> &plan() const { return plan_; }
    const QcCounts &run() const { return run_; }
    // Frames are counted up to and including this time; unset before a test type was started.
    std::optional<qint64> deadline() const { return deadline_; }
    // The plan position of the test type that the latest Start selected, or -1.
    int selectedIndex() const { return selectedIndex_; }
    // The label the latest Start was given, whether or not a test type carries it.
    const QString &label() const { return label_; }

    // Resets the run and sets it up from the first test type whose label is `label`.
    QcStart start(const QString &label, qint64 nowMs);
    // Counts a frame that arrives at `nowMs`; false when it is not used.
    bool addFrame(const QList<short> &frame, qint64 nowMs);
    QcVerdict judge() const;

    QcChannel channel(int channel) const;
    QList<QcChannel> channels() const;

    int shownChannel(int channel) const { return channel + rules_.shownChannelOffset; }
    QString rangeSummary(const QcType &type) const;
    QString channelFailure(int channel) const;

private:
    void addSample(int channel, qint16 y, qint16 x);

    QcRules rules_;
    QList<QcType> plan_;
    QcCounts run_;
    std::optional<qint64> deadline_;
    int selectedIndex_ = -1;
    QString label_;
};

// Conversions of the plan's doubles into integers: truncation toward zero, saturated at the
// type's bounds; NaN gives 0.
qint32 qcToInt32(double value);
qint64 qcToInt64(double value);

// Milliseconds on a clock that never steps (NTP, a changed system time): counting windows are
// timed with it, wall time is only for the records.
qint64 qcSteadyMs();
