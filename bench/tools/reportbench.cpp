// What envtool report costs over 100,000 records, wall time and this process's CPU time: read
// from a results log, the page written. Records as envtool qc writes them: the example plan's two
// channels, or all 27 channels judged; one run in ten fails, one board in ten is tested again,
// over 30 days and 3 stations.

#include "commands/report.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <benchmark/benchmark.h>

namespace {

constexpr int records = 100000;

QString writeLog(const QTemporaryDir &dir, int channels)
{
    const QString path = dir.filePath(QStringLiteral("log-%1.jsonl").arg(channels));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    for (int i = 0; i < records; ++i) {
        QcRecord r;
        r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.time = QStringLiteral("2026-03-%1T%2:%3:%4.000+01:00")
                     .arg(1 + i % 30, 2, 10, QLatin1Char('0'))
                     .arg(6 + i / 3600 % 12, 2, 10, QLatin1Char('0'))
                     .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                     .arg(i % 60, 2, 10, QLatin1Char('0'));
        r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
        r.program = QStringLiteral("envviewer_qc");
        r.software = QStringLiteral("envviewer_qc 1.0.0");
        r.rules = QStringLiteral("envviewer_qc");
        r.host = QStringLiteral("station-%1").arg(i % 3);
        r.source = QStringLiteral("/dev/ttyUSB0");
        r.test = QStringLiteral("Board A");
        r.duration = 10;
        r.framesRequired = 50;
        r.frames = 100;
        for (int channel = 0; channel < channels; ++channel) {
            QcRecordChannel c;
            c.channel = channels == 2 ? channel * 26 : channel;
            c.good = 90;
            c.need = 30;
            c.samples = 100;
            c.window = QcRecordWindow {-100, 100, 200, 1500};
            c.x = {-12.0, 14.0, (i * 7919 % 2000) / 100.0 - 10, 5.1};
            c.y = {800.0, 900.0, 851.25 + (i * 104729 % 1000) / 10.0, 20.5};
            r.channels.append(c);
        }
        r.serial = QStringLiteral("S%1").arg(i - (i % 10 == 1));
        r.verdict = i % 10 ? QStringLiteral("Pass") : QStringLiteral("Fail");
        if (!r.passed())
            r.failures = QStringList {QStringLiteral("Sample Count Fail : %1 [-100, 100], need: "
                                                     "30, got: %2")
                                          .arg(i % 27)
                                          .arg(i % 30)};
        file.write(r.toLine());
    }
    return path;
}

void report(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString log = writeLog(dir, int(state.range(0)));
    if (log.isEmpty()) {
        state.SkipWithError("cannot write the log");
        return;
    }
    ReportOptions options;
    options.selection.log = log;
    options.output = dir.filePath(QStringLiteral("report.html"));
    for (auto _ : state) {
        if (ReportCommand(options).run() != 0) {
            state.SkipWithError("report failed");
            return;
        }
    }
    state.counters["log MB"] = QFileInfo(log).size() / 1e6;
    state.counters["page kB"] = QFileInfo(options.output).size() / 1e3;
}
BENCHMARK(report)->ArgName("channels")->Arg(2)->Arg(27)->Unit(benchmark::kSecond)->Iterations(2);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
