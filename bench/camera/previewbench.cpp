// The camera preview on a capture that has stopped giving frames, as when the camera is unplugged:
// the process's CPU time over spans of wall time, for a preview that reads again at once and for
// one that waits between reads as the programs' does. "reads" counts the reads in each span.

#include "camera/camerapreview.h"

#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <benchmark/benchmark.h>

namespace {

constexpr int spanMs = 250;

void BM_PreviewOfDryCapture(benchmark::State &state)
{
    // One frame and no more: the image back end runs dry after it, as a real capture would.
    QTemporaryDir dir;
    cv::imwrite(dir.filePath(QStringLiteral("frame_000.png")).toStdString(),
                cv::Mat(240, 320, CV_8UC3, cv::Scalar(40, 80, 120)));
    cv::VideoCapture capture(dir.filePath(QStringLiteral("frame_%03d.png")).toStdString(),
                             cv::CAP_IMAGES);
    if (!capture.isOpened()) {
        state.SkipWithError("no image sequence");
        return;
    }
    CameraPreview preview(capture, int(state.range(0)));
    preview.start();
    double reads = 0;
    for (auto _ : state) {
        const int before = preview.framesMissed();
        QEventLoop loop;
        QTimer::singleShot(spanMs, &loop, &QEventLoop::quit);
        loop.exec();
        reads += preview.framesMissed() - before;
    }
    preview.stop();
    state.counters["reads"] = benchmark::Counter(reads, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PreviewOfDryCapture)
    ->ArgName("retryMs")
    ->Arg(0)
    ->Arg(CameraPreview::defaultRetryIntervalMs)
    ->Iterations(8)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
