// envtool qc: one test of a plan, judged with the dialog's quality check on a port or a capture.
#include "cli.h"
#include "commands/commands.h"
#include "common/deliverable.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "portloop.h"
#include "qc/qccapture.h"
#include "qc/qcfiles.h"
#include "qc/qcrecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSerialPort>

namespace {
constexpr qint64 chunkSize = 1 << 16;
constexpr int judgeNow = -1;

// Hands every decoded frame to the check, stamped with the steady time it arrived, or with one
// fixed time for a capture, whose frames all arrive at its start as far as the check can tell.
class CheckFeed : public DecoderSink
{
public:
    CheckFeed(QcCheck &check, std::optional<qint64> fixedTime)
        : check(check)
        , fixedTime(fixedTime)
    {
    }
    void frameEnded(const QList<short> &frame) override
    {
        check.addFrame(frame, fixedTime ? *fixedTime : qcSteadyMs());
    }

private:
    QcCheck &check;
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
    // Feed the check; each returns an exit code, or -1 to judge what was counted.
    // Both hand what they decode to `kept` too.
    int countPort(QcCheck &check, QString *source, PortLoop &loop, QcCaptureFile &kept);
    int countCapture(QcCheck &check, QString *source, QString *damage, QcCaptureFile &kept);

    QcOptions options;
};

int QcCommand::run()
{
    // Installed first: a stop request that comes while the port opens waits for the event loop.
    PortLoop loop(QStringLiteral("qc"));
    const QcPlanFile plan = options.plan.isEmpty() ? findQcPlan(qcConfigDir(options.programPath))
                                                   : readQcPlan(options.plan);
    QcCheck check(options.rules, parseQcDocument(plan.bytes, qcRules(options.rules).additions));
    const QString problem = qcSelectionProblem(plan, check.plan(), options.test);
    if (!problem.isEmpty())
        return fail(problem);

    // Written as the bytes come whatever the verdict; a run stopped early leaves nothing.
    QcCaptureKeeping keeping = QcCaptureKeeping::All;
    if (options.keepCapture.isEmpty()) {
        const QcRecordSettings settings = readQcRecordSettings();
        if (!settings.problem.isEmpty())
            reportError(QStringLiteral("qc"), settings.problem);
        keeping = settings.captures;
    }
    const QString captureFolder = options.keepCapture.isEmpty()
        ? qcCapturesDir()
        : QFileInfo(options.keepCapture).absolutePath();
    QcCaptureFile kept;
    if (keeping != QcCaptureKeeping::None)
        kept.open(captureFolder);

    QString source;
    QString damage;
    const int counted = options.capture.isEmpty() ? countPort(check, &source, loop, kept)
                                                  : countCapture(check, &source, &damage, kept);
    if (counted != judgeNow)
        return counted;

    const QcVerdict verdict = check.judge();
    printLine(verdict.text);
    for (const QString &message : verdict.messages)
        printLine(message);

    QcRecorder recorder;
    recorder.setProgram(QStringLiteral("envtool"), options.rules);
    recorder.setPlan(plan.path, plan.bytes);
    recorder.setSerial(options.serial);
    recorder.setSource(source);
    recorder.setDamage(damage);
    if (!options.log.isEmpty())
        recorder.setLog(options.log);
    QcRecord judged = recorder.judgement(check, verdict, QDateTime::currentDateTime());
    if (qcKeepsCapture(keeping, verdict.passed)) {
        judged.capture = kept.keep(options.keepCapture.isEmpty()
                                       ? QcCaptureFile::pathFor(captureFolder, judged.id)
                                       : options.keepCapture);
        // A capture not kept costs the run nothing: the verdict and its exit code stand.
        if (!judged.capture)
            reportError(QStringLiteral("qc"), kept.error());
    }
    kept.discard();
    const QJsonObject record = judged.toJson();
    // The verdict is printed whatever happens to its record; a record not kept is an error all
    // the same.
    int exitCode = verdict.passed ? ExitSuccess : ExitFail;
    QString error;
    if (!options.noLog && !recorder.append(record, &error))
        exitCode = fail(error);
    if (!options.json.isEmpty()) {
        QFile file(options.json);
        const QByteArray text = QJsonDocument(record).toJson();
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(text) != text.size() || !file.flush())
            exitCode
                = fail(QStringLiteral("cannot write %1: %2").arg(options.json, file.errorString()));
    }
    if (!damage.isEmpty())
        exitCode = fail(QStringLiteral("%1: %2; the verdict covers only the frames before it")
                            .arg(options.capture, damage));
    return exitCode;
}

int QcCommand::countCapture(QcCheck &check, QString *source, QString *damage, QcCaptureFile &kept)
{
    QFile capture(options.capture);
    if (!capture.open(QIODevice::ReadOnly))
        return fail(
            QStringLiteral("cannot read %1: %2").arg(options.capture, capture.errorString()));
    *source = QFileInfo(options.capture).absoluteFilePath();
    const qint64 startMs = qcSteadyMs();
    check.start(options.test, startMs);
    CheckFeed feed(check, startMs);
    StreamDecoder decoder(&feed, StreamDecoder::FrameMode::Collect);
    SessionFile reader(&capture, chunkSize);
    if (!reader.readHeader())
        return fail(options.capture + QStringLiteral(": ") + reader.error());
    SessionFile::Record record;
    while (reader.next(&record)) {
        if (record.direction != SessionFile::FromModule)
            continue;
        kept.add(record.bytes.constData(), record.bytes.size(), record.timeUs);
        decoder.decode(record.bytes.constData(), record.bytes.size());
    }
    // Damage is reported after the verdict on what came before it.
    *damage = reader.error();
    return judgeNow;
}

int QcCommand::countPort(QcCheck &check, QString *source, PortLoop &loop, QcCaptureFile &kept)
{
    if (!loop.open(options.port, QIODevice::ReadOnly))
        return loop.exitCode();
    QSerialPort &port = loop.port();
    // The test counts from the moment the port opens, not what the line held before.
    port.clear(QSerialPort::Input);
    // Named as the viewer's port list names it, so both programs record a port alike.
    *source = port.portName();
    const QcStart started = check.start(options.test, qcSteadyMs());
    if (!started.judgeAfterMs)
        return fail(QStringLiteral("test \"%1\" lasts too long to be judged").arg(options.test));

    CheckFeed feed(check, std::nullopt);
    StreamDecoder decoder(&feed, StreamDecoder::FrameMode::Collect);
    const auto take = [&] {
        const QByteArray bytes = port.readAll();
        kept.add(bytes);
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
    const int exitCode = loop.exec();
    loop.closePort();
    return exitCode == ExitSuccess ? judgeNow : exitCode;
}
} // namespace

int runQc(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("qc"),
                         QStringLiteral("Runs one test of a plan, with the quality check of the "
                                        "viewer's dialog, on a port or on a capture. Prints "
                                        "\"Pass\" or \"Fail\", then each failure, one per line; "
                                        "exits 0 on Pass and 1 on Fail. Appends the test record "
                                        "to the results log (see 'envtool results')."));
    const QCommandLineOption plan(
        QStringLiteral("plan"),
        QStringLiteral("The plan (a qc.json file). Without it, qc.json beside envtool, then "
                       "envviewer/qc.json in $XDG_CONFIG_HOME (~/.config), then in each of "
                       "$XDG_CONFIG_DIRS (/etc/xdg)."),
        QStringLiteral("FILE"));
    const QCommandLineOption test(QStringLiteral("test"),
                                  QStringLiteral("The label of the test type to run."),
                                  QStringLiteral("LABEL"));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Count the frames arriving on this port for the test's duration."),
        QStringLiteral("NAME"));
    const QCommandLineOption capture(
        QStringLiteral("capture"),
        QStringLiteral("Count every frame of this raw capture, or of the module's direction of "
                       "this session."),
        QStringLiteral("FILE"));
    const QCommandLineOption program(
        QStringLiteral("program"),
        QStringLiteral("Whose rules to judge by: envviewer (default), envviewer_cam or "
                       "envviewer_qc."),
        QStringLiteral("NAME"), QStringLiteral("envviewer"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Also write the test record to FILE."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption log(
        QStringLiteral("log"),
        QStringLiteral("Append the test record to FILE instead of the results log "
                       "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
        QStringLiteral("FILE"));
    const QCommandLineOption noLog(QStringLiteral("no-log"),
                                   QStringLiteral("Append the test record nowhere."));
    const QCommandLineOption serial(
        QStringLiteral("serial"),
        QStringLiteral("The board's serial number, kept in the test record."), QStringLiteral("S"));
    const QCommandLineOption keepCapture(
        QStringLiteral("keep-capture"),
        QStringLiteral("Keep the bytes judged in this session file (module direction only), "
                       "whatever captures= in the [records] group of "
                       "$XDG_CONFIG_HOME/envviewer/envviewer.conf says. Without it, failed runs "
                       "keep theirs in $XDG_DATA_HOME/envviewer/captures/ (captures=failed, the "
                       "default; all or none)."),
        QStringLiteral("FILE"));
    cli.parser().addOptions(
        {plan, test, port, capture, program, json, log, noLog, serial, keepCapture});
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
    options.keepCapture = cli.value(keepCapture);
    return QcCommand(options).run();
}
