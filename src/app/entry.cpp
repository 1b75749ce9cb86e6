#include "app/entry.h"

#include "app/mainwindow.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *programName = deliverableName(MainWindow::deliverable);

bool hasArgument(int argc, char *argv[], std::initializer_list<const char *> names)
{
    for (int i = 1; i < argc; ++i) {
        for (const char *name : names) {
            if (argv[i] && std::strcmp(argv[i], name) == 0)
                return true;
        }
    }
    return false;
}

// Qt's default platform needs a display; a platform chosen by the user is left to Qt.
bool displayOrPlatformNamed(int argc, char *argv[])
{
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(variable))
            return true;
    }
    return hasArgument(argc, argv, {"-platform", "--platform"});
}

QtMessageHandler qtMessageHandler = nullptr;

// While the application starts, Qt's only fatal message is that no platform plugin could start
// (a display that cannot be reached, a missing plugin): after Qt's own warnings say why, the
// program ends with one line and exit code 1 instead of an abort.
void startupMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        qtMessageHandler(type, context, message);
        return;
    }
    std::fprintf(stderr, "%s: no display could be opened (Qt's platform plugin did not start)\n",
                 programName);
    std::_Exit(1); // the application is half built: nothing may run its destructors
}

} // namespace

int runProgram(int argc, char *argv[])
{
    // Answered before Qt starts, so that they need no display.
    if (hasArgument(argc, argv, {"-h", "--help"})) {
        std::printf("Usage: %s [Qt options]\n"
                    "Shows the frames of a sensor module on a serial line live.\n\n"
                    "Options:\n"
                    "  -h, --help  show this help and exit\n"
                    "  --version   show the version and exit\n\n"
                    "Qt's standard options, such as -platform NAME, are accepted as well.\n"
                    "See %s(1).\n",
                    programName, programName);
        return 0;
    }
    if (hasArgument(argc, argv, {"--version"})) {
        std::printf("%s %s\n", programName, ENV_VERSION);
        return 0;
    }
    if (!displayOrPlatformNamed(argc, argv)) {
        std::fprintf(stderr, "%s: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n",
                     programName);
        return 1;
    }

    qtMessageHandler = qInstallMessageHandler(startupMessage);
    QApplication application(argc, argv);
    qInstallMessageHandler(qtMessageHandler);
    MainWindow window;
#ifdef ENV_HAS_QC
    // The quality-check plan is looked for beside the path the program was started by.
    window.setProgramPath(argc > 0 && argv[0] ? QString::fromUtf8(argv[0]) : QString());
#endif
    window.show();
    return application.exec();
}
