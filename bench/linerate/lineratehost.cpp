// One program's real main window, started on the serial port given as the only argument, as the
// line-rate benchmark runs it. Prints "ready" once the port is open; a line on standard input then
// makes it print how many frames it has shown and quit.

#include "app/mainwindow.h"
#include "support/mainwindowprobe.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)
        || !startOnPort(window, QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "%s: cannot start on %s\n", argv[0], argv[1]);
        return 1;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        const DecoderStats &stats = MainWindowProbe::decoder(window).stats();
        std::printf("bytes %llu frames %llu\n", static_cast<unsigned long long>(stats.bytes),
                    static_cast<unsigned long long>(stats.framesByMarker + stats.framesBySync));
        std::fflush(stdout);
        app.quit();
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
