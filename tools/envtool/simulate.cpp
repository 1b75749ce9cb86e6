#include "cli.h"
#include "commands.h"
#include "moduleline.h"
#include "qc/qccheck.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <limits>

int runSimulate(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("simulate"),
                         QStringLiteral("Plays the module: sends frames of 27 points with flag "
                                        "bytes and sync runs, paced like a 115200-baud line, and "
                                        "prints each command packet it receives, one per line. "
                                        "With --pty the first line of output is the path of the "
                                        "pseudo-terminal to start a viewer on."));
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

    // Everything the simulator will send is checked before the line exists.
    std::unique_ptr<ModuleFrames> frames;
    std::unique_ptr<QFile> capture;
    if (set("replay")) {
        capture = std::make_unique<QFile>(cli.value(QStringLiteral("replay")));
        if (!capture->open(QIODevice::ReadOnly)) {
            return cli.usageError(QStringLiteral("cannot read %1: %2")
                                      .arg(capture->fileName(), capture->errorString()));
        }
        SessionFile header(capture.get());
        if (!header.readHeader() || !capture->seek(0))
            return cli.usageError(capture->fileName() + QStringLiteral(": ") + header.error());
    } else if (set("plan")) {
        const QString planName = cli.value(QStringLiteral("plan"));
        QFile planFile(planName);
        if (!planFile.open(QIODevice::ReadOnly))
            return cli.usageError(
                QStringLiteral("cannot read %1: %2").arg(planName, planFile.errorString()));
        const QByteArray document = planFile.readAll();
        if (!QJsonDocument::fromJson(document).isArray())
            return cli.usageError(QStringLiteral("%1 is not a plan (a JSON array)").arg(planName));
        const QString label = cli.value(QStringLiteral("test"));
        const QList<QcType> plan = parseQcDocument(document);
        const auto type = std::find_if(plan.begin(), plan.end(),
                                       [&](const QcType &t) { return t.label == label; });
        if (type == plan.end())
            return cli.usageError(QStringLiteral("%1 has no test \"%2\"").arg(planName, label));
        QString error;
        auto built = PlanFrames::forTest(*type, failChannel, quint32(*seed), &error);
        if (!built)
            return cli.usageError(error);
        frames = std::make_unique<PlanFrames>(std::move(*built));
    } else {
        frames = std::make_unique<WaveFrames>(quint32(*seed));
    }

    // From here on Ctrl-C and SIGTERM stop the simulator cleanly: a caller may send them as soon
    // as it has read the line's path.
    StopSignal stopSignal;
    QObject::connect(&stopSignal, &StopSignal::stopRequested, [] { QCoreApplication::exit(0); });

    std::unique_ptr<ModuleLine> line;
    QString error;
    if (set("pty")) {
        auto pty = std::make_unique<PtyLine>();
        if (!pty->open(&error))
            return cli.usageError(error);
        if (set("link") && !pty->makeLink(cli.value(QStringLiteral("link")), &error))
            return cli.usageError(error);
        printLine(pty->slavePath());
        line = std::move(pty);
    } else {
        const QString portName = cli.value(QStringLiteral("port"));
        auto port = std::make_unique<PortLine>(portName);
        if (!port->open(&error))
            return cli.usageError(error);
        line = std::move(port);
    }

    Simulator simulator(line.get());
    if (capture)
        simulator.playCapture(std::move(capture), set("loop"), frameLimit);
    else
        simulator.playFrames(std::move(frames), fps, frameLimit, quint32(*seed));

    int exitCode = ExitSuccess;
    QObject::connect(&simulator, &Simulator::finished, [] { QCoreApplication::exit(0); });
    QObject::connect(line.get(), &ModuleLine::lost, [&](const QString &reason) {
        exitCode = cli.usageError(QStringLiteral("lost the line: %1").arg(reason));
        QCoreApplication::exit(0);
    });
    simulator.start();
    QCoreApplication::exec();
    simulator.finishCommands();
    if (exitCode == ExitSuccess && !simulator.captureError().isEmpty())
        return cli.usageError(cli.value(QStringLiteral("replay")) + QStringLiteral(": ")
                              + simulator.captureError());
    return exitCode;
}
