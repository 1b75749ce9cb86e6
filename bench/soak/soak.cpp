// Soak: a long stream of frames through the envviewer window (offscreen, on a pseudo-terminal)
// while a quality-check dialog runs one test after another. Prints, per block of frames, the
// resident memory and the cost per frame (the process's CPU time and the wall time, pacing
// included), so growth or slowdown shows up as a trend.
//
//   bench_soak [--frames N] [--block N]      (default 1,000,000 frames in blocks of 100,000)

#include "app/mainwindow.h"
#include "link/streamencoder.h"
#include "support/mainwindowprobe.h"
#include "support/pseudoterminal.h"
#include "support/temporaryxdg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1 << 20) : 0;
}

double cpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A few hundred frames of 27 points with flags, varied so that every painter path runs.
QByteArray frameBlock(int frames)
{
    StreamEncoder encoder;
    encoder.appendSync(2);
    for (int f = 0; f < frames; ++f) {
        QVector<StreamPoint> points;
        for (int i = 0; i < 27; ++i)
            points.append({qint16(-190 + 14 * i + f % 7), qint16(150 + 40 * i + f % 13)});
        encoder.appendFrame(points, 0x80000001u | (quint32(f % 32) << 8));
    }
    return encoder.takeBytes();
}

int argument(const QStringList &args, const QString &name, int fallback)
{
    const int at = int(args.indexOf(name));
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int totalFrames = argument(args, QStringLiteral("--frames"), 1000000);
    const int blockFrames = qMax(1, argument(args, QStringLiteral("--block"), 100000));

    // A one-second test that every frame passes, started again as soon as it is judged; its
    // records go to a log of its own.
    TemporaryXdg xdg;
    QTemporaryDir planDir;
    QFile plan(planDir.filePath(QStringLiteral("qc.json")));
    if (!plan.open(QIODevice::WriteOnly))
        return 2;
    plan.write(R"([{"label": "Soak", "duration": 1, "frames": 1, "y": {"min": 0, "max": 2000},
                   "x": [{"index": 0, "count": 1, "min": -1000, "max": 1000}]}])");
    plan.close();
    PseudoTerminal module;
    MainWindow window;
    window.setProgramPath(planDir.filePath(QStringLiteral("envviewer")));
    window.show();
    if (!startOnPort(window, module.slavePath())) {
        std::fprintf(stderr, "the pseudo-terminal did not open\n");
        return 2;
    }

    QTest::mousePress(window.findChild<QAbstractButton *>(QStringLiteral("qcButton")),
                      Qt::LeftButton);
    auto *dialog = window.findChild<QDialog *>();
    if (!dialog) {
        std::fprintf(stderr, "no quality-check dialog\n");
        return 2;
    }
    auto *testStart = dialog->findChild<QAbstractButton *>(QStringLiteral("startButton"));
    auto *verdict = dialog->findChild<QLabel *>(QStringLiteral("passLabel"));
    int tests = 0;
    int passed = 0;
    auto startTest = [&] {
        QTest::mousePress(testStart, Qt::LeftButton);
        QTest::mouseRelease(testStart, Qt::LeftButton);
        ++tests;
    };
    startTest();

    long long framesSeen = 0;
    QObject::connect(&window, &MainWindow::frameDone, [&](const QList<short> &) { ++framesSeen; });

    const int framesPerChunk = 500;
    const QByteArray chunk = frameBlock(framesPerChunk);
    std::printf("%12s %12s %14s %14s %8s\n", "frames", "RSS MiB", "CPU us/frame", "wall us/frame",
                "tests");
    double startRss = 0;
    QElapsedTimer blockTimer;
    blockTimer.start();
    double blockCpu = cpuSeconds();
    long long blockStart = 0;
    while (framesSeen < totalFrames) {
        // Frames are decoded while the write waits for the line, so the target is set first.
        const long long target = framesSeen + framesPerChunk;
        if (!module.write(chunk)) {
            std::fprintf(stderr, "the line refused the stream\n");
            return 2;
        }
        QElapsedTimer stall;
        stall.start();
        while (framesSeen < target) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (stall.elapsed() > 3000) {
                const DecoderStats &stats = MainWindowProbe::decoder(window).stats();
                std::fprintf(
                    stderr, "stalled: %llu bytes decoded, %llu frames ended\n",
                    static_cast<unsigned long long>(stats.bytes),
                    static_cast<unsigned long long>(stats.framesByMarker + stats.framesBySync));
                return 3;
            }
        }
        const QString text = verdict->text();
        if (text != QLatin1String("Testing")) {
            passed += text == QLatin1String("Pass") ? 1 : 0;
            startTest();
        }
        if (framesSeen - blockStart >= blockFrames || framesSeen >= totalFrames) {
            const double frames = double(framesSeen - blockStart);
            const double us = double(blockTimer.nsecsElapsed()) / 1000.0 / frames;
            const double cpuUs = (cpuSeconds() - blockCpu) * 1e6 / frames;
            const double rss = residentMiB();
            if (startRss == 0)
                startRss = rss;
            std::printf("%12lld %12.2f %14.1f %14.1f %8d\n", framesSeen, rss, cpuUs, us, tests);
            std::fflush(stdout);
            blockStart = framesSeen;
            blockTimer.restart();
            blockCpu = cpuSeconds();
        }
    }
    std::printf("growth after the first block: %.2f MiB; tests judged: %d, passed: %d\n",
                residentMiB() - startRss, tests - 1, passed);
    return 0;
}
