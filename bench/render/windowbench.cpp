// The whole path of a frame through one program's real main window, offscreen: the module's
// bytes, decoding, painting the points and flags, and the frame end (copy to the shown image,
// label, background redraw, listeners). Built once per program.

#include "app/mainwindow.h"
#include "coldframes.h"
#include "link/streamencoder.h"
#include "support/mainwindowprobe.h"
#include "support/pseudoterminal.h"
#include "support/temporaryxdg.h"
#ifdef ENV_HAS_QC
#endif

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

namespace {

// Frames of 27 points with a little noise, as a module looking at its target sends them; the
// numbers therefore change from frame to frame.
QVector<QByteArray> moduleFrames()
{
    QRandomGenerator random(7);
    QVector<QByteArray> frames;
    for (int f = 0; f < 64; ++f) {
        StreamEncoder encoder;
        if (f == 0)
            encoder.appendSync(2);
        QVector<StreamPoint> points;
        for (int i = 0; i < 27; ++i) {
            points.append({qint16(-195 + 15 * i + random.bounded(-3, 4)),
                           qint16(120 + (i * 37) % 110 + random.bounded(-3, 4))});
        }
        encoder.appendFrame(points, 0xA55AFF81u ^ quint32(random.bounded(256)));
        frames.append(encoder.takeBytes());
    }
    return frames;
}

// A window as the operator has it: shown and, where the program has one, a quality-check dialog
// open and running a test on every frame.
struct Session
{
    explicit Session(bool withQcDialog = true)
    {
#ifdef ENV_HAS_QC
        window.setProgramPath(QStringLiteral(ENV_SOURCE_DIR "/examples/envviewer"));
#endif
        window.show();
#ifndef ENV_HAS_QC
        Q_UNUSED(withQcDialog)
#else
        if (withQcDialog)
            QMetaObject::invokeMethod(&window, "on_qcButton_pressed");
        if (auto *dialog = window.findChild<QDialog *>()) {
            if (auto *start = dialog->findChild<QPushButton *>(QStringLiteral("startButton")))
                start->click();
        }
#endif
        QCoreApplication::processEvents();
    }
    TemporaryXdg xdg; // a judged test appends no record to the user's log
    MainWindow window;
};

void addShare(benchmark::State &state)
{
    // Share of one core at the line's full rate of about 80 frames a second, in percent.
    state.counters["core_%_at_80fps"] = benchmark::Counter(
        1.0 / 8000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Bytes handed straight to the window's decoder: decoding, painting and the frame end.
void decodeAndShow(benchmark::State &state)
{
    Session session;
    StreamDecoder &decoder = MainWindowProbe::decoder(session.window);
    const QVector<QByteArray> frames = moduleFrames();
    int f = 0;
    for (auto _ : state) {
        const QByteArray &bytes = frames.at(f++ % frames.size());
        decoder.decode(bytes.constData(), bytes.size());
    }
    addShare(state);
}

// The same, then the event loop runs so that the window repaints what it shows.
void decodeShowAndRepaint(benchmark::State &state)
{
    Session session;
    StreamDecoder &decoder = MainWindowProbe::decoder(session.window);
    const QVector<QByteArray> frames = moduleFrames();
    int f = 0;
    for (auto _ : state) {
        const QByteArray &bytes = frames.at(f++ % frames.size());
        decoder.decode(bytes.constData(), bytes.size());
        QCoreApplication::processEvents();
    }
    addShare(state);
}

// Through a real line: the module writes a frame to a pseudo-terminal, the window's port reads it
// in dataAvailable, and the event loop runs until the frame has ended.
void throughSerialPort(benchmark::State &state)
{
    Session session;
    PseudoTerminal module;
    if (!module.isOpen() || !startOnPort(session.window, module.slavePath())) {
        state.SkipWithError("the window could not start on a pseudo-terminal");
        return;
    }

    const StreamDecoder &decoder = MainWindowProbe::decoder(session.window);
    const QVector<QByteArray> frames = moduleFrames();
    int f = 0;
    for (auto _ : state) {
        const quint64 ended = decoder.stats().framesByMarker;
        module.write(frames.at(f++ % frames.size()));
        while (decoder.stats().framesByMarker == ended)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    addShare(state);
}

// As at the line rate (coldframes.h); the window alone, as the line-rate benchmark starts it.
void decodeShowAndRepaintColdCaches(benchmark::State &state)
{
    Session session(false);
    StreamDecoder &decoder = MainWindowProbe::decoder(session.window);
    showFramesWithColdCaches(state, decoder);
    addShare(state);
}

} // namespace

#define PATH_BENCHMARK(name) \
    BENCHMARK(name)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true)
PATH_BENCHMARK(decodeAndShow);
PATH_BENCHMARK(decodeShowAndRepaint);
PATH_BENCHMARK(throughSerialPort);
BENCHMARK(decodeShowAndRepaintColdCaches)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
