#include "cli.h"
#include "commands.h"
#include "qc/qccheck.h"
#include "simulatecommand.h"

#include <limits>

int runSimulate(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("simulate"),
                         QStringLiteral("Plays the module: sends frames of 27 points with flag "
                                        "bytes and sync runs, paced like a 115200-baud line, and "
                                        "prints each command packet it receives, one per line. "
                                        "With --pty the first line of output is the path of the "
                                        "pseudo-terminal to start a viewer on; the module starts "
                                        "when a viewer first opens it."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal to play on.")});
    p.addOption({QStringLiteral("link"),
                 QStringLiteral("With --pty: make PATH a symbolic link to the pseudo-terminal."),
                 QStringLiteral("PATH")});
    p.addOption({QStringLiteral("port"), QStringLiteral("Play on this serial port instead."),
                 QStringLiteral("NAME")});
    p.addOption({QStringLiteral("frames"), QStringLiteral("Stop after N frames (default: never)."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("fps"),
                 QStringLiteral("Send F frames per second instead of the line's pace."),
                 QStringLiteral("F")});
    p.addOption({QStringLiteral("seed"),
                 QStringLiteral("Seed of the frames' noise (default 1): the same seed, the same "
                                "stream."),
                 QStringLiteral("S"), QStringLiteral("1")});
    p.addOption({QStringLiteral("replay"),
                 QStringLiteral("Send this raw capture as it was recorded instead of frames, "
                                "or the module's direction of this session at its times."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("loop"), QStringLiteral("With --replay: start again at its end.")});
    p.addOption({QStringLiteral("plan"),
                 QStringLiteral("Send frames built to pass a test of this plan."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("test"), QStringLiteral("With --plan: the test's label."),
                 QStringLiteral("LABEL")});
    p.addOption({QStringLiteral("fail-channel"),
                 QStringLiteral("With --plan: make channel N (0 to 26, as the plan numbers it) "
                                "fail the test."),
                 QStringLiteral("N")});
    if (const auto done = cli.parse(args))
        return *done;
    auto set = [&](const char *name) { return cli.isSet(QLatin1String(name)); };
    if (set("pty") == set("port"))
        return cli.usageError(QStringLiteral("give either --pty or --port"));
    if (set("link") && !set("pty"))
        return cli.usageError(QStringLiteral("--link needs --pty"));
    if (set("loop") && !set("replay"))
        return cli.usageError(QStringLiteral("--loop needs --replay"));
    if (set("replay") && (set("plan") || set("fps")))
        return cli.usageError(
            QStringLiteral("--replay sends the capture as recorded: no --plan, no --fps"));
    if (set("plan") != set("test"))
        return cli.usageError(QStringLiteral("--plan and --test go together"));
    if (set("fail-channel") && !set("plan"))
        return cli.usageError(QStringLiteral("--fail-channel needs --plan"));

    qint64 frameLimit = -1;
    if (set("frames")) {
        const auto n
            = cli.wholeNumber(QStringLiteral("frames"), 0, std::numeric_limits<qint64>::max());
        if (!n)
            return ExitError;
        frameLimit = *n;
    }
    double fps = 0;
    if (set("fps")) {
        const auto f = cli.positiveNumber(QStringLiteral("fps"));
        if (!f)
            return ExitError;
        fps = *f;
    }
    const auto seed
        = cli.wholeNumber(QStringLiteral("seed"), 0, std::numeric_limits<quint32>::max());
    if (!seed)
        return ExitError;
    std::optional<int> failChannel;
    if (set("fail-channel")) {
        const auto c = cli.wholeNumber(QStringLiteral("fail-channel"), 0, qcChannelCount - 1);
        if (!c)
            return ExitError;
        failChannel = int(*c);
    }

    SimulateOptions options;
    options.pty = set("pty");
    options.link = cli.value(QStringLiteral("link"));
    options.port = cli.value(QStringLiteral("port"));
    options.frameLimit = frameLimit;
    options.fps = fps;
    options.seed = quint32(*seed);
    options.replay = cli.value(QStringLiteral("replay"));
    options.loop = set("loop");
    options.plan = cli.value(QStringLiteral("plan"));
    options.test = cli.value(QStringLiteral("test"));
    options.failChannel = failChannel;
    return SimulateCommand(options).run();
}
