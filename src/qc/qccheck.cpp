#include "qc/qccheck.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

qint32 qcToInt32(double value)
{
    if (value != value)
        return 0;
    if (value >= 2147483647.0)
        return std::numeric_limits<qint32>::max();
    if (value <= -2147483648.0)
        return std::numeric_limits<qint32>::min();
    return static_cast<qint32>(value);
}

qint64 qcToInt64(double value)
{
    if (value != value)
        return 0;
    // 2^63 is the first double past the range; -2^63 itself is representable.
    if (value >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (value <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(value);
}

namespace {

qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return sum;
}

void increment(qint32 &counter)
{
    if (counter < std::numeric_limits<qint32>::max())
        ++counter;
}

QString decimal(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

void QcSampleStats::add(qint16 value)
{
    if (count == 0 || value < min)
        min = value;
    if (count == 0 || value > max)
        max = value;
    ++count;
    sum += value;
    sumOfSquares += qint64(value) * value;
}

double QcSampleStats::mean() const
{
    return count == 0 ? 0.0 : double(sum) / double(count);
}

double QcSampleStats::sd() const
{
    if (count == 0)
        return 0.0;
    // n * sum(v^2) - sum(v)^2 is exact in 128 bits, and never negative.
    const __int128 spread = __int128(count) * sumOfSquares - __int128(sum) * sum;
    return std::sqrt(double(spread)) / double(count);
}

QcCheck::QcCheck(Deliverable deliverable, QList<QcType> plan)
    : rules_(qcRules(deliverable))
    , plan_(std::move(plan))
{
}

QcStart QcCheck::start(const QString &label, qint64 nowMs)
{
    run_.framesRequired = 0;
    run_.channelListed.fill(qcNotListed);
    run_.need.fill(0);
    run_.yMin = 0;
    run_.yMax = 0;
    run_.frameCount = 0;
    run_.goodCount.fill(0);
    run_.xStats.fill({});
    run_.yStats.fill({});
    label_ = label;

    QcStart start;

    int found = -1;
    for (int i = 0; i < plan_.size(); ++i) {
        if (plan_.at(i).label == label) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        // Nothing to judge: no verdict is due, least of all a pass on no frames.
        selectedIndex_ = -1;
        return start;
    }
    selectedIndex_ = found;
    const QcType &type = plan_.at(found);
    start.selected = true;
    start.verdict = QStringLiteral("Testing");

    run_.framesRequired = qcToInt32(type.frames);
    run_.yMin = type.yMin;
    run_.yMax = type.yMax;
    const qint64 seconds = qcToInt64(type.duration);
    start.duration = QString::number(seconds);
    start.expFrames = QString::number(run_.framesRequired);
    start.yMin = decimal(run_.yMin);
    start.yMax = decimal(run_.yMax);

    for (const QcRange &range : type.ranges) {
        // A range naming no channel still shows in the summary, so the operator sees it, but
        // touches no channel's data.
        const qint32 c = qcToInt32(range.index);
        if (c < 0 || c >= qcChannelCount)
            continue;
        run_.channelListed[c] = c;
        run_.need[c] = qcToInt32(range.count);
        run_.min[c] = range.min;
        run_.max[c] = range.max;
        run_.minAdd[c] = range.minAdd;
        run_.maxAdd[c] = range.maxAdd;
    }
    start.ranges = rangeSummary(type);

    // Frames count up to the exact duration; the verdict comes after the whole seconds.
    deadline_ = saturatingAdd(nowMs, qcToInt64(type.duration * 1000));
    if (seconds < 0)
        start.judgeAfterMs = 0; // a test of no length is judged at once, on no frames
    else if (seconds <= std::numeric_limits<int>::max() / 1000)
        start.judgeAfterMs = static_cast<int>(seconds * 1000);
    // else: longer than a timer can wait; the run counts until its deadline unjudged.
    return start;
}

bool QcCheck::addFrame(const QList<short> &frame, qint64 nowMs)
{
    if (!deadline_ || nowMs > *deadline_)
        return false;
    if (frame.size() != qcFrameLength)
        return false;
    increment(run_.frameCount);
    for (int i = 0; i < qcChannelCount; ++i)
        addSample(i, frame.at(2 * i), frame.at(2 * i + 1));
    return true;
}

void QcCheck::addSample(int channel, qint16 y, qint16 x)
{
    run_.xStats[channel].add(x);
    run_.yStats[channel].add(y);
    qint32 &good = run_.goodCount[channel];
    const double yLow = run_.yMin + (rules_.netCount ? run_.minAdd[channel] : 0.0);
    const double yHigh = run_.yMax + (rules_.netCount ? run_.maxAdd[channel] : 0.0);
    const bool yInside = y >= yLow && y <= yHigh;
    const bool xInside = x >= run_.min[channel] && x <= run_.max[channel];
    if (yInside && xInside) {
        increment(good);
    } else if (rules_.netCount && good > 0 && (yInside || y >= 0)) {
        // A negative Y outside its window is skipped rather than counted as bad.
        --good;
    }
}

QcVerdict QcCheck::judge() const
{
    QcVerdict verdict;
    if (run_.frameCount < run_.framesRequired) {
        verdict.passed = false;
        verdict.messages.append(QStringLiteral("Frame Count Fail"));
    }
    for (int i = 0; i < qcChannelCount; ++i) {
        if (run_.channelListed[i] != qcNotListed && run_.goodCount[i] < run_.need[i]) {
            verdict.passed = false;
            verdict.messages.append(channelFailure(i));
        }
    }
    verdict.text = verdict.passed ? QStringLiteral("Pass") : QStringLiteral("Fail");
    return verdict;
}

QString QcCheck::channelFailure(int channel) const
{
    return QStringLiteral("Sample Count Fail ")
        + QStringLiteral(": %1 [%4, %5], need: %2, got: %3")
              .arg(shownChannel(channel))
              .arg(run_.need[channel])
              .arg(run_.goodCount[channel])
              .arg(run_.min[channel])
              .arg(run_.max[channel]);
}

QString QcCheck::rangeSummary(const QcType &type) const
{
    QStringList entries;
    for (const QcRange &range : type.ranges)
        entries.append(QStringLiteral("%1 [%3, %4] (%2)")
                           .arg(range.index + rules_.shownChannelOffset)
                           .arg(range.count)
                           .arg(range.min)
                           .arg(range.max));
    return entries.join(QStringLiteral(", "));
}

QcChannel QcCheck::channel(int channel) const
{
    QcChannel c;
    if (channel < 0 || channel >= qcChannelCount)
        return c;
    c.channel = channel;
    c.shown = shownChannel(channel);
    c.listed = run_.channelListed[channel] != qcNotListed;
    c.need = run_.need[channel];
    c.good = run_.goodCount[channel];
    c.min = run_.min[channel];
    c.max = run_.max[channel];
    c.yMin = run_.yMin + (rules_.netCount ? run_.minAdd[channel] : 0.0);
    c.yMax = run_.yMax + (rules_.netCount ? run_.maxAdd[channel] : 0.0);
    c.x = run_.xStats[channel];
    c.y = run_.yStats[channel];
    return c;
}

QList<QcChannel> QcCheck::channels() const
{
    QList<QcChannel> all;
    for (int i = 0; i < qcChannelCount; ++i)
        all.append(channel(i));
    return all;
}

qint64 qcSteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
