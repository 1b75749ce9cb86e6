// envtool render on a capture of a minute at the line rate (about 5,300 frames of 27 points):
// the last frame in-process (CPU time: reading, decoding the whole capture, painting the frame,
// the PNG), one early frame (decoding stops once it is painted), and the envtool program itself
// from start to exit (wall time, start-up and the offscreen platform included; its CPU time in the
// counter envtool_cpu_ms).

#include "sim/moduleframes.h"
#include "commands/render.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

namespace {

struct Capture
{
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("minute.bin"));

    Capture()
    {
        WaveFrames frames(1);
        StreamEncoder encoder;
        encoder.appendSync(2);
        for (quint64 n = 0; n < 5300; ++n)
            encoder.appendFrame(frames.frame(n), ModuleFrames::flags(n));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(encoder.takeBytes());
    }
};

const Capture &capture()
{
    static const Capture made;
    return made;
}

void renderInProcess(benchmark::State &state)
{
    RenderOptions options;
    options.input = capture().path;
    options.frame = int(state.range(0));
    options.program = Deliverable(state.range(1));
    options.output = capture().dir.filePath(QStringLiteral("frame.png"));
    for (auto _ : state) {
        if (RenderCommand(options).run() != 0)
            state.SkipWithError("render failed");
    }
}
// The last frame and frame 10, for envviewer, envviewer_qc and envviewer_lite.
BENCHMARK(renderInProcess)
    ->ArgsProduct({{-1, 10},
                   {int(Deliverable::Viewer), int(Deliverable::Qc), int(Deliverable::Lite)}})
    ->Unit(benchmark::kMillisecond);

void envtoolRender(benchmark::State &state)
{
    const QStringList args {QStringLiteral("render"), capture().path, QStringLiteral("-o"),
                            capture().dir.filePath(QStringLiteral("program.png"))};
    auto childCpu = [] {
        rusage usage {};
        getrusage(RUSAGE_CHILDREN, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    };
    const double cpuBefore = childCpu();
    for (auto _ : state) {
        QElapsedTimer wall;
        wall.start();
        QProcess envtool;
        envtool.start(QStringLiteral(ENVTOOL_PATH), args);
        if (!envtool.waitForFinished(30000) || envtool.exitCode() != 0)
            state.SkipWithError("envtool render failed");
        state.SetIterationTime(wall.nsecsElapsed() / 1e9);
    }
    state.counters["envtool_cpu_ms"] = (childCpu() - cpuBefore) / double(state.iterations());
}
BENCHMARK(envtoolRender)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
