// envtool qc: one test of a plan, judged with the dialog's quality check on a port or a capture.
#include "cli.h"
#include "commands/commands.h"
#include "common/deliverable.h"
#include "common/files.h"
#include "link/serialnames.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "portloop.h"
#include "qc/qcrun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {
constexpr qint64 chunkSize = 1 << 16;
constexpr int judgeNow = -1;

// Hands every decoded frame to the run, stamped with the steady time it arrived, or with one
// fixed time for a capture, whose frames all arrive at its start as far as the check can tell.
class RunFeed : public DecoderSink
{
public:
    RunFeed(QcRun &run, std::optional<qint64> fixedTime)
        : run(run)
        , fixedTime(fixedTime)
    {
    }
    void frameEnded(const QList<short> &frame) override
    {
        run.addFrame(frame, fixedTime ? *fixedTime : qcSteadyMs());
    }

private:
    QcRun &run;
    std::optional<qint64> fixedTime;
};

int fail(const QString &message)
{
    return reportError(QStringLiteral("qc"), message);
}

struct QcOptions
{
    // The plan file; empty: the places the QC dialog looks at, beside `programPath` first.
    QString plan;
    QString programPath;
    QString test;
    // Exactly one of the two: a port to count live frames on, or a capture or session file.
    QString port;
    QString capture;
    Deliverable rules = Deliverable::Viewer;
    // Where else the test record goes: a file of its own, and the results log (empty: the usual
    // one) unless noLog.
    QString json;
    QString log;
    bool noLog = false;
    QString serial;
    // Who tests where: unset ones come from the [station] group of envviewer.conf.
    std::optional<QString> station;
    std::optional<QString> fixture;
    std::optional<QString> operatorName;
    // Keep the run's capture in this file whatever the records' `captures=` setting says.
    QString keepCapture;
};

class QcCommand
{
public:
    explicit QcCommand(QcOptions options)
        : options(std::move(options))
    {
    }
    // Prints the verdict and its failures; returns the exit code.
    int run();

private:
    // Feed the run; each returns an exit code, or -1 to judge what was counted.
    int countPort(QcRun &run, PortLoop &loop);
    int countCapture(QcRun &run, QString *damage);

    QcOptions options;
};

int QcCommand::run()
{
    // Installed first: a stop request that comes while the port opens waits for the event loop.
    PortLoop loop(QStringLiteral("qc"));
    QcRun run(options.rules,
              options.plan.isEmpty() ? findQcPlan(qcConfigDir(options.programPath))
                                     : readQcPlan(options.plan));
    const QcStationSettings station = readQcStationSettings();
    if (!station.problem.isEmpty())
        reportError(QStringLiteral("qc"), station.problem);
    QcRecorder &recorder = run.recorder();
    recorder.setStation(options.station.value_or(station.name),
                        options.fixture.value_or(station.fixture),
                        options.operatorName.value_or(station.operatorName));
    recorder.setSerial(options.serial);
    run.setRequireSerial(station.requireSerial);
    const QString problem = run.problem(options.test);
    if (!problem.isEmpty())
        return fail(problem);

    QcCaptureKeeping keeping = QcCaptureKeeping::All;
    if (options.keepCapture.isEmpty()) {
        const QcRecordSettings settings = readQcRecordSettings();
        if (!settings.problem.isEmpty())
            reportError(QStringLiteral("qc"), settings.problem);
        keeping = settings.captures;
    }
    run.setCaptureKeeping(keeping,
                          options.keepCapture.isEmpty()
                              ? qcCapturesDir()
                              : QFileInfo(options.keepCapture).absolutePath(),
                          options.keepCapture);
    recorder.setProgram(QStringLiteral("envtool"), options.rules);
    if (!options.log.isEmpty())
        recorder.setLog(options.log);

    QString damage;
    const int counted
        = options.capture.isEmpty() ? countPort(run, loop) : countCapture(run, &damage);
    if (counted != judgeNow)
        return counted;
    recorder.setDamage(damage);
    // A command may wait for its attempt: counted here when the index could not answer at once.
    run.countAttemptNow();
    const QcRun::Outcome outcome = run.finish(QDateTime::currentDateTime(), !options.noLog);
    printLine(outcome.verdict.text);
    for (const QString &message : outcome.verdict.messages)
        printLine(message);
    // A capture not kept costs the run nothing: the verdict and its exit code stand. A record
    // not kept is an error all the same.
    if (!outcome.captureProblem.isEmpty())
        reportError(QStringLiteral("qc"), outcome.captureProblem);
    int exitCode = outcome.verdict.passed ? ExitSuccess : ExitFail;
    if (!outcome.recordProblem.isEmpty())
        exitCode = fail(outcome.recordProblem);
    if (!options.json.isEmpty()) {
        // Whole or not at all, like the record itself; the station's own, as the log is.
        QString error;
        if (!writeFileAtomically(options.json, QJsonDocument(outcome.record.toJson()).toJson(),
                                 &error, 0600))
            exitCode = fail(error);
    }
    if (!damage.isEmpty())
        exitCode = fail(QStringLiteral("%1: %2; the verdict covers only the frames before it")
                            .arg(options.capture, damage));
    return exitCode;
}

int QcCommand::countCapture(QcRun &run, QString *damage)
{
    QFile capture(options.capture);
    if (!capture.open(QIODevice::ReadOnly))
        return fail(
            QStringLiteral("cannot read %1: %2").arg(options.capture, capture.errorString()));
    run.recorder().setSource(QFileInfo(options.capture).absoluteFilePath());
    SessionFile reader(&capture, chunkSize);
    if (!reader.readHeader())
        return fail(options.capture + QStringLiteral(": ") + reader.error());
    const qint64 startMs = qcSteadyMs();
    run.start(options.test, startMs);
    RunFeed feed(run, startMs);
    StreamDecoder decoder(&feed, StreamDecoder::FrameMode::Collect);
    SessionFile::Record record;
    while (reader.next(&record)) {
        // Every frame of a capture is inside the counting window: frames may be missing there.
        if (record.gap) {
            *damage = QStringLiteral("the line was gone from %1 s to %2 s of the session")
                          .arg(record.timeUs / 1e6, 0, 'f', 3)
                          .arg(record.gapEndUs / 1e6, 0, 'f', 3);
            return judgeNow;
        }
        if (record.direction != SessionFile::FromModule)
            continue;
        run.addBytes(record.bytes.constData(), record.bytes.size(), startMs, record.timeUs);
        decoder.decode(record.bytes.constData(), record.bytes.size());
    }
    // Damage is reported after the verdict on what came before it.
    *damage = reader.error();
    return judgeNow;
}

int QcCommand::countPort(QcRun &run, PortLoop &loop)
{
    if (!loop.open(options.port, QIODevice::ReadOnly))
        return loop.exitCode();
    QSerialPort &port = loop.port();
    // The test counts from the moment the port opens, not what the line held before.
    port.clear(QSerialPort::Input);
    // By its by-id name where it has one, as the windows record it, so that a run can be traced
    // to the adapter that made it.
    run.recorder().setSource(SerialLine::recordedName(options.port));
    const QcStart started = run.start(options.test, qcSteadyMs());
    if (!started.judgeAfterMs)
        return fail(QStringLiteral("test \"%1\" lasts too long to be judged").arg(options.test));

    RunFeed feed(run, std::nullopt);
    StreamDecoder decoder(&feed, StreamDecoder::FrameMode::Collect);
    const auto take = [&] {
        const QByteArray bytes = port.readAll();
        run.addBytes(bytes.constData(), bytes.size(), qcSteadyMs());
        decoder.decode(bytes.constData(), bytes.size());
    };
    QObject::connect(&port, &QSerialPort::readyRead, loop.context(), take);
    loop.onLost([&](const QString &reason) {
        loop.finish(QStringLiteral("lost %1 during the test: %2").arg(options.port, reason));
    });
    loop.onStopSignal([&] { loop.finish(QStringLiteral("stopped before the verdict")); });
    // The dialog's timer: the verdict comes after the test's whole seconds.
    loop.setDeadline(int(*started.judgeAfterMs), [&] {
        take();
        loop.finish();
    });
    // On a terminal, the seconds left and the frames counted, as record shows its own; nothing
    // when standard error goes to a file or a pipe.
    QTimer progress;
    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    const qint64 judgedAt = qcSteadyMs() + *started.judgeAfterMs;
    const auto showLine = [&] {
        const qint64 left = qMax<qint64>(0, judgedAt - qcSteadyMs());
        std::fputs(QStringLiteral("\r%1 s left  %2 frames ")
                       .arg((left + 999) / 1000)
                       .arg(run.check().run().frameCount)
                       .toLocal8Bit()
                       .constData(),
                   stderr);
        std::fflush(stderr);
    };
    if (showProgress) {
        QObject::connect(&progress, &QTimer::timeout, loop.context(), showLine);
        progress.start(250);
        showLine();
    }
    const int exitCode = loop.exec();
    if (showProgress) {
        progress.stop();
        showLine();
        std::fputs("\n", stderr);
    }
    loop.closePort();
    return exitCode == ExitSuccess ? judgeNow : exitCode;
}
// The command line's options.
const QCommandLineOption
    plan(QStringLiteral("plan"),
         QStringLiteral("The plan (a qc.json file). Without it, qc.json beside envtool, then "
                        "envviewer/qc.json in $XDG_CONFIG_HOME (~/.config), then in each of "
                        "$XDG_CONFIG_DIRS (/etc/xdg)."),
         QStringLiteral("FILE"));
const QCommandLineOption test(QStringLiteral("test"),
                              QStringLiteral("The label of the test type to run."),
                              QStringLiteral("LABEL"));
const QCommandLineOption
    port(QStringLiteral("port"),
         QStringLiteral("Count the frames arriving on this port for the test's duration."),
         QStringLiteral("NAME"));
const QCommandLineOption
    capture(QStringLiteral("capture"),
            QStringLiteral("Count every frame of this raw capture, or of the module's direction of "
                           "this session."),
            QStringLiteral("FILE"));
const QCommandLineOption
    program(QStringLiteral("program"),
            QStringLiteral("Whose rules to judge by: envviewer (default), envviewer_cam or "
                           "envviewer_qc."),
            QStringLiteral("NAME"), QStringLiteral("envviewer"));
const QCommandLineOption json(QStringLiteral("json"),
                              QStringLiteral("Also write the test record to FILE."),
                              QStringLiteral("FILE"));
const QCommandLineOption
    log(QStringLiteral("log"),
        QStringLiteral("Append the test record to FILE instead of the results log "
                       "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
        QStringLiteral("FILE"));
const QCommandLineOption noLog(QStringLiteral("no-log"),
                               QStringLiteral("Append the test record nowhere."));
const QCommandLineOption serial(
    QStringLiteral("serial"),
    QStringLiteral("The board's serial number, kept in the test record: letters, digits and "
                   "- _ . / : + #, at most 64. Its attempt (this station's runs of the board "
                   "on the test) is counted in the results log."),
    QStringLiteral("S"));
const QCommandLineOption
    station(QStringLiteral("station"),
            QStringLiteral("The station's name in the test record; without it, name= in the "
                           "[station] group of $XDG_CONFIG_HOME/envviewer/envviewer.conf, then the "
                           "host name."),
            QStringLiteral("NAME"));
const QCommandLineOption
    fixture(QStringLiteral("fixture"),
            QStringLiteral("The fixture in the test record; without it, fixture= of [station]."),
            QStringLiteral("NAME"));
const QCommandLineOption
    operatorOption(QStringLiteral("operator"),
                   QStringLiteral("Who runs the test, in the test record; without it, operator= of "
                                  "[station]."),
                   QStringLiteral("NAME"));
const QCommandLineOption keepCapture(
    QStringLiteral("keep-capture"),
    QStringLiteral("Keep the bytes judged in this session file (module direction only), "
                   "whatever captures= in the [records] group of "
                   "$XDG_CONFIG_HOME/envviewer/envviewer.conf says. Without it, failed runs "
                   "keep theirs in $XDG_DATA_HOME/envviewer/captures/ (captures=failed, the "
                   "default; all or none)."),
    QStringLiteral("FILE"));
} // namespace

int runQc(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("qc"),
                         QStringLiteral("Runs one test of a plan, with the quality check of the "
                                        "viewer's dialog, on a port or on a capture. Prints "
                                        "\"Pass\" or \"Fail\", then each failure, one per line; "
                                        "exits 0 on Pass and 1 on Fail. Appends the test record "
                                        "to the results log (see 'envtool results')."));
    cli.parser().addOptions({plan, test, port, capture, program, json, log, noLog, serial, station,
                             fixture, operatorOption, keepCapture});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(test))
        return cli.usageError(QStringLiteral("--test is required"));
    if (cli.isSet(log) && cli.isSet(noLog))
        return cli.usageError(QStringLiteral("give either --log or --no-log"));
    if (cli.isSet(port) == cli.isSet(capture))
        return cli.usageError(QStringLiteral("give either --port or --capture"));
    QcOptions options;
    const QString programName = cli.value(program);
    const std::optional<Deliverable> rules = deliverableNamed(programName);
    if (!rules || *rules == Deliverable::Lite)
        return cli.usageError(QStringLiteral("--program is envviewer, envviewer_cam or "
                                             "envviewer_qc, not '%1'")
                                  .arg(programName));
    options.rules = *rules;
    options.plan = cli.value(plan);
    options.programPath = QCoreApplication::arguments().value(0);
    options.test = cli.value(test);
    options.port = cli.value(port);
    options.capture = cli.value(capture);
    options.json = cli.value(json);
    options.log = cli.value(log);
    options.noLog = cli.isSet(noLog);
    options.serial = cli.value(serial);
    if (cli.isSet(station))
        options.station = cli.value(station);
    if (cli.isSet(fixture))
        options.fixture = cli.value(fixture);
    if (cli.isSet(operatorOption))
        options.operatorName = cli.value(operatorOption);
    options.keepCapture = cli.value(keepCapture);
    return QcCommand(options).run();
}
