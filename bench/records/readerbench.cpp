// What the record reader's rule costs beside a JSON parse, in this process's CPU time: one typical
// record line (two channels with their statistics) parsed alone by QJsonDocument (the reader's
// parser before simdjson's), checked by the byte-level rule alone, and read whole by
// qcReadRecordLine.

#include "records/record.h"

#include <QJsonDocument>

#include <benchmark/benchmark.h>

namespace {

QByteArray typicalLine()
{
    QcRecord r;
    r.id = QStringLiteral("3f0b6a52-93d4-4c8e-9a57-0c1d2e3f4a5b");
    r.time = QStringLiteral("2026-12-07T10:01:02.487+01:00");
    r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
    r.program = r.rules = QStringLiteral("envviewer_qc");
    r.software = QStringLiteral("envviewer_qc 1.0.0");
    r.host = QStringLiteral("station-3");
    r.source = QStringLiteral("ttyUSB0");
    r.planPath = QStringLiteral("/etc/xdg/envviewer/qc.json");
    r.planSha256 = QString(64, QLatin1Char('a'));
    r.test = QStringLiteral("Board A");
    r.duration = 10;
    r.framesRequired = 50;
    r.frames = 160;
    r.verdict = QStringLiteral("Pass");
    for (int channel : {0, 26}) {
        QcRecordChannel c;
        c.channel = channel;
        c.good = c.need = 160;
        c.samples = 160;
        c.window = QcRecordWindow {-100, 100, 200, 1500};
        c.x = {-11.0, 12.0, 0.4375, 5.1021};
        c.y = {790.0, 912.0, 851.2, 20.47};
        r.channels.append(c);
    }
    QByteArray line = r.toLine();
    line.chop(1);
    return line;
}

void parseOnly(benchmark::State &state)
{
    const QByteArray line = typicalLine();
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(line));
}

void lineRuleOnly(benchmark::State &state)
{
    const QByteArray line = typicalLine();
    for (auto _ : state)
        benchmark::DoNotOptimize(qcRecordLineProblem(line));
}

void readRecordLine(benchmark::State &state)
{
    const QByteArray line = typicalLine();
    for (auto _ : state)
        benchmark::DoNotOptimize(qcReadRecordLine(line));
}

} // namespace

BENCHMARK(parseOnly)->MeasureProcessCPUTime();
BENCHMARK(lineRuleOnly)->MeasureProcessCPUTime();
BENCHMARK(readRecordLine)->MeasureProcessCPUTime();
BENCHMARK_MAIN();
