// The check without a window: Start, frame intake and judgement with the times given.
#include "qc/qccheck.h"
#include "qctestsupport.h"

#include <QtTest>

#include <limits>

namespace {

struct Step
{
    bool isStart = false;
    qint64 at = 0; // milliseconds after the base time
    QList<short> frame;
};
using Steps = QList<Step>;

Step start(qint64 at = 0)
{
    return {true, at, {}};
}

Steps frames(int n, const QList<short> &frame, qint64 at = 0)
{
    Steps steps;
    for (int i = 0; i < n; ++i)
        steps.append({false, at, frame});
    return steps;
}

Steps run(std::initializer_list<Steps> parts)
{
    Steps steps {start()};
    for (const Steps &part : parts)
        steps += part;
    return steps;
}

// A plan of one test type "T" with the given members.
QByteArray plan(const char *members)
{
    return QByteArray(R"([{"label": "T", )") + members + "}]";
}

// Channel 0 needs `count` samples with Y in 0..100 and X in -10..10.
QByteArray channel0(int count, const char *extra = "")
{
    return plan(
        QByteArray(R"("duration": 1, "y": {"min": 0, "max": 100}, "x": [{"index": 0, "count": )")
        + QByteArray::number(count) + R"(, "min": -10, "max": 10)" + extra + "}]");
}

const QList<short> good = channelFrame(0, 50, 0);
const QList<short> badX = channelFrame(0, 50, 11);
const QList<short> badY = channelFrame(0, 101, 0);
const QList<short> negativeY = channelFrame(0, -5, 0);

constexpr qint64 base = 1'700'000'000'000;

} // namespace

Q_DECLARE_METATYPE(Steps)
Q_DECLARE_METATYPE(Deliverable)

class TestQcCheck : public QObject
{
    Q_OBJECT

private slots:
    void judges_data();
    void judges();
    void starts_data();
    void starts();
    void exposesChannels();
    void saturates_data();
    void saturates();
};

void TestQcCheck::judges_data()
{
    QTest::addColumn<Deliverable>("deliverable");
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("frameCount");

    const auto V = Deliverable::Viewer;
    const auto C = Deliverable::Cam;
    const auto Q = Deliverable::Qc;
    const QString fail1 = "Sample Count Fail : 1 [-10, 10], need: 1, got: 0";
    const QString fail0 = "Sample Count Fail : 0 [-10, 10], need: 1, got: 0";

    // Window bounds are inclusive in both rules.
    for (const auto &[d, name, miss] :
         {std::tuple {V, "viewer", fail1}, {C, "cam", fail1}, {Q, "qc", fail0}}) {
        const QString n = name;
        QTest::newRow(qPrintable(n + ": X on lower bound"))
            << d << channel0(1) << run({frames(1, channelFrame(0, 50, -10))}) << "Pass"
            << QStringList() << 1;
        QTest::newRow(qPrintable(n + ": X on upper bound"))
            << d << channel0(1) << run({frames(1, channelFrame(0, 50, 10))}) << "Pass"
            << QStringList() << 1;
        QTest::newRow(qPrintable(n + ": X below"))
            << d << channel0(1) << run({frames(1, channelFrame(0, 50, -11))}) << "Fail"
            << QStringList {miss} << 1;
        QTest::newRow(qPrintable(n + ": X above"))
            << d << channel0(1) << run({frames(1, badX)}) << "Fail" << QStringList {miss} << 1;
        QTest::newRow(qPrintable(n + ": Y on lower bound"))
            << d << channel0(1) << run({frames(1, channelFrame(0, 0, 0))}) << "Pass"
            << QStringList() << 1;
        QTest::newRow(qPrintable(n + ": Y on upper bound"))
            << d << channel0(1) << run({frames(1, channelFrame(0, 100, 0))}) << "Pass"
            << QStringList() << 1;
        QTest::newRow(qPrintable(n + ": Y above"))
            << d << channel0(1) << run({frames(1, badY)}) << "Fail" << QStringList {miss} << 1;
        QTest::newRow(qPrintable(n + ": Y below"))
            << d << channel0(1) << run({frames(1, negativeY)}) << "Fail" << QStringList {miss} << 1;
    }

    // The additions narrow the Y window of their channel in the viewer; the qc program reads none.
    const QByteArray narrowed = channel0(1, R"(, "minadd": 50, "maxadd": -50)");
    QTest::newRow("viewer: Y on added lower bound")
        << V << narrowed << run({frames(1, channelFrame(0, 50, 0))}) << "Pass" << QStringList()
        << 1;
    QTest::newRow("viewer: Y below added bound")
        << V << narrowed << run({frames(1, channelFrame(0, 49, 0))}) << "Fail"
        << QStringList {fail1} << 1;
    QTest::newRow("viewer: Y above added bound")
        << V << narrowed << run({frames(1, channelFrame(0, 51, 0))}) << "Fail"
        << QStringList {fail1} << 1;
    QTest::newRow("qc: additions not applied")
        << Q << narrowed << run({frames(1, channelFrame(0, 0, 0))}) << "Pass" << QStringList() << 1;

    // The viewer's count is net: bad samples take one away, never below 0.
    QTest::newRow("viewer: bad samples first cannot go below 0")
        << V << channel0(3) << run({frames(3, badX), frames(2, good)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [-10, 10], need: 3, got: 2"} << 5;
    Steps alternating {start()};
    for (int i = 0; i < 5; ++i)
        alternating << frames(1, good) << frames(1, badY);
    QTest::newRow("viewer: alternating ends near 0")
        << V << channel0(1) << alternating << "Fail" << QStringList {fail1} << 10;
    QTest::newRow("viewer: negative Y outside the window is skipped")
        << V << channel0(3) << run({frames(2, good), frames(3, negativeY)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [-10, 10], need: 3, got: 2"} << 5;
    QTest::newRow("viewer: non-negative Y outside takes one away")
        << V << channel0(2) << run({frames(2, good), frames(1, badY)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [-10, 10], need: 2, got: 1"} << 3;
    QTest::newRow("viewer: Y of 0 below the window is not negative")
        << V << plan(R"("y": {"min": 10, "max": 100},
                   "x": [{"index": 0, "count": 2, "min": -10, "max": 10}])")
        << run({frames(2, good), frames(1, channelFrame(0, 0, 0)),
                frames(1, channelFrame(0, -1, 0))})
        << "Fail" << QStringList {"Sample Count Fail : 1 [-10, 10], need: 2, got: 1"} << 4;
    QTest::newRow("viewer: negative Y inside with X outside takes one away")
        << V << plan(R"("y": {"min": -100, "max": 100},
                   "x": [{"index": 0, "count": 2, "min": -10, "max": 10}])")
        << run({frames(2, good), frames(1, channelFrame(0, -5, 50))}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [-10, 10], need: 2, got: 1"} << 3;
    QTest::newRow("qc: bad samples never lower the count")
        << Q << channel0(2)
        << run({frames(1, good), frames(1, badX), frames(1, badY), frames(1, negativeY),
                frames(1, good)})
        << "Pass" << QStringList() << 5;
    QTest::newRow("qc: count short")
        << Q << channel0(3) << run({frames(2, good), frames(4, badX)}) << "Fail"
        << QStringList {"Sample Count Fail : 0 [-10, 10], need: 3, got: 2"} << 6;

    // What is judged, and in which order.
    QTest::newRow("unlisted channels never judged")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 5, "count": 1}])")
        << run({frames(3, uniformFrame(1000, 500))}) << "Fail"
        << QStringList {"Sample Count Fail : 6 [0, 0], need: 1, got: 0"} << 3;
    QTest::newRow("failures in ascending channel order")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 26, "count": 1},
                   {"index": 3, "count": 2, "min": -1, "max": 1}, {"index": 0, "count": 1}])")
        << run({frames(1, uniformFrame(1000, 0))}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [0, 0], need: 1, got: 0",
                        "Sample Count Fail : 4 [-1, 1], need: 2, got: 0",
                        "Sample Count Fail : 27 [0, 0], need: 1, got: 0"}
        << 1;
    QTest::newRow("the later range of a channel governs")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 0, "count": 1, "min": -10,
                   "max": 10}, {"index": 0, "count": 2, "min": 100, "max": 200}])")
        << run({frames(3, good)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [100, 200], need: 2, got: 0"} << 3;
    QTest::newRow("qc: the later range passes")
        << Q << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 0, "count": 9, "min": -10,
                   "max": 10}, {"index": 0, "count": 2, "min": 100, "max": 200}])")
        << run({frames(2, channelFrame(0, 50, 150))}) << "Pass" << QStringList() << 2;
    QTest::newRow("exactly the frames required pass")
        << V << plan(R"("duration": 1, "frames": 3)") << run({frames(3, good)}) << "Pass"
        << QStringList() << 3;
    QTest::newRow("one frame fewer fails")
        << V << plan(R"("duration": 1, "frames": 3)") << run({frames(2, good)}) << "Fail"
        << QStringList {"Frame Count Fail"} << 2;
    QTest::newRow("frame count failure comes first")
        << V << plan(R"("frames": 3, "y": {"min": 0, "max": 100},
                   "x": [{"index": 0, "count": 1, "min": -10, "max": 10}])")
        << run({frames(2, badX)}) << "Fail" << QStringList {"Frame Count Fail", fail1} << 2;
    QTest::newRow("zero and negative requirements never fail")
        << V << plan(R"("frames": -5, "y": {"min": 0, "max": 100},
                   "x": [{"index": 0, "count": 0}, {"index": 1, "count": -3}])")
        << run({frames(2, uniformFrame(1000, 1000))}) << "Pass" << QStringList() << 2;
    QTest::newRow("inverted window admits nothing")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 0, "count": 1, "min": 10,
                       "max": -10}])")
        << run({frames(3, good)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [10, -10], need: 1, got: 0"} << 3;
    QTest::newRow("doubles in the failure text")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 0, "count": 1, "min": -100.25,
                   "max": 1000000}])")
        << run({frames(1, badY)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [-100.25, 1e+06], need: 1, got: 0"} << 1;

    // Which frames are counted.
    Steps lengths {start()};
    for (int n : {0, 2, 52, 53, 55, 56, 108})
        lengths.append({false, 0, QVector<short>(n, 0).toList()});
    QTest::newRow("frames of other lengths ignored")
        << V << plan(R"("duration": 1, "frames": 1)") << lengths << "Fail"
        << QStringList {"Frame Count Fail"} << 0;
    QTest::newRow("frames before the first Start ignored")
        << V << plan(R"("duration": 1, "frames": 1)")
        << (Steps {{false, -10, good}, {false, 0, good}, start(1)}) << "Fail"
        << QStringList {"Frame Count Fail"} << 0;
    QTest::newRow("Start resets the counts")
        << V << channel0(1) << (Steps {start(0), {false, 5, good}, start(10)}) << "Fail"
        << QStringList {fail1} << 0;
    QTest::newRow("frame at the deadline counted, later ignored")
        << V << plan(R"("duration": 1, "frames": 2)")
        << (Steps {start(0), {false, 1000, good}, {false, 1001, good}}) << "Fail"
        << QStringList {"Frame Count Fail"} << 1;
    QTest::newRow("fractional duration counts to its exact end")
        << V << plan(R"("duration": 2.5, "frames": 2)")
        << (Steps {start(0), {false, 2000, good}, {false, 2500, good}, {false, 2501, good}})
        << "Pass" << QStringList() << 2;
    QTest::newRow("negative duration counts nothing")
        << V << plan(R"("duration": -1, "frames": 1)") << run({frames(1, good)}) << "Fail"
        << QStringList {"Frame Count Fail"} << 0;
    QTest::newRow("empty plan passes on no frames")
        << V << QByteArray("[]") << run({frames(3, good)}) << "Pass" << QStringList() << 0;

    // Ranges whose channel lies outside 0..26 touch nothing; truncation is toward zero.
    QTest::newRow("ranges outside the channels ignored")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 27, "count": 5},
                   {"index": -1, "count": 5}, {"index": 1e12, "count": 5},
                   {"index": -1e300, "count": 5}])")
        << run({frames(1, good)}) << "Pass" << QStringList() << 1;
    QTest::newRow("fractional channel truncated toward zero")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": -0.9, "count": 2, "min": -10,
                   "max": 10}, {"index": 25.99, "count": 1, "min": 1, "max": 1}])")
        << run({frames(1, good)}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [-10, 10], need: 2, got: 1",
                        "Sample Count Fail : 26 [1, 1], need: 1, got: 0"}
        << 1;
    QTest::newRow("huge count saturates")
        << V << plan(R"("y": {"min": 0, "max": 100}, "x": [{"index": 0, "count": 1e12}])")
        << run({frames(1, channelFrame(0, 50, 0))}) << "Fail"
        << QStringList {"Sample Count Fail : 1 [0, 0], need: 2147483647, got: 1"} << 1;
    QTest::newRow("huge negative frames never fail")
        << V << plan(R"("frames": -1e12)") << run({}) << "Pass" << QStringList() << 0;
}

void TestQcCheck::judges()
{
    QFETCH(Deliverable, deliverable);
    QFETCH(QByteArray, document);
    QFETCH(Steps, steps);
    QFETCH(QString, verdict);
    QFETCH(QStringList, messages);
    QFETCH(int, frameCount);

    QcCheck check(deliverable, parseQcDocument(document, qcRules(deliverable).additions));
    for (const Step &step : steps) {
        if (step.isStart)
            check.start(QStringLiteral("T"), base + step.at);
        else
            check.addFrame(step.frame, base + step.at);
    }
    const QcVerdict result = check.judge();
    QCOMPARE(result.messages, messages);
    QCOMPARE(result.text, verdict);
    QCOMPARE(result.passed, verdict == QLatin1String("Pass"));
    QCOMPARE(check.run().frameCount, frameCount);
}

void TestQcCheck::starts_data()
{
    QTest::addColumn<Deliverable>("deliverable");
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QStringList>("texts"); // duration, frames, Y min, Y max, ranges
    QTest::addColumn<int>("judgeAfterMs"); // -1: no judgement
    QTest::addColumn<qint64>("deadline"); // after Start; min(): none set
    QTest::addColumn<QList<int>>("listed");

    const QByteArray example = R"([{"label": "Board A", "duration": 10, "frames": 50,
        "y": {"min": 200, "max": 1500}, "x": [
        {"index": 0, "count": 30, "min": -100, "max": 100, "minadd": 0, "maxadd": 0},
        {"index": 26, "count": 30, "min": -80, "max": 80, "minadd": 50, "maxadd": -50}]}])";
    const qint64 none = std::numeric_limits<qint64>::min();

    QTest::newRow("example, viewer")
        << Deliverable::Viewer << example << "Board A" << true
        << QStringList {"10", "50", "200", "1500", "1 [-100, 100] (30), 27 [-80, 80] (30)"} << 10000
        << qint64(10000) << QList<int> {0, 26};
    QTest::newRow("example, qc shows channels from 0")
        << Deliverable::Qc << example << "Board A" << true
        << QStringList {"10", "50", "200", "1500", "0 [-100, 100] (30), 26 [-80, 80] (30)"} << 10000
        << qint64(10000) << QList<int> {0, 26};
    QTest::newRow("label matched exactly")
        << Deliverable::Viewer << example << "board a" << false << QStringList {"", "", "", "", ""}
        << -1 << none << QList<int>();
    QTest::newRow("empty plan") << Deliverable::Viewer << QByteArray("[]") << "" << false
                                << QStringList {"", "", "", "", ""} << -1 << none << QList<int>();
    QTest::newRow("first of two equal labels")
        << Deliverable::Viewer
        << QByteArray(R"([{"label": "A", "frames": 1}, {"label": "A", "frames": 2}])") << "A"
        << true << QStringList {"0", "1", "0", "0", ""} << 0 << qint64(0) << QList<int>();
    QTest::newRow("fractional duration: timer on whole seconds, deadline exact")
        << Deliverable::Viewer << plan(R"("duration": 2.5)") << "T" << true
        << QStringList {"2", "0", "0", "0", ""} << 2000 << qint64(2500) << QList<int>();
    QTest::newRow("duration below one second: judged at once")
        << Deliverable::Viewer << plan(R"("duration": 0.3)") << "T" << true
        << QStringList {"0", "0", "0", "0", ""} << 0 << qint64(300) << QList<int>();
    QTest::newRow("negative duration: judged at once")
        << Deliverable::Viewer << plan(R"("duration": -3)") << "T" << true
        << QStringList {"-3", "0", "0", "0", ""} << 0 << qint64(-3000) << QList<int>();
    QTest::newRow("longest duration a timer can wait")
        << Deliverable::Viewer << plan(R"("duration": 2147483)") << "T" << true
        << QStringList {"2147483", "0", "0", "0", ""} << 2147483000 << qint64(2147483000)
        << QList<int>();
    QTest::newRow("duration past the timer: not judged")
        << Deliverable::Viewer << plan(R"("duration": 2147484)") << "T" << true
        << QStringList {"2147484", "0", "0", "0", ""} << -1 << qint64(2147484000) << QList<int>();
    QTest::newRow("duration past 64-bit milliseconds saturates")
        << Deliverable::Viewer << plan(R"("duration": 1e300)") << "T" << true
        << QStringList {"9223372036854775807", "0", "0", "0", ""} << -1
        << std::numeric_limits<qint64>::max() - base << QList<int>();
    QTest::newRow("large and fractional values")
        << Deliverable::Viewer
        << plan(R"("frames": 1e10, "y": {"min": 1234567, "max": -0.000012345678},
                   "x": [{"index": 2.7, "count": 1000000, "min": -0.5, "max": 2.25}])")
        << "T" << true
        << QStringList {"0", "2147483647", "1.23457e+06", "-1.23457e-05",
                        "3.7 [-0.5, 2.25] (1e+06)"}
        << 0 << qint64(0) << QList<int> {2};
    QTest::newRow("ranges outside the channels stay in the summary")
        << Deliverable::Viewer
        << plan(R"("x": [{"index": 27, "count": 1}, {"index": -1}, {"index": 4}])") << "T" << true
        << QStringList {"0", "0", "0", "0", "28 [0, 0] (1), 0 [0, 0] (0), 5 [0, 0] (0)"} << 0
        << qint64(0) << QList<int> {4};
}

void TestQcCheck::starts()
{
    QFETCH(Deliverable, deliverable);
    QFETCH(QByteArray, document);
    QFETCH(QString, label);
    QFETCH(bool, selected);
    QFETCH(QStringList, texts);
    QFETCH(int, judgeAfterMs);
    QFETCH(qint64, deadline);
    QFETCH(QList<int>, listed);

    QcCheck check(deliverable, parseQcDocument(document, qcRules(deliverable).additions));
    const QcStart start = check.start(label, base);
    QCOMPARE(start.selected, selected);
    QCOMPARE(start.verdict, selected ? QStringLiteral("Testing") : QString());
    QCOMPARE((QStringList {start.duration, start.expFrames, start.yMin, start.yMax, start.ranges}),
             texts);
    QCOMPARE(start.judgeAfterMs.value_or(-1), judgeAfterMs);
    if (deadline == std::numeric_limits<qint64>::min())
        QVERIFY(!check.deadline());
    else
        QCOMPARE(check.deadline().value_or(0), base + deadline);
    QList<int> actual;
    for (int i = 0; i < qcChannelCount; ++i) {
        QCOMPARE(check.run().channelListed[i] != qcNotListed, check.channel(i).listed);
        if (check.channel(i).listed) {
            QCOMPARE(check.run().channelListed[i], i);
            actual << i;
        }
    }
    QCOMPARE(actual, listed);
}

void TestQcCheck::exposesChannels()
{
    QcCheck check(Deliverable::Viewer,
                  parseQcDocument(plan(R"("duration": 1, "y": {"min": 0, "max": 100}, "x": [
                      {"index": 3, "count": 4, "min": -10, "max": 10, "minadd": 5,
                       "maxadd": -5}])")));
    check.start("T", base);
    QVERIFY(check.addFrame(channelFrame(3, 50, 0), base + 1));
    QVERIFY(check.addFrame(channelFrame(3, 50, 0), base + 2));

    const QList<QcChannel> channels = check.channels();
    QCOMPARE(channels.size(), qcChannelCount);
    const QcChannel c = channels.at(3);
    QCOMPARE(c.channel, 3);
    QCOMPARE(c.shown, 4);
    QVERIFY(c.listed);
    QCOMPARE(c.need, 4);
    QCOMPARE(c.good, 2);
    QCOMPARE(c.min, -10.0);
    QCOMPARE(c.max, 10.0);
    QCOMPARE(c.yMin, 5.0);
    QCOMPARE(c.yMax, 95.0);
    // Every channel is counted, listed or not: (0, 0) lies inside the unlisted windows.
    QCOMPARE(channels.at(0).listed, false);
    QCOMPARE(channels.at(0).good, 2);
    QCOMPARE(check.channel(27).listed, false);
    QCOMPARE(check.channel(-1).listed, false);
}

void TestQcCheck::saturates_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint32>("int32");
    QTest::addColumn<qint64>("int64");

    const double inf = std::numeric_limits<double>::infinity();
    const qint32 max32 = std::numeric_limits<qint32>::max();
    const qint32 min32 = std::numeric_limits<qint32>::min();
    const qint64 max64 = std::numeric_limits<qint64>::max();
    const qint64 min64 = std::numeric_limits<qint64>::min();
    QTest::newRow("zero") << 0.0 << 0 << qint64(0);
    QTest::newRow("toward zero, positive") << 2.99 << 2 << qint64(2);
    QTest::newRow("toward zero, negative") << -2.99 << -2 << qint64(-2);
    QTest::newRow("int32 max") << 2147483647.0 << max32 << qint64(max32);
    QTest::newRow("past int32 max") << 2147483647.5 << max32 << qint64(max32);
    QTest::newRow("int32 min") << -2147483648.0 << min32 << qint64(min32);
    QTest::newRow("past int32 min") << -2147483649.0 << min32 << qint64(-2147483649);
    QTest::newRow("2^63") << 9223372036854775808.0 << max32 << max64;
    QTest::newRow("-2^63") << -9223372036854775808.0 << min32 << min64;
    QTest::newRow("huge") << 1e300 << max32 << max64;
    QTest::newRow("huge negative") << -1e300 << min32 << min64;
    QTest::newRow("infinity") << inf << max32 << max64;
    QTest::newRow("negative infinity") << -inf << min32 << min64;
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << 0 << qint64(0);
}

void TestQcCheck::saturates()
{
    QFETCH(double, value);
    QFETCH(qint32, int32);
    QFETCH(qint64, int64);
    QCOMPARE(qcToInt32(value), int32);
    QCOMPARE(qcToInt64(value), int64);
}

QTEST_GUILESS_MAIN(TestQcCheck)
#include "tst_qccheck.moc"
