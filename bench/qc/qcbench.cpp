// Costs of the quality check per frame and per plan: the frame intake runs inside the window's
// serial-data handling, once for every frame the module sends.
#include "qc/qccheck.h"
#include "qc/qcplan.h"
#include "qc/qcrecorder.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

// One test type listing every channel, each with its own X window and Y additions.
QByteArray fullPlan()
{
    QByteArray doc = R"([{"label": "All", "duration": 3600, "frames": 1000,
                          "y": {"min": 100, "max": 1500}, "x": [)";
    for (int i = 0; i < qcChannelCount; ++i) {
        if (i)
            doc += ',';
        doc += QStringLiteral(R"({"index": %1, "count": 30, "min": %2, "max": %3,
                                  "minadd": 10, "maxadd": -10})")
                   .arg(i)
                   .arg(-100 - i)
                   .arg(100 + i)
                   .toUtf8();
    }
    return doc + "]}]";
}

void frameIntake(benchmark::State &state, Deliverable deliverable)
{
    QcCheck check(deliverable, parseQcDocument(fullPlan()));
    check.start(QStringLiteral("All"), 0);
    // Good, bad and skipped samples in turn, so every branch of the rule is taken.
    QList<QList<short>> frames;
    for (int f = 0; f < 3; ++f) {
        QList<short> frame;
        for (int i = 0; i < qcChannelCount; ++i) {
            const int kind = (i + f) % 3;
            frame << short(kind == 2 ? -50 : 500) << short(kind == 1 ? 400 : i);
        }
        frames << frame;
    }
    qint64 n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(check.addFrame(frames.at(n++ % 3), 1));
    state.SetItemsProcessed(state.iterations());
}

void BM_FrameIntakeViewer(benchmark::State &state)
{
    frameIntake(state, Deliverable::Viewer);
}
BENCHMARK(BM_FrameIntakeViewer);

void BM_FrameIntakeQc(benchmark::State &state)
{
    frameIntake(state, Deliverable::Qc);
}
BENCHMARK(BM_FrameIntakeQc);

void BM_ParseFullPlan(benchmark::State &state)
{
    const QByteArray doc = fullPlan();
    for (auto _ : state)
        benchmark::DoNotOptimize(parseQcDocument(doc));
    state.SetBytesProcessed(state.iterations() * doc.size());
}
BENCHMARK(BM_ParseFullPlan);

void BM_StartAndJudgeFailingRun(benchmark::State &state)
{
    QcCheck check(Deliverable::Viewer, parseQcDocument(fullPlan()));
    for (auto _ : state) {
        const QcStart start = check.start(QStringLiteral("All"), 0);
        benchmark::DoNotOptimize(start.ranges.size());
        benchmark::DoNotOptimize(check.judge().messages.size()); // 28 failure texts
    }
}
BENCHMARK(BM_StartAndJudgeFailingRun);

// What a verdict costs beyond the judgement: its test record built and appended to a log on
// disk (a failing run of every channel, so the record is as long as a full plan makes it).
void BM_RecordFailingRun(benchmark::State &state)
{
    QTemporaryDir dir;
    QcCheck check(Deliverable::Viewer, parseQcDocument(fullPlan()));
    check.start(QStringLiteral("All"), 0);
    const QcVerdict verdict = check.judge();
    QcRecorder recorder;
    recorder.setLog(dir.filePath(QStringLiteral("qc-results.jsonl")));
    recorder.setPlan(QStringLiteral("/etc/xdg/envviewer/qc.json"), fullPlan());
    QString error;
    for (auto _ : state) {
        if (!recorder.append(recorder.record(check, verdict, QDateTime::currentDateTime()), &error))
            state.SkipWithError(qPrintable(error));
    }
}
BENCHMARK(BM_RecordFailingRun);

} // namespace

BENCHMARK_MAIN();
