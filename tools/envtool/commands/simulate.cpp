#include "simulatecommand.h"

#include "cli.h"
#include "qc/qccheck.h"
#include "sim/moduleline.h"
#include "sim/simulator.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>

#include <algorithm>

namespace {
const QString command = QStringLiteral("simulate");

int usageError(const QString &message)
{
    return reportError(command, message);
}
} // namespace

SimulateCommand::SimulateCommand(const SimulateOptions &options)
    : options(options)
{
}

int SimulateCommand::run()
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
            return usageError(
                QStringLiteral("%1 has no test \"%2\"").arg(options.plan, options.test));
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
