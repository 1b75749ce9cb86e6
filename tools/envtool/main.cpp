// envtool: records, decodes, simulates, taps and checks the module from the command line.

#include "cli.h"
#include "commands.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
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
    // render and report paint frames as the windows do, which takes Qt's painting and fonts, but
    // no display; everything else stays without a platform.
    std::unique_ptr<QCoreApplication> app;
    if (argc > 1 && (std::strcmp(argv[1], "render") == 0 || std::strcmp(argv[1], "report") == 0)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("envtool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ENVTOOL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The viewer's command-line companion.\n\n"
                       "Commands:\n"
                       "  record    write the raw byte stream of a port to a file\n"
                       "  decode    decode a capture or session into frames (JSON Lines or CSV)\n"
                       "  simulate  play the module on a pseudo-terminal or a port\n"
                       "  qc        run a test of a plan on a port or a capture\n"
                       "  tap       forward and record the line between module and viewer\n"
                       "  results   runs and yield per test, from the test records\n"
                       "  sync      send the test records to the fleet's PostgreSQL database\n"
                       "  report    one HTML page of yields, failures and channels\n"
                       "  render    one frame of a capture or session as a PNG, as a window "
                       "paints it\n\n"
                       "'envtool <command> --help' describes a command."));
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

    const QString command = args.first();
    if (command == QLatin1String("record"))
        return runRecord(args);
    if (command == QLatin1String("decode"))
        return runDecode(args);
    if (command == QLatin1String("simulate"))
        return runSimulate(args);
    if (command == QLatin1String("qc"))
        return runQc(args);
    if (command == QLatin1String("tap"))
        return runTap(args);
    if (command == QLatin1String("results"))
        return runResults(args);
    if (command == QLatin1String("sync"))
        return runSync(args);
    if (command == QLatin1String("report"))
        return runReport(args);
    if (command == QLatin1String("render"))
        return runRender(args);
    return reportError(QString(),
                       QStringLiteral("unknown command '%1' (try 'envtool --help')").arg(command));
}
