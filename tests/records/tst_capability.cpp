// The capability of a channel's samples read from a real log against figures worked out by hand,
// and the Western Electric rules on series built to trip each of them.
#include "records/capability.h"
#include "records/recordsource.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

// One run of channel 0. X has the mean and sd given, Y the same 100 higher; the window is
// [-half, half] in X and [100 - half, 100 + half] in Y.
struct ChannelRun
{
    int hour; // judged on 2026-03-01 at this hour
    qint64 samples; // -1: no "samples" key
    double mean, sd;
    double half = 20;
    double spread = 15; // the samples lie within mean ± spread
    int good = -1; // -1: every sample
    const char *rules = "envviewer_qc";
};

QByteArray recordLine(const ChannelRun &r)
{
    const auto axis = [&](double offset) {
        return QString(R"({"min": %1, "max": %2, "mean": %3, "sd": %4})")
            .arg(r.mean + offset - r.spread)
            .arg(r.mean + offset + r.spread)
            .arg(r.mean + offset)
            .arg(r.sd);
    };
    const QString samples = r.samples < 0 ? QString() : QString(R"("samples": %1,)").arg(r.samples);
    const QString channel = QString(R"({"channel": 0, "good": %1, "need": 1, %2
        "window": {"x": [%3, %4], "y": [%5, %6]}, "x": %7, "y": %8})")
                                .arg(r.good < 0 ? std::max<qint64>(0, r.samples) : r.good)
                                .arg(samples)
                                .arg(-r.half)
                                .arg(r.half)
                                .arg(100 - r.half)
                                .arg(100 + r.half)
                                .arg(axis(0), axis(100));
    return QString(R"({"version": 1, "id": "%1", "time": "2026-03-01T%2:00:00.000+00:00",
        "program": "envtool", "rules": "%3", "host": "h", "test": "T", "verdict": "Pass",
        "failures": [], "channels": [%4]})")
               .arg(QUuid::createUuid().toString(QUuid::WithoutBraces))
               .arg(r.hour, 2, 10, QChar('0'))
               .arg(r.rules, channel)
               .simplified()
               .toUtf8()
        + '\n';
}

const double none = std::nan("");

bool same(std::optional<double> value, double expected)
{
    return std::isnan(expected) ? !value : value && std::abs(*value - expected) < 1e-5;
}

} // namespace

Q_DECLARE_METATYPE(QList<ChannelRun>)

class TestCapability : public QObject
{
    Q_OBJECT

private slots:
    void capability_data();
    void capability();
    void rules_data();
    void rules();
};

void TestCapability::capability_data()
{
    QTest::addColumn<QList<ChannelRun>>("runs");
    QTest::addColumn<qint64>("samples");
    QTest::addColumn<qint64>("runsWithSamples");
    QTest::addColumn<qint64>("runsWithMeans");
    QTest::addColumn<double>("mean");
    QTest::addColumn<double>("withinSd");
    QTest::addColumn<double>("overallSd");
    QTest::addColumn<double>("cpk");
    QTest::addColumn<double>("ppk");
    QTest::addColumn<bool>("windowsDiffer");
    QTest::addColumn<qint64>("outsideRuns");
    QTest::addColumn<double>("outsideShare");

    // N = 40, grand mean 70 / 40 = 1.75; Σ n·sd² = 40 + 20 + 90 = 150, within sd √(150 / 37);
    // Σ n·(mean − 1.75)² = 5.625 + 101.25 + 140.625 = 247.5, overall sd √(397.5 / 39);
    // Cpk = 18.25 / (3 · 2.013468), Ppk = 18.25 / (3 · 3.192539).
    const QList<ChannelRun> three {{8, 10, 1, 2}, {9, 20, 4, 1}, {10, 10, -2, 3}};
    QTest::newRow("pooled and overall")
        << three << qint64(40) << qint64(3) << qint64(3) << 1.75 << 2.013468 << 3.192539 << 3.021321
        << 1.905485 << false << qint64(3) << 0.0;
    // Means without samples plot, but add nothing to the spreads or the share outside.
    QTest::newRow("runs without samples")
        << (three + QList<ChannelRun> {{11, -1, 50, 0}, {12, 0, 50, 0}}) << qint64(40) << qint64(3)
        << qint64(5) << 1.75 << 2.013468 << 3.192539 << 3.021321 << 1.905485 << false << qint64(3)
        << 0.0;
    // An older run judged with [-10, 10] comes last in the log: the latest window holds.
    QTest::newRow("window changed")
        << QList<ChannelRun> {{10, 10, -2, 3}, {8, 10, 1, 2}, {9, 20, 4, 1, 10}} << qint64(40)
        << qint64(3) << qint64(3) << 1.75 << 2.013468 << 3.192539 << 3.021321 << 1.905485 << true
        << qint64(3) << 0.0;
    // Samples beyond the window: outside = samples − good under rules that count every bad
    // sample (3 of 10, 0 of 20); unknown under rules that take bad samples off the count.
    // Σ n·sd² = 40, within sd √(40 / 37), overall sd √(40 / 39).
    QTest::newRow("outside from the counts")
        << QList<ChannelRun> {{8, 10, 0, 1, 20, 25, 7},
                              {9, 20, 0, 1, 20, 25},
                              {10, 10, 0, 1, 20, 25, 10, "envviewer"}}
        << qint64(40) << qint64(3) << qint64(3) << 0.0 << 1.039750 << 1.012739 << 6.411795
        << 6.582806 << false << qint64(2) << 0.1;
    // One sample a run has no spread within runs: N − runs = 0.
    QTest::newRow("one sample a run")
        << QList<ChannelRun> {{8, 1, 1, 0}, {9, 1, 3, 0}} << qint64(2) << qint64(2) << qint64(2)
        << 2.0 << none << 1.414214 << none << 4.242641 << false << qint64(2) << 0.0;
}

void TestCapability::capability()
{
    QFETCH(QList<ChannelRun>, runs);
    QTemporaryDir dir;
    const QString path = dir.filePath("results.jsonl");
    QFile log(path);
    QVERIFY(log.open(QIODevice::WriteOnly));
    QByteArray first;
    for (const ChannelRun &run : runs) {
        const QByteArray line = recordLine(run);
        first = first.isEmpty() ? line : first;
        log.write(line);
    }
    // A record read twice counts once.
    log.write(first);
    log.close();

    LogRecordSource source(path);
    QList<ReportTest> tests;
    QVERIFY2(source.report({}, &tests), qPrintable(source.error()));
    QCOMPARE(tests.size(), 1);
    QCOMPARE(tests.first().channels.size(), 1);
    const ReportChannel &c = tests.first().channels.first();
    QTEST(c.x.samples, "samples");
    QTEST(c.x.runs, "runsWithSamples");
    QTEST(c.meanRuns, "runsWithMeans");
    QCOMPARE(qint64(c.drift.size()), c.meanRuns);
    QTEST(c.windowsDiffer, "windowsDiffer");
    QCOMPARE(c.window.xMax, 20.0);
    QCOMPARE(c.window.yMin, 80.0);
    QTEST(c.outside.runs, "outsideRuns");
    QFETCH(double, outsideShare);
    QVERIFY(same(c.outside.share(), outsideShare));

    QFETCH(double, mean);
    QFETCH(double, withinSd);
    QFETCH(double, overallSd);
    QFETCH(double, cpk);
    QFETCH(double, ppk);
    // Y is X moved by 100 with its window: the same figures but the mean.
    QVERIFY(same(c.x.mean, mean) && same(c.y.mean, mean + 100));
    for (const AxisSpread &axis : {c.x, c.y}) {
        QVERIFY2(same(axis.withinSd(), withinSd), qPrintable(QString::number(*axis.withinSd())));
        QVERIFY(same(axis.overallSd(), overallSd));
    }
    QVERIFY(same(c.cpkX(), cpk) && same(c.cpkY(), cpk));
    QVERIFY(same(c.ppkX(), ppk) && same(c.ppkY(), ppk));
    QCOMPARE(c.marked(), ppk < capableCpk);
}

void TestCapability::rules_data()
{
    QTest::addColumn<QVector<double>>("values");
    QTest::addColumn<QVector<int>>("flags");
    // All with the centre at 0 and σ = 1, the limits at ±3.0.
    QTest::newRow("none") << QVector<double> {0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.5, 2.9, 0.2}
                          << QVector<int>(9);
    QTest::newRow("rule 1") << QVector<double> {0, 3.5, 0, -3.2, 0} << QVector<int> {0, 1, 0, 1, 0};
    // Flagged on the second point beyond 2σ, not on a point within that closes the three.
    QTest::newRow("rule 2") << QVector<double> {0, 2.5, 0.5, 2.2, 0, 0, 2.5, 2.2, 0.5}
                            << QVector<int> {0, 0, 0, 2, 0, 0, 0, 2, 0};
    QTest::newRow("rule 3") << QVector<double> {0, 1.5, 1.2, 0.5, 1.8, 1.1, 0}
                            << QVector<int> {0, 0, 0, 0, 0, 4, 0};
    QTest::newRow("rule 4") << QVector<double> {-0.5, 0.3, 0.2, 0.9, 0.1, 0.4,
                                                0.6,  0.2, 0.8, 0.5, -0.1}
                            << QVector<int> {0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 0};
    QTest::newRow("a point on the centre breaks a run")
        << QVector<double> {0.3, 0.2, 0.9, 0, 0.4, 0.6, 0.2, 0.8, 0.5} << QVector<int>(9);
    QTest::newRow("below the centre")
        << QVector<double> {-1.5, -1.2, -2.5, -2.2, -1.1, -0.5, -0.5, -0.5}
        << QVector<int> {0, 0, 0, 2 | 4, 4, 0, 0, 8};
}

void TestCapability::rules()
{
    QFETCH(QVector<double>, values);
    QFETCH(QVector<int>, flags);
    const QVector<quint8> got = westernElectricFlags(values, {0, 1.128});
    QCOMPARE(QVector<int>(got.begin(), got.end()), flags);
    // Values that never vary flag nothing, whatever the centre.
    const QVector<quint8> still = westernElectricFlags(values, {-10, 0});
    QCOMPARE(still.count(0), values.size());
}

QTEST_GUILESS_MAIN(TestCapability)
#include "tst_capability.moc"
