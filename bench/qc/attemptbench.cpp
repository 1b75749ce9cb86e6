// What a Start costs when it counts the board's attempt in a results log of 10^6 records: through
// the index beside the log (the dialog's path), against reading the whole log, as a Start without
// the index would. Every figure is the process's CPU time.
#include "qc/qcrun.h"
#include "records/attemptindex.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int logRecords = 1000000;
constexpr int boards = 300000;
// The records appended since the index was last brought up to date.
constexpr int tailRecords = 200;

QByteArray recordLine(int i)
{
    QcRecord r;
    r.id = QStringLiteral("00000000-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
    r.time = QStringLiteral("2026-03-01T10:00:00.000+01:00");
    r.program = QStringLiteral("envviewer");
    r.host = QStringLiteral("bench-host");
    r.station = QStringLiteral("station-a");
    r.test = QStringLiteral("Board %1").arg(i % 3);
    r.serial = QStringLiteral("SN%1").arg(i % boards, 8, 10, QLatin1Char('0'));
    r.attempt = 1 + i / boards;
    r.verdict = i % 7 ? QStringLiteral("Pass") : QStringLiteral("Fail");
    r.duration = 10;
    r.frames = 100;
    for (int c : {0, 26}) {
        QcRecordChannel channel;
        channel.channel = c;
        channel.good = channel.need = 30;
        channel.samples = 100;
        channel.window = QcRecordWindow {-100, 100, 200, 1500};
        channel.x = {-2.0, 3.0, 0.5, 1.5};
        channel.y = {300.0, 320.0, 310.0, 4.5};
        r.channels << channel;
    }
    return r.toLine();
}

// The log, written once per process, its index covering all but its last tailRecords lines.
const QString &benchLog()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString log = dir.filePath("qc-results.jsonl");
        QFile file(log);
        if (!file.open(QIODevice::WriteOnly))
            return log;
        for (int i = 0; i < logRecords - tailRecords; ++i)
            file.write(recordLine(i));
        file.flush();
        QcAttemptIndex(log).update();
        for (int i = logRecords - tailRecords; i < logRecords; ++i)
            file.write(recordLine(i));
        return log;
    }();
    return path;
}

QcPlanFile plan()
{
    return {QStringLiteral("plan.json"), R"([{"label": "Board 1", "duration": 10, "frames": 50}])",
            QString()};
}

// The dialog's Start: the attempt comes from the index and the log's short tail.
void BM_StartWithAttemptIndex(benchmark::State &state)
{
    const QString log = benchLog();
    QcRun run(Deliverable::Viewer, plan());
    run.setCaptureKeeping(QcCaptureKeeping::None, QString());
    run.recorder().setLog(log);
    run.recorder().setStation(QStringLiteral("station-a"), QString(), QString());
    int n = 0;
    for (auto _ : state) {
        run.recorder().setSerial(
            QStringLiteral("SN%1").arg(n++ * 7919 % boards, 8, 10, QLatin1Char('0')));
        run.start(QStringLiteral("Board 1"), 0);
        if (run.attemptPending())
            state.SkipWithError("the index did not answer");
        run.cancel();
    }
    state.counters["records"] = logRecords;
}
BENCHMARK(BM_StartWithAttemptIndex)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// Without the index: one reading of the whole log for the board's runs, as a Start would need.
void BM_CountByReadingTheLog(benchmark::State &state)
{
    const QString log = benchLog();
    for (auto _ : state)
        benchmark::DoNotOptimize(QcAttemptIndex(log).runsInWholeLog(
            {QStringLiteral("station-a"), QStringLiteral("Board 1"),
             QStringLiteral("SN00000001")}));
}
BENCHMARK(BM_CountByReadingTheLog)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// Making the index of the whole log anew, as after a lost index (off the GUI thread).
void BM_RebuildIndex(benchmark::State &state)
{
    const QString log = benchLog();
    for (auto _ : state) {
        QFile::remove(QcAttemptIndex::pathFor(log));
        QcAttemptIndex(log).update();
    }
}
BENCHMARK(BM_RebuildIndex)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
