// Arbitrary bytes as the module's stream, painted frame after frame by a program's renderer (the
// first byte picks it), so that every frame is painted over the one before where the two differ.
#include "link/streamdecoder.h"
#include "render/framerenderer.h"

#include <QGuiApplication>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_render";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    Q_UNUSED(app)
    if (size == 0)
        return 0;
    static const Deliverable programs[] = {Deliverable::Viewer, Deliverable::Qc, Deliverable::Lite};
    FrameRenderer renderer(programs[data[0] % 3]);
    StreamDecoder decoder(&renderer, renderer.frameMode());
    decoder.decode(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    // What came after the last frame end, painted as the next frame finds it.
    renderer.canvasImage();
    return 0;
}
