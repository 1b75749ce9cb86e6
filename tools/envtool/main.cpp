// envtool: records, decodes, simulates, taps and checks the module from the command line.

#include "cli.h"
#include "commands/commands.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// One row per command: a new command is its file in commands/ and a row here.
struct Command
{
    const char *name;
    const char *summary; // its line in the help text
    int (*run)(const QStringList &args);
    // render and report paint frames as the windows do, which takes Qt's painting and fonts,
    // but no display; everything else stays without a platform.
    bool paints;
};

const Command commands[] = {
    {"record", "write the raw byte stream of a port to a file", runRecord, false},
    {"decode", "decode a capture or session into frames (JSON Lines or CSV)", runDecode, false},
    {"simulate", "play the module on a pseudo-terminal or a port", runSimulate, false},
    {"ports", "list the serial ports, their stable names and who holds them", runPorts, false},
    {"qc", "run a test of a plan on a port or a capture", runQc, false},
    {"tap", "forward and record the line between module and viewer", runTap, false},
    {"results", "runs and yield per test, from the test records", runResults, false},
    {"runs", "the individual runs of the test records, and one in full", runRuns, false},
    {"sync", "send the test records to the fleet's PostgreSQL database", runSync, false},
    {"report", "one HTML page of yields, failures and channels", runReport, true},
    {"render", "one frame of a capture or session as a PNG, as a window paints it", runRender,
     true},
};

const Command *commandNamed(const char *name)
{
    for (const Command &command : commands) {
        if (std::strcmp(command.name, name) == 0)
            return &command;
    }
    return nullptr;
}

QString commandList()
{
    QStringList rows;
    for (const Command &command : commands)
        rows << QStringLiteral("  %1  %2")
                    .arg(QString::fromLatin1(command.name).leftJustified(8),
                         QString::fromLatin1(command.summary));
    return rows.join(QLatin1Char('\n'));
}

// envtool says what went wrong in its own one-line errors; Qt's warnings (the offscreen
// platform's missing runtime folder, say) are not for its users.
void criticalOnly(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}
} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(criticalOnly);
    const Command *named = argc > 1 ? commandNamed(argv[1]) : nullptr;
    std::unique_ptr<QCoreApplication> app;
    if (named && named->paints) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("envtool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ENVTOOL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The viewer's command-line companion.\n\n"
                                                    "Commands:\n")
                                     + commandList()
                                     + QStringLiteral("\n\n'envtool <command> --help' describes "
                                                      "a command."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."),
                                 QStringLiteral("<command> [options]"));
    // Everything after the command belongs to the command's own parser.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments()))
        return reportError(QString(), parser.errorText());
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(QStringLiteral("envtool ") + QCoreApplication::applicationVersion());
        return ExitSuccess;
    }
    const QStringList args = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        QString help = parser.helpText();
        help.replace(0, help.indexOf(QLatin1String(" [")), QStringLiteral("Usage: envtool"));
        std::fputs(help.toLocal8Bit().constData(), stdout);
        return ExitSuccess;
    }
    if (args.isEmpty())
        return reportError(QString(), QStringLiteral("no command given (try 'envtool --help')"));

    const QString name = args.first();
    for (const Command &command : commands) {
        if (name == QLatin1String(command.name))
            return command.run(args);
    }
    return reportError(QString(),
                       QStringLiteral("unknown command '%1' (try 'envtool --help')").arg(name));
}
