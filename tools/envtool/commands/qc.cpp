#include "qccommand.h"

#include "cli.h"
#include "link/serialline.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "qc/qccapture.h"
#include "qc/qcfiles.h"
#include "qc/qcrecord.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSerialPort>
#include <QTimer>

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
} // namespace

int QcCommand::run()
{
    // Installed first: a stop request that comes while the port opens waits for the event loop.
    StopSignal stopSignal;
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
    const int counted = options.capture.isEmpty() ? countPort(check, &source, stopSignal, kept)
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

int QcCommand::countPort(QcCheck &check, QString *source, StopSignal &stopSignal,
                         QcCaptureFile &kept)
{
    QSerialPort port(options.port);
    QString error;
    if (!SerialLine::openPort(port, QIODevice::ReadOnly, &error))
        return fail(error);
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
    QEventLoop loop;
    int exitCode = judgeNow;
    // Every connection has the loop as its context, so none outlives this function's locals.
    QObject::connect(&port, &QSerialPort::readyRead, &loop, take);
    QObject::connect(&port, &QSerialPort::errorOccurred, &loop, [&] {
        if (!port.isOpen() || !SerialLine::isDeviceGone(port))
            return;
        exitCode = fail(QStringLiteral("lost %1 during the test: %2")
                            .arg(options.port, SerialLine::goneReason(port)));
        loop.quit();
    });
    QObject::connect(&stopSignal, &StopSignal::stopRequested, &loop, [&] {
        exitCode = fail(QStringLiteral("stopped before the verdict"));
        loop.quit();
    });
    // The dialog's timer: the verdict comes after the test's whole seconds.
    QTimer judgement;
    judgement.setSingleShot(true);
    judgement.setTimerType(Qt::PreciseTimer);
    QObject::connect(&judgement, &QTimer::timeout, &loop, [&] {
        take();
        loop.quit();
    });
    judgement.start(*started.judgeAfterMs);
    loop.exec();
    // No handler may run while the port closes.
    QObject::disconnect(&port, nullptr, &loop, nullptr);
    port.close();
    return exitCode;
}
