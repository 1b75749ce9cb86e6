// How long a chunk takes across the line, in wall time (latency is waiting, not computing):
// straight through one pseudo-terminal, as when the viewer opens the module's port itself, and
// through `envtool tap` (the module's pseudo-terminal, the tap, the viewer's pseudo-terminal),
// in each direction, with a session written. The median of the single transfers is the figure
// to read; "added" is the tap's median less the straight one.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

void makeRaw(int fd)
{
    termios tio {};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

// Writes `size` bytes to `from` and waits until all of them arrived at `to`; false on timeout.
// The bytes are LaserON packets, so that the tap names a command for each six of them.
bool transfer(int from, int to, int size)
{
    static const QByteArray bytes = QByteArray::fromHex("FFFFFFFF0201").repeated(1000);
    if (::write(from, bytes.constData(), size_t(size)) != size)
        return false;
    char buffer[4096];
    for (int got = 0; got < size;) {
        pollfd p {to, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1)
            return false;
        const ssize_t n = ::read(to, buffer, sizeof buffer);
        if (n > 0)
            got += int(n);
    }
    return true;
}

struct Line
{
    int moduleMaster = -1;
    int moduleSlave = -1;
    int viewer = -1; // the slave of the tap's pseudo-terminal
    QTemporaryDir dir;
    QProcess tap;

    bool open(bool withTap)
    {
        if (::openpty(&moduleMaster, &moduleSlave, nullptr, nullptr, nullptr) != 0)
            return false;
        makeRaw(moduleSlave);
        ::fcntl(moduleMaster, F_SETFD, FD_CLOEXEC);
        ::fcntl(moduleSlave, F_SETFD, FD_CLOEXEC);
        if (!withTap)
            return true;
        // Its command lines go to a file: a pipe that nobody reads would stall it.
        const QString out = dir.filePath(QStringLiteral("tap.out"));
        tap.setStandardOutputFile(out);
        tap.start(QStringLiteral(ENVTOOL_PATH),
                  {QStringLiteral("tap"), QStringLiteral("--port"),
                   QString::fromLocal8Bit(::ttyname(moduleSlave)), QStringLiteral("--pty"),
                   QStringLiteral("-o"), dir.filePath(QStringLiteral("bench.session"))});
        if (!tap.waitForStarted())
            return false;
        QFile lines(out);
        QByteArray path;
        for (int tries = 0; tries < 5000 && !path.endsWith('\n'); ++tries) {
            ::usleep(1000);
            if (lines.isOpen() || lines.open(QIODevice::ReadOnly))
                path += lines.readLine();
        }
        path = path.trimmed();
        viewer = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (viewer < 0)
            return false;
        makeRaw(viewer);
        // The tap forwards once it has seen the viewer open: a first chunk shows it has.
        return transfer(viewer, moduleMaster, 1);
    }

    ~Line()
    {
        for (int fd : {viewer, moduleSlave, moduleMaster})
            if (fd >= 0)
                ::close(fd);
        tap.terminate();
        tap.waitForFinished();
    }
};

enum class Path { Straight, TapToViewer, TapToModule };

void latency(benchmark::State &state, Path path)
{
    Line line;
    if (!line.open(path != Path::Straight)) {
        state.SkipWithError("cannot set up the line");
        return;
    }
    const int from = path == Path::TapToModule ? line.viewer : line.moduleMaster;
    const int to = path == Path::Straight ? line.moduleSlave
        : path == Path::TapToViewer       ? line.viewer
                                          : line.moduleMaster;
    const int size = int(state.range(0));
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!transfer(from, to, size)) {
            state.SkipWithError("a chunk did not arrive");
            return;
        }
        const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(taken.count());
        samples.push_back(taken.count());
    }
    std::nth_element(samples.begin(), samples.begin() + long(samples.size() / 2), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2] * 1e6;
}

} // namespace

// Chunks of one command packet (6 bytes) and about one frame (120 bytes).
BENCHMARK_CAPTURE(latency, straight, Path::Straight)->Arg(6)->Arg(120)->UseManualTime();
BENCHMARK_CAPTURE(latency, tap_module_to_viewer, Path::TapToViewer)
    ->Arg(6)
    ->Arg(120)
    ->UseManualTime();
BENCHMARK_CAPTURE(latency, tap_viewer_to_module, Path::TapToModule)
    ->Arg(6)
    ->Arg(120)
    ->UseManualTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
