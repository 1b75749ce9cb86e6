// envtool simulate: plays the module on a pseudo-terminal or a port.
#include "cli.h"
#include "commands/commands.h"
#include "qc/qccheck.h"
#include "qc/qcfiles.h"
#include "sim/moduleline.h"
#include "sim/simulator.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <limits>
#include <optional>

namespace {
const QString command = QStringLiteral("simulate");

int usageError(const QString &message)
{
    return reportError(command, message);
}

struct SimulateOptions
{
    // Where to play: a new pseudo-terminal (its path printed first, `link` made to point to it
    // when given), or the serial port `port`.
    bool pty = false;
    QString link;
    QString port;
    qint64 frameLimit = -1; // stop after this many frames; < 0 never
    double fps = 0; // frames per second; 0 paces them as the line would
    quint32 seed = 1;
    // A raw capture or session to send as recorded instead of frames, from its start again at
    // its end with `loop`.
    QString replay;
    bool loop = false;
    // Frames built to pass the test `test` of the plan in the file `plan`, or to fail it on
    // `failChannel`.
    QString plan;
    QString test;
    std::optional<int> failChannel;
};

// Plays the module (see Simulator) until its frames or capture are done, the line goes, or
// SIGINT, SIGTERM or SIGHUP; returns the exit code.
int simulate(const SimulateOptions &options)
{
    // Everything the simulator will send is checked before the line exists.
    std::unique_ptr<ModuleFrames> frames;
    std::unique_ptr<QFile> capture;
    if (!options.replay.isEmpty()) {
        capture = std::make_unique<QFile>(options.replay);
        if (!capture->open(QIODevice::ReadOnly)) {
            return usageError(QStringLiteral("cannot read %1: %2")
                                  .arg(capture->fileName(), capture->errorString()));
        }
        SessionFile header(capture.get());
        if (!header.readHeader() || !capture->seek(0))
            return usageError(capture->fileName() + QStringLiteral(": ") + header.error());
    } else if (!options.plan.isEmpty()) {
        QFile planFile(options.plan);
        if (!planFile.open(QIODevice::ReadOnly))
            return usageError(
                QStringLiteral("cannot read %1: %2").arg(options.plan, planFile.errorString()));
        const QByteArray document = planFile.readAll();
        if (!QJsonDocument::fromJson(document).isArray())
            return usageError(QStringLiteral("%1 is not a plan (a JSON array)").arg(options.plan));
        const QList<QcType> plan = parseQcDocument(document);
        const auto type = std::find_if(plan.begin(), plan.end(),
                                       [&](const QcType &t) { return t.label == options.test; });
        if (type == plan.end())
            return usageError(qcSelectionProblem({options.plan, document, {}}, plan, options.test));
        QString error;
        auto built = PlanFrames::forTest(*type, options.failChannel, options.seed, &error);
        if (!built)
            return usageError(error);
        frames = std::make_unique<PlanFrames>(std::move(*built));
    } else {
        frames = std::make_unique<WaveFrames>(options.seed);
    }

    // From here on a stop signal ends the simulator cleanly: a caller may send one as soon as it
    // has read the line's path.
    QEventLoop loop;
    StopSignal stopSignal;
    QObject::connect(&stopSignal, &StopSignal::stopRequested, &loop, &QEventLoop::quit);

    std::unique_ptr<ModuleLine> line;
    QString error;
    if (options.pty) {
        auto pty = std::make_unique<PtyLine>();
        if (!pty->open(&error))
            return usageError(error);
        if (!options.link.isEmpty() && !pty->makeLink(options.link, &error))
            return usageError(error);
        printLine(pty->slavePath());
        line = std::move(pty);
    } else {
        auto port = std::make_unique<PortLine>(options.port);
        if (!port->open(&error))
            return usageError(error);
        line = std::move(port);
    }

    Simulator simulator(line.get());
    if (capture)
        simulator.playCapture(std::move(capture), options.loop, options.frameLimit);
    else
        simulator.playFrames(std::move(frames), options.fps, options.frameLimit, options.seed);

    int exitCode = ExitSuccess;
    QObject::connect(&simulator, &Simulator::finished, &loop, &QEventLoop::quit);
    QObject::connect(&simulator, &Simulator::commandReceived, &loop, &printLine);
    QObject::connect(line.get(), &ModuleLine::lost, &loop, [&](const QString &reason) {
        exitCode = usageError(QStringLiteral("lost the line: %1").arg(reason));
        loop.quit();
    });
    simulator.start();
    loop.exec();
    simulator.finishCommands();
    if (exitCode == ExitSuccess && !simulator.captureError().isEmpty())
        return usageError(options.replay + QStringLiteral(": ") + simulator.captureError());
    return exitCode;
}

// The command line, read through these objects.
struct SimulateArguments
{
    const QCommandLineOption pty {QStringLiteral("pty"),
                                  QStringLiteral("Create a pseudo-terminal to play on.")};
    const QCommandLineOption link {
        QStringLiteral("link"),
        QStringLiteral("With --pty: make PATH a symbolic link to the pseudo-terminal."),
        QStringLiteral("PATH")};
    const QCommandLineOption port {QStringLiteral("port"),
                                   QStringLiteral("Play on this serial port instead."),
                                   QStringLiteral("NAME")};
    const QCommandLineOption frames {QStringLiteral("frames"),
                                     QStringLiteral("Stop after N frames (default: never)."),
                                     QStringLiteral("N")};
    const QCommandLineOption fps {
        QStringLiteral("fps"),
        QStringLiteral("Send F frames per second instead of the line's pace."),
        QStringLiteral("F")};
    const QCommandLineOption seed {
        QStringLiteral("seed"),
        QStringLiteral("Seed of the frames' noise (default 1): the same seed, the same stream."),
        QStringLiteral("S"), QStringLiteral("1")};
    const QCommandLineOption replay {
        QStringLiteral("replay"),
        QStringLiteral("Send this raw capture as it was recorded instead of frames, or the "
                       "module's direction of this session at its times."),
        QStringLiteral("FILE")};
    const QCommandLineOption loop {QStringLiteral("loop"),
                                   QStringLiteral("With --replay: start again at its end.")};
    const QCommandLineOption plan {QStringLiteral("plan"),
                                   QStringLiteral("Send frames built to pass a test of this plan."),
                                   QStringLiteral("FILE")};
    const QCommandLineOption test {QStringLiteral("test"),
                                   QStringLiteral("With --plan: the test's label."),
                                   QStringLiteral("LABEL")};
    const QCommandLineOption failChannel {
        QStringLiteral("fail-channel"),
        QStringLiteral("With --plan: make channel N (0 to 26, as the plan numbers it) fail the "
                       "test."),
        QStringLiteral("N")};

    QList<QCommandLineOption> all() const
    {
        return {pty, link, port, frames, fps, seed, replay, loop, plan, test, failChannel};
    }
};

// The usage error of options that do not go together, if any.
QString conflict(const SubcommandParser &cli, const SimulateArguments &a)
{
    if (cli.isSet(a.pty) == cli.isSet(a.port))
        return QStringLiteral("give either --pty or --port");
    if (cli.isSet(a.link) && !cli.isSet(a.pty))
        return QStringLiteral("--link needs --pty");
    if (cli.isSet(a.loop) && !cli.isSet(a.replay))
        return QStringLiteral("--loop needs --replay");
    if (cli.isSet(a.replay) && (cli.isSet(a.plan) || cli.isSet(a.fps)))
        return QStringLiteral("--replay sends the capture as recorded: no --plan, no --fps");
    if (cli.isSet(a.plan) != cli.isSet(a.test))
        return QStringLiteral("--plan and --test go together");
    if (cli.isSet(a.failChannel) && !cli.isSet(a.plan))
        return QStringLiteral("--fail-channel needs --plan");
    return QString();
}

// The numbers of the options; false once a bad one is reported.
bool readNumbers(const SubcommandParser &cli, const SimulateArguments &a, SimulateOptions *options)
{
    if (cli.isSet(a.frames)) {
        const auto n = cli.wholeNumber(a.frames, 0, std::numeric_limits<qint64>::max());
        if (!n)
            return false;
        options->frameLimit = *n;
    }
    if (cli.isSet(a.fps)) {
        const auto f = cli.positiveNumber(a.fps);
        if (!f)
            return false;
        options->fps = *f;
    }
    const auto seed = cli.wholeNumber(a.seed, 0, std::numeric_limits<quint32>::max());
    if (!seed)
        return false;
    options->seed = quint32(*seed);
    if (cli.isSet(a.failChannel)) {
        const auto c = cli.wholeNumber(a.failChannel, 0, qcChannelCount - 1);
        if (!c)
            return false;
        options->failChannel = int(*c);
    }
    return true;
}
} // namespace

int runSimulate(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("simulate"),
                         QStringLiteral("Plays the module: sends frames of 27 points with flag "
                                        "bytes and sync runs, paced like a 115200-baud line, and "
                                        "prints each command packet it receives, one per line. "
                                        "With --pty the first line of output is the path of the "
                                        "pseudo-terminal to start a viewer on; the module starts "
                                        "when a viewer first opens it."));
    const SimulateArguments a;
    cli.parser().addOptions(a.all());
    if (const auto done = cli.parse(args))
        return *done;
    const QString problem = conflict(cli, a);
    if (!problem.isEmpty())
        return cli.usageError(problem);
    SimulateOptions options;
    if (!readNumbers(cli, a, &options))
        return ExitError;
    options.pty = cli.isSet(a.pty);
    options.link = cli.value(a.link);
    options.port = cli.value(a.port);
    options.replay = cli.value(a.replay);
    options.loop = cli.isSet(a.loop);
    options.plan = cli.value(a.plan);
    options.test = cli.value(a.test);
    return simulate(options);
}
