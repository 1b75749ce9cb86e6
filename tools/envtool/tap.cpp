#include "cli.h"
#include "commands.h"
#include "tapcommand.h"

int runTap(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("tap"),
        QStringLiteral("Sits on the line between the module and the viewer: opens the module's "
                       "port with the viewer's line settings and a pseudo-terminal for the "
                       "viewer, and forwards every byte both ways, unchanged. The first line of "
                       "output is the pseudo-terminal's path; then one line for each command "
                       "packet the viewer sends, with the seconds since the start. The viewer "
                       "may close and open its side again; when the module's port goes away, "
                       "the viewer's side hangs up and tap exits with 2."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("port"), QStringLiteral("The module's serial port."),
                 QStringLiteral("NAME")});
    p.addOption(
        {QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal for the viewer.")});
    p.addOption({QStringLiteral("link"),
                 QStringLiteral("Create it and make PATH a symbolic link to it."),
                 QStringLiteral("PATH")});
    p.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                 QStringLiteral("Write both directions to this session file."),
                 QStringLiteral("SESSION")});
    p.addOption({QStringLiteral("seconds"), QStringLiteral("Stop after this many seconds."),
                 QStringLiteral("S")});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("port")))
        return cli.usageError(QStringLiteral("--port is required"));
    if (cli.isSet(QStringLiteral("pty")) == cli.isSet(QStringLiteral("link")))
        return cli.usageError(QStringLiteral("give either --pty or --link"));
    std::optional<double> seconds;
    if (cli.isSet(QStringLiteral("seconds"))
        && !(seconds = cli.positiveNumber(QStringLiteral("seconds"))))
        return ExitError;

    TapOptions options;
    options.port = cli.value(QStringLiteral("port"));
    options.link = cli.value(QStringLiteral("link"));
    options.session = cli.value(QStringLiteral("output"));
    options.seconds = seconds;
    return TapCommand(options).run();
}
