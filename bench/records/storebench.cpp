// What a sync costs, wall time and this process's CPU time (the server's is not counted): the
// first sync of 100,000 records into an empty database, and 100 new records onto those 100,000.
// Records are as envtool qc writes them for the example plan: two channels with their
// statistics.

#include "records/logsync.h"
#include "support/postgresserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr int fleetRecords = 100000;
constexpr int newRecords = 100;

PostgresServer *server = nullptr;
QTemporaryDir *folder = nullptr;
int databases = 0;

QByteArray records(int count, int firstSerial)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i) {
        QcRecord r;
        r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.time = QStringLiteral("2026-03-01T10:%1:%2.000+01:00")
                     .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                     .arg(i % 60, 2, 10, QLatin1Char('0'));
        r.judged = QDateTime::fromString(r.time, Qt::ISODateWithMs);
        r.program = QStringLiteral("envviewer_qc");
        r.software = QStringLiteral("envviewer_qc 1.0.0");
        r.rules = QStringLiteral("envviewer_qc");
        r.host = QStringLiteral("station-7");
        r.source = QStringLiteral("/dev/ttyUSB0");
        r.planPath = QStringLiteral("/etc/xdg/envviewer/qc.json");
        r.planSha256 = QString(64, QLatin1Char('a'));
        r.test = QStringLiteral("Board A");
        r.duration = 10;
        r.framesRequired = 50;
        r.frames = 100;
        for (int channel : {0, 26}) {
            QcRecordChannel c;
            c.channel = channel;
            c.good = 90;
            c.need = 30;
            c.samples = 100;
            c.window = QcRecordWindow {-100, 100, 200, 1500};
            c.x = {-12.0, 14.0, 0.37, 5.123456789};
            c.y = {800.0, 900.0, 851.25, 20.5};
            r.channels.append(c);
        }
        r.verdict = i % 10 ? QStringLiteral("Pass") : QStringLiteral("Fail");
        if (!r.passed())
            r.failures = QStringList {QStringLiteral("Frame Count Fail")};
        r.serial = QStringLiteral("SN-%1").arg(firstSerial + i);
        lines += r.toLine();
    }
    return lines;
}

bool append(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
}

// Syncs the log as `envtool sync` does; the number of records sent.
qint64 syncLog(const QString &url, const QString &log, benchmark::State &state)
{
    RecordStore store;
    if (!store.open(url)) {
        state.SkipWithError(qPrintable(store.error()));
        return 0;
    }
    LogSync sync(store, log, QStringLiteral("station-7"));
    if (!sync.begin()) {
        state.SkipWithError(qPrintable(sync.error()));
        return 0;
    }
    do {
        if (!sync.step(1000)) {
            state.SkipWithError(qPrintable(sync.error()));
            return 0;
        }
    } while (!sync.atEnd());
    return sync.sent();
}

void firstSync(benchmark::State &state)
{
    const QString log = folder->filePath(QStringLiteral("first.jsonl"));
    if (!QFile::exists(log) && !append(log, records(fleetRecords, 0)))
        return state.SkipWithError("cannot write the log");
    for (auto _ : state) {
        state.PauseTiming();
        const QString url = server->createDatabase(QStringLiteral("first%1").arg(++databases));
        state.ResumeTiming();
        if (syncLog(url, log, state) != fleetRecords)
            return state.SkipWithError("not every record was sent");
    }
    state.counters["records/s"] = benchmark::Counter(double(fleetRecords) * state.iterations(),
                                                     benchmark::Counter::kIsRate);
}

void hundredNew(benchmark::State &state)
{
    const QString log = folder->filePath(QStringLiteral("growing.jsonl"));
    QFile::remove(log);
    const QString url = server->createDatabase(QStringLiteral("growing%1").arg(++databases));
    if (!append(log, records(fleetRecords, 0)) || syncLog(url, log, state) != fleetRecords)
        return state.SkipWithError("cannot prepare the synced log");
    int serial = fleetRecords;
    for (auto _ : state) {
        state.PauseTiming();
        append(log, records(newRecords, serial));
        serial += newRecords;
        state.ResumeTiming();
        if (syncLog(url, log, state) != newRecords)
            return state.SkipWithError("not every new record was sent");
    }
}

} // namespace

BENCHMARK(firstSync)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(hundredNew)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    PostgresServer postgres;
    QTemporaryDir dir;
    if (!postgres.start()) {
        std::fprintf(stderr, "bench_store: no PostgreSQL server: %s\n",
                     qPrintable(postgres.whyNot()));
        return 0;
    }
    server = &postgres;
    folder = &dir;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
