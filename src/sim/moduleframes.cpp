#include "sim/moduleframes.h"

#include "qc/qccheck.h"

#include <QtMath>

#include <algorithm>
#include <cmath>

namespace {

using Window = PlanFrames::Window;

// The whole 16-bit values inside [low, high], or nothing.
std::optional<Window> integerWindow(double low, double high)
{
    if (std::isnan(low) || std::isnan(high))
        return std::nullopt;
    const double from = std::max(std::ceil(low), -32768.0);
    const double to = std::min(std::floor(high), 32767.0);
    if (from > to)
        return std::nullopt;
    return Window {qint32(from), qint32(to)};
}

qint16 pick(QRandomGenerator &random, const Window &w)
{
    return qint16(w.low + qint32(random.bounded(quint32(w.high - w.low) + 1u)));
}

// A point inside both windows that the wire can carry: a few random tries, then a search from
// the windows' lower ends.
std::optional<StreamPoint> carriedPoint(QRandomGenerator &random, const Window &x, const Window &y)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const StreamPoint p {pick(random, x), pick(random, y)};
        if (StreamEncoder::canCarry(p.x, p.y))
            return p;
    }
    for (qint32 a = x.low; a <= x.high && a < x.low + 512; ++a) {
        for (qint32 b = y.low; b <= y.high && b < y.low + 512; ++b) {
            if (StreamEncoder::canCarry(qint16(a), qint16(b)))
                return StreamPoint {qint16(a), qint16(b)};
        }
    }
    return std::nullopt;
}

// Values just outside [low, high], or nothing when the window reaches both ends of 16 bits.
std::optional<Window> outside(double low, double high)
{
    if (high < 32767.0)
        return integerWindow(std::floor(high) + 1, std::floor(high) + 40);
    if (low > -32768.0)
        return integerWindow(std::ceil(low) - 40, std::ceil(low) - 1);
    return std::nullopt;
}

} // namespace

WaveFrames::WaveFrames(quint32 seed)
    : random(seed)
{
}

QVector<StreamPoint> WaveFrames::frame(quint64 number)
{
    QVector<StreamPoint> points(qcChannelCount);
    const double phase = double(number % 1000) * 2 * M_PI / 200;
    for (int i = 0; i < qcChannelCount; ++i) {
        const double t = 2 * M_PI * i / (qcChannelCount - 1);
        const int x = qRound(xAmplitude * std::sin(t + phase)) + int(random.bounded(2 * xNoise + 1))
            - xNoise;
        const int y = yCentre + qRound(yAmplitude * std::cos(t / 2 + phase))
            + int(random.bounded(2 * yNoise + 1)) - yNoise;
        // Every value of these ranges can be carried: x's high byte is 0x00 or 0xFF, y's 0x01.
        points[i] = StreamPoint {qint16(x), qint16(y)};
    }
    return points;
}

std::optional<PlanFrames> PlanFrames::forTest(const QcType &type, std::optional<int> failChannel,
                                              quint32 seed, QString *error)
{
    PlanFrames frames;
    frames.random.seed(seed);

    struct Listed
    {
        bool listed = false;
        QcRange range;
    };
    std::array<Listed, qcChannelCount> listed {};
    for (const QcRange &range : type.ranges) {
        const qint32 c = qcToInt32(range.index);
        if (c >= 0 && c < qcChannelCount)
            listed[c] = Listed {true, range}; // the later range governs, as in the check
    }

    if (failChannel) {
        const Listed &l = listed[*failChannel];
        if (!l.listed || qcToInt32(l.range.count) <= 0) {
            *error = QStringLiteral("channel %1 cannot fail test \"%2\": the test requires "
                                    "nothing of it")
                         .arg(*failChannel)
                         .arg(type.label);
            return std::nullopt;
        }
    }

    for (int c = 0; c < qcChannelCount; ++c) {
        const QcRange &r = listed[c].range;
        // The Y window with and without the additions: good for every program's rule.
        const double yLow = std::max(type.yMin, type.yMin + r.minAdd);
        const double yHigh = std::min(type.yMax, type.yMax + r.maxAdd);
        std::optional<Window> xw
            = listed[c].listed ? integerWindow(r.min, r.max) : std::optional<Window>(Window {0, 0});
        std::optional<Window> yw = integerWindow(yLow, yHigh);
        if (!listed[c].listed && !yw)
            yw = Window {1, 1}; // not judged: any reading will do
        if (failChannel && *failChannel == c) {
            if (const auto bad = outside(r.min, r.max)) {
                xw = bad;
            } else {
                yw = outside(std::min(yLow, type.yMin), std::max(yHigh, type.yMax));
            }
            xw = xw ? xw : Window {0, 0};
        }
        const bool needed = listed[c].listed && qcToInt32(r.count) > 0;
        if (!xw || !yw || !carriedPoint(frames.random, *xw, *yw)) {
            if (!needed && !(failChannel && *failChannel == c)) {
                xw = Window {0, 0};
                yw = Window {1, 1};
            } else {
                *error = QStringLiteral("channel %1 of test \"%2\" has no sample that %3")
                             .arg(c)
                             .arg(type.label)
                             .arg(failChannel && *failChannel == c ? QStringLiteral("fails")
                                                                   : QStringLiteral("passes"));
                return std::nullopt;
            }
        }
        frames.x[c] = *xw;
        frames.y[c] = *yw;
    }
    return frames;
}

QVector<StreamPoint> PlanFrames::frame(quint64 number)
{
    Q_UNUSED(number)
    QVector<StreamPoint> points(qcChannelCount);
    for (int c = 0; c < qcChannelCount; ++c)
        points[c] = carriedPoint(random, x[c], y[c]).value_or(StreamPoint {0, 1});
    return points;
}
