// What the fleet's database costs, through envtool itself: the first sync of a log of realistic
// 27-channel records (about 7 KB a line) into an empty database, 100 new records onto that big
// store, and `results --db`, `report --db` and `results --capability --db` over it. For each, the
// wall time, envtool's CPU time and peak resident memory, and the server's CPU time.
//
//   bench_store [--records=N] [--envtool=PATH]... [benchmark options]
//   bench_store [--records=N] --write-log=PATH    (only writes the fleet's log, for a look at
//                                                  the server's plans)
//
// N is 100,000 unless given. Each --envtool (by default the one built beside this) gets its own
// databases, so that two builds are compared side by side in one run.

#include "records/record.h"
#include "support/postgresserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int newRecords = 100;
constexpr int channelCount = 27;

PostgresServer *server = nullptr;
QTemporaryDir *folder = nullptr;
int fleetRecords = 100000;

// A fleet's month: two tests at five stations, one run in ten failing and tried again, the
// channels' means wandering slowly inside their windows.
class FleetLog
{
public:
    QByteArray records(int count)
    {
        QByteArray lines;
        lines.reserve(count * 7400);
        const qint64 span = 30LL * 24 * 3600 * 1000; // a month, whatever the count
        const qint64 step = qMax<qint64>(1, span / qMax(fleetRecords, 1));
        for (int i = 0; i < count; ++i, ++made_) {
            QcRecord r;
            r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            r.judged = start_.addMSecs(made_ * step);
            r.time = qcRecordTime(r.judged);
            r.program = QStringLiteral("envviewer_qc");
            r.software = QStringLiteral("envviewer_qc 1.0.0");
            r.rules = QStringLiteral("envviewer_qc");
            const int station = int(made_ % 5);
            r.host = QStringLiteral("station-%1").arg(station + 1);
            r.station = r.host;
            r.fixture = QStringLiteral("fixture-%1").arg(station % 2 + 1);
            r.operatorName = QStringLiteral("operator-%1").arg(made_ / 2000 % 7);
            r.source = QStringLiteral("/dev/ttyUSB0");
            r.planPath = QStringLiteral("/etc/xdg/envviewer/qc.json");
            r.planSha256 = QString(64, QLatin1Char('a'));
            r.test = made_ % 3 ? QStringLiteral("Board A") : QStringLiteral("Board B");
            r.duration = 10;
            r.framesRequired = 50;
            r.frames = 500;
            QRandomGenerator &random = random_;
            const bool fails = random.bounded(10) == 0;
            const double wander = std::sin(double(made_) / 20000.0);
            for (int channel = 0; channel < channelCount; ++channel) {
                QcRecordChannel c;
                c.channel = channel;
                c.samples = 500;
                c.need = 300;
                c.window = QcRecordWindow {-100, 100, 200, 1500};
                const double mx = 10 * wander + random.generateDouble() * 4 - 2 + channel;
                const double my = 850 + 30 * wander + random.generateDouble() * 20 - 10;
                const double sx = 5 + random.generateDouble();
                const double sy = 20 + random.generateDouble() * 3;
                c.x = {mx - 3 * sx, mx + 3.2 * sx, mx, sx};
                c.y = {my - 3 * sy, my + 3.1 * sy, my, sy};
                c.good = fails && channel == 3 ? 250 : 500 - random.bounded(3);
                r.channels.append(c);
            }
            r.verdict = fails ? QStringLiteral("Fail") : QStringLiteral("Pass");
            if (fails)
                r.failures = QStringList {QStringLiteral("Channel 3 Fail")};
            // A board that failed is tried again by the next run of its station.
            if (!retry_[station].isEmpty() && r.test == retryTest_[station]) {
                r.serial = retry_[station];
                retry_[station].clear();
            } else {
                r.serial = QStringLiteral("SN-%1").arg(made_, 8, 10, QLatin1Char('0'));
            }
            if (fails) {
                retry_[station] = r.serial;
                retryTest_[station] = r.test;
            }
            lines += r.toLine();
        }
        return lines;
    }

private:
    QDateTime start_
        = QDateTime::fromString(QStringLiteral("2026-03-01T06:00:00.000+01:00"), Qt::ISODateWithMs);
    qint64 made_ = 0;
    QRandomGenerator random_ {29};
    QString retry_[5];
    QString retryTest_[5];
};

bool append(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
}

// CPU seconds of a process and of its children that it has waited for; 0 when it is gone.
double processCpu(pid_t pid, bool withChildren)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command's closing parenthesis, which may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 15)
        return 0;
    double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    if (withChildren)
        ticks += fields.at(13).toDouble() + fields.at(14).toDouble();
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

// The server's CPU seconds so far: the postmaster, its children alive and those it reaped.
double serverCpu()
{
    static pid_t postmaster = 0;
    if (postmaster == 0) {
        const QString backend
            = server->query(QStringLiteral("postgres"), QStringLiteral("SELECT pg_backend_pid()"))
                  .trimmed();
        QFile stat(QStringLiteral("/proc/%1/stat").arg(backend));
        if (!stat.open(QIODevice::ReadOnly)) // the backend is gone: its parent lives on
            return 0;
        const QByteArray text = stat.readAll();
        postmaster = pid_t(text.mid(text.lastIndexOf(')') + 2).split(' ').at(1).toInt());
    }
    double cpu = processCpu(postmaster, true);
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        if (text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toInt() == postmaster)
            cpu += processCpu(pid, false);
    }
    return cpu;
}

struct Run
{
    bool ok = false;
    double wall = 0; // seconds
    double cpu = 0; // envtool's, seconds
    double peakMb = 0; // envtool's peak resident memory
    double serverCpu = 0; // seconds
};

// Runs envtool with `args`, its output thrown away, and measures it.
Run runEnvtool(const QString &envtool, const QStringList &args)
{
    std::vector<QByteArray> storage {QFile::encodeName(envtool)};
    for (const QString &arg : args)
        storage.push_back(arg.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    Run run;
    const double serverBefore = serverCpu();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.serverCpu = serverCpu() - serverBefore;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakMb = double(usage.ru_maxrss) / 1024.0;
    return run;
}

void report(benchmark::State &state, const QList<Run> &runs)
{
    double cpu = 0, peak = 0, serverTotal = 0;
    for (const Run &r : runs) {
        cpu += r.cpu;
        serverTotal += r.serverCpu;
        peak = qMax(peak, r.peakMb);
    }
    const double n = qMax(1, int(runs.size()));
    state.counters["envtool_cpu_s"] = cpu / n;
    state.counters["server_cpu_s"] = serverTotal / n;
    state.counters["envtool_peak_MB"] = peak;
}

// One envtool build's store: its own database, synced once from the fleet's log.
struct Store
{
    QString envtool;
    QString url;
    QString log;
    bool synced = false;
};
QList<Store> stores;
FleetLog *fleetLog = nullptr;

QString fleetLogPath()
{
    const QString path = folder->filePath(QStringLiteral("fleet.jsonl"));
    if (!QFileInfo::exists(path)) {
        for (int done = 0; done < fleetRecords; done += 10000)
            if (!append(path, fleetLog->records(qMin(10000, fleetRecords - done))))
                return QString();
        std::fprintf(stderr, "bench_store: the log holds %.0f bytes a line\n",
                     double(QFileInfo(path).size()) / fleetRecords);
    }
    return path;
}

void firstSync(benchmark::State &state, int store)
{
    Store &s = stores[store];
    const QString log = fleetLogPath();
    if (log.isEmpty())
        return state.SkipWithError("cannot write the log");
    QList<Run> runs;
    for (auto _ : state) {
        s.url = server->createDatabase(QStringLiteral("fleet%1").arg(store));
        // Its own copy of the log, which the later runs grow.
        s.log = folder->filePath(QStringLiteral("fleet%1.jsonl").arg(store));
        QFile::remove(s.log);
        if (!QFile::copy(log, s.log))
            return state.SkipWithError("cannot copy the log");
        const Run run = runEnvtool(s.envtool,
                                   {QStringLiteral("sync"), QStringLiteral("--db"), s.url,
                                    QStringLiteral("--log"), s.log});
        if (!run.ok)
            return state.SkipWithError("envtool sync failed");
        state.SetIterationTime(run.wall);
        runs.append(run);
        s.synced = true;
    }
    report(state, runs);
    state.counters["records/s"] = double(fleetRecords) / runs.first().wall;
    state.counters["records/cpu_s"] = double(fleetRecords) / runs.first().cpu;
}

void hundredNew(benchmark::State &state, int store)
{
    Store &s = stores[store];
    if (!s.synced)
        return state.SkipWithError("no synced store");
    QList<Run> runs;
    for (auto _ : state) {
        state.PauseTiming();
        append(s.log, fleetLog->records(newRecords));
        state.ResumeTiming();
        const Run run = runEnvtool(s.envtool,
                                   {QStringLiteral("sync"), QStringLiteral("--db"), s.url,
                                    QStringLiteral("--log"), s.log});
        if (!run.ok)
            return state.SkipWithError("envtool sync failed");
        state.SetIterationTime(run.wall);
        runs.append(run);
    }
    report(state, runs);
}

void query(benchmark::State &state, int store, QStringList args)
{
    Store &s = stores[store];
    if (!s.synced)
        return state.SkipWithError("no synced store");
    args << QStringLiteral("--db") << s.url;
    QList<Run> runs;
    for (auto _ : state) {
        const Run run = runEnvtool(s.envtool, args);
        if (!run.ok)
            return state.SkipWithError("envtool failed (is the command there?)");
        state.SetIterationTime(run.wall);
        runs.append(run);
    }
    report(state, runs);
}

void registerBenchmarks()
{
    const QString page = folder->filePath(QStringLiteral("report.html"));
    for (int i = 0; i < stores.size(); ++i) {
        const std::string tag = "/" + std::to_string(i);
        benchmark::RegisterBenchmark(("firstSync" + tag).c_str(), firstSync, i)
            ->UseManualTime()
            ->Unit(benchmark::kSecond)
            ->Iterations(1);
        benchmark::RegisterBenchmark(("hundredNew" + tag).c_str(), hundredNew, i)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
        benchmark::RegisterBenchmark(("resultsDb" + tag).c_str(), query, i,
                                     QStringList {QStringLiteral("results")})
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
        benchmark::RegisterBenchmark(
            ("reportDb" + tag).c_str(), query, i,
            QStringList {QStringLiteral("report"), QStringLiteral("-o"), page})
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
        benchmark::RegisterBenchmark(
            ("capabilityDb" + tag).c_str(), query, i,
            QStringList {QStringLiteral("results"), QStringLiteral("--capability")})
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Our own options first; the rest are the benchmark library's.
    std::vector<char *> rest {argv[0]};
    QStringList envtools;
    QString logOnly;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg.startsWith("--records="))
            fleetRecords = qMax(1, arg.mid(10).toInt());
        else if (arg.startsWith("--write-log="))
            logOnly = QFile::decodeName(arg.mid(12));
        else if (arg.startsWith("--envtool="))
            envtools << QFile::decodeName(arg.mid(10));
        else
            rest.push_back(argv[i]);
    }
    if (envtools.isEmpty())
        envtools << QStringLiteral(ENVTOOL_PATH);
    if (!logOnly.isEmpty()) {
        FleetLog log;
        for (int done = 0; done < fleetRecords; done += 10000)
            if (!append(logOnly, log.records(qMin(10000, fleetRecords - done))))
                return 1;
        return 0;
    }
    int restCount = int(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    PostgresServer postgres;
    QTemporaryDir dir;
    if (!postgres.start()) {
        std::fprintf(stderr, "bench_store: no PostgreSQL server: %s\n",
                     qPrintable(postgres.whyNot()));
        return 0;
    }
    server = &postgres;
    folder = &dir;
    FleetLog log;
    fleetLog = &log;
    for (const QString &envtool : envtools) {
        std::fprintf(stderr, "bench_store: /%d is %s\n", int(stores.size()), qPrintable(envtool));
        stores.append({envtool, QString(), QString(), false});
    }
    std::fprintf(stderr, "bench_store: %d records of %d channels\n", fleetRecords, channelCount);
    registerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
