// What envtool results and envtool report cost over a log of its own making, as a station's users
// run them: each command is a child process, timed by its own CPU time (user + system, from
// wait4) and its peak resident memory, wall time beside. A bare reader that only splits the log
// into lines runs in-process beside them, so that the commands' cost reads as a multiple of the
// disk's.
//
// Records as envtool qc writes them: all 27 channels judged (about 7 KB a line) or the example
// plan's two; one run in ten fails, one board in ten is tested again, over 30 days and 3 stations.
// 100,000 records by default; --records=N (or ENVTOOL_BENCH_RECORDS) for another count.
// ENVTOOL_BASELINE=PATH times a second envtool (the tree before a change) in the same run, so
// that the two read side by side. ENVTOOL_BENCH_FOLDER=DIR writes the logs there and keeps them.

#include "records/record.h"
#include "records/resultslog.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

qint64 recordCount = 100000;
QTemporaryDir *folder = nullptr;
std::map<int, QString> logs; // by channels

QcRecord benchRecord(qint64 i, int channels)
{
    QcRecord r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QDateTime start(QDate(2026, 3, 1), QTime(6, 0), Qt::OffsetFromUTC, 3600);
    // 30 days of runs, whatever their count.
    r.judged = start.addMSecs(i * (30LL * 86400000 / recordCount) + i % 997);
    r.time = qcRecordTime(r.judged);
    r.program = r.rules = QStringLiteral("envviewer_qc");
    r.software = QStringLiteral("envviewer_qc 1.0.0");
    r.host = QStringLiteral("station-%1").arg(i % 3);
    r.station = QStringLiteral("Line 1 / %1").arg(i % 3);
    r.source = QStringLiteral("/dev/ttyUSB0");
    r.planPath = QStringLiteral("/etc/xdg/envviewer/qc.json");
    r.planSha256 = QStringLiteral("9f2c4e1a7b3d5f60812a4c6e8b0d2f4a6c8e0b2d4f6a8c0e2b4d6f8a0c2e4b6d");
    r.test = i % 5 ? QStringLiteral("Board A") : QStringLiteral("Board B");
    r.duration = 10.0 + (i % 7) * 0.125;
    r.framesRequired = 50;
    r.frames = 500;
    for (int channel = 0; channel < channels; ++channel) {
        QcRecordChannel c;
        c.channel = channels == 2 ? channel * 26 : channel;
        c.good = 480 + int(i % 20);
        c.need = 50;
        c.samples = 500;
        c.window = QcRecordWindow {-100, 100, 200, 1500};
        const double u = double((i * 7919 + channel * 104729) % 100003) / 100003.0;
        // Bounds are samples (three decimals); means and sds full doubles, as the check gives them.
        const double v = std::round(u * 1000) / 1000;
        c.x = {-14.0 - v, 13.0 + v, u * 20 - 10 + 0.1 / 3, 5.1 + u / 7};
        c.y = {790.0 + v, 912.0 - v, 851.2 + u * 100 - 50 + 1.0 / 3, 20.47 + u / 3};
        r.channels.append(c);
    }
    r.serial = QStringLiteral("SN-%1").arg(i - (i % 10 == 1), 8, 10, QLatin1Char('0'));
    r.attempt = i % 10 == 1 ? 2 : 1;
    r.verdict = i % 10 ? QStringLiteral("Pass") : QStringLiteral("Fail");
    if (!r.passed())
        r.failures = QStringList {
            QStringLiteral("Sample Count Fail : %1 [-100, 100], need: 50, got: %2")
                .arg(i % 27)
                .arg(i % 30)};
    return r;
}

QString outputFolder()
{
    const QString kept = qEnvironmentVariable("ENVTOOL_BENCH_FOLDER");
    return kept.isEmpty() ? folder->path() : kept;
}

QString writeLog(int channels)
{
    const QString path = QDir(outputFolder()).filePath(QStringLiteral("log-%1.jsonl").arg(channels));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray chunk;
    for (qint64 i = 0; i < recordCount; ++i) {
        chunk += benchRecord(i, channels).toLine();
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return file.error() == QFile::NoError ? path : QString();
}

const QString &logOf(int channels)
{
    if (!logs.count(channels))
        logs[channels] = writeLog(channels);
    return logs[channels];
}

double cpuSeconds(const rusage &usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs one envtool command to its end: false when it could not start or failed.
bool runChild(const std::vector<std::string> &args, double *cpu, double *peakMb)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    *cpu = cpuSeconds(usage);
    *peakMb = double(usage.ru_maxrss) / 1024.0; // kB
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void command(benchmark::State &state, const std::string &envtool, const std::string &which)
{
    const int channels = int(state.range(0));
    const QString log = logOf(channels);
    if (log.isEmpty()) {
        state.SkipWithError("cannot write the log");
        return;
    }
    std::vector<std::string> args {envtool, which, "--log", log.toStdString()};
    if (which == "report")
        args.insert(args.end(), {"--output", folder->filePath("report.html").toStdString()});
    double cpu = 0, peak = 0, cpuTotal = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!runChild(args, &cpu, &peak)) {
            state.SkipWithError("envtool failed");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpuTotal += cpu;
    }
    state.counters["CPU_s"] = benchmark::Counter(cpuTotal / double(state.iterations()));
    state.counters["peak_MB"] = peak;
    state.counters["log_MB"] = double(QFileInfo(log).size()) / 1e6;
    state.counters["records"] = double(recordCount);
}

double processCpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The log split into lines as the results log's reader splits it, and nothing done with them.
void bareReader(benchmark::State &state)
{
    const QString log = logOf(int(state.range(0)));
    double cpuTotal = 0;
    qint64 lines = 0;
    for (auto _ : state) {
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly)) {
            state.SkipWithError("cannot read the log");
            return;
        }
        lines = 0;
        LogLines reader(file);
        QByteArray line;
        LogLines::Kind kind = LogLines::Line;
        while (reader.next(&line, &kind)) {
            benchmark::DoNotOptimize(line.constData());
            ++lines;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpuTotal += processCpuSeconds() - cpuStart;
    }
    state.counters["CPU_s"] = cpuTotal / double(state.iterations());
    state.counters["records"] = double(lines);
}

void registerCommands(const std::string &label, const std::string &envtool)
{
    for (const char *which : {"results", "report"}) {
        benchmark::RegisterBenchmark((label + "/" + which).c_str(),
                                     [envtool, which = std::string(which)](benchmark::State &s) {
                                         command(s, envtool, which);
                                     })
            ->ArgName("channels")
            ->Arg(27)
            ->Arg(2)
            ->UseManualTime()
            ->Unit(benchmark::kSecond)
            ->Iterations(1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *count = std::getenv("ENVTOOL_BENCH_RECORDS"))
        recordCount = std::atoll(count);
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--records=", 10) == 0)
            recordCount = std::atoll(argv[i] + 10);
        else
            rest.push_back(argv[i]);
    }
    if (recordCount < 1)
        recordCount = 100000;
    int restCount = int(rest.size());
    QTemporaryDir dir;
    folder = &dir;
    benchmark::RegisterBenchmark("bareReader", bareReader)
        ->ArgName("channels")
        ->Arg(27)
        ->Arg(2)
        ->UseManualTime()
        ->Unit(benchmark::kSecond)
        ->Iterations(1);
    registerCommands("envtool", ENVTOOL_PATH);
    if (const char *baseline = std::getenv("ENVTOOL_BASELINE"))
        registerCommands("baseline", baseline);
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
