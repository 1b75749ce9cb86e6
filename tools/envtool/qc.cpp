#include "cli.h"
#include "commands.h"
#include "link/serialline.h"
#include "link/streamdecoder.h"
#include "qc/qcfiles.h"
#include "qc/qcrecord.h"
#include "sessionfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>

#include <cstdio>

namespace {
constexpr qint64 chunkSize = 1 << 16;

// Hands every decoded frame to the check, stamped with the time it arrived.
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
        check.addFrame(frame, fixedTime ? *fixedTime : QDateTime::currentMSecsSinceEpoch());
    }

private:
    QcCheck &check;
    std::optional<qint64> fixedTime;
};

std::optional<Deliverable> programNamed(const QString &name)
{
    for (Deliverable d : {Deliverable::Viewer, Deliverable::Cam, Deliverable::Qc}) {
        if (name == QLatin1String(deliverableName(d)))
            return d;
    }
    return std::nullopt;
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
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("plan"),
                 QStringLiteral("The plan (a qc.json file). Without it, qc.json beside envtool, "
                                "then envviewer/qc.json in $XDG_CONFIG_HOME (~/.config), then "
                                "in each of $XDG_CONFIG_DIRS (/etc/xdg)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("test"), QStringLiteral("The label of the test type to run."),
                 QStringLiteral("LABEL")});
    p.addOption({QStringLiteral("port"),
                 QStringLiteral("Count the frames arriving on this port for the test's duration."),
                 QStringLiteral("NAME")});
    p.addOption({QStringLiteral("capture"),
                 QStringLiteral("Count every frame of this raw capture, or of the module's "
                                "direction of this session."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("program"),
                 QStringLiteral("Whose rules to judge by: envviewer (default), envviewer_cam or "
                                "envviewer_qc."),
                 QStringLiteral("NAME"), QStringLiteral("envviewer")});
    p.addOption({QStringLiteral("json"), QStringLiteral("Also write the test record to FILE."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Append the test record to FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("no-log"), QStringLiteral("Append the test record nowhere.")});
    p.addOption({QStringLiteral("serial"),
                 QStringLiteral("The board's serial number, kept in the test record."),
                 QStringLiteral("S")});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("test")))
        return cli.usageError(QStringLiteral("--test is required"));
    if (cli.isSet(QStringLiteral("log")) && cli.isSet(QStringLiteral("no-log")))
        return cli.usageError(QStringLiteral("give either --log or --no-log"));
    if (cli.isSet(QStringLiteral("port")) == cli.isSet(QStringLiteral("capture")))
        return cli.usageError(QStringLiteral("give either --port or --capture"));
    const auto program = programNamed(cli.value(QStringLiteral("program")));
    if (!program) {
        return cli.usageError(QStringLiteral("--program is envviewer, envviewer_cam or "
                                             "envviewer_qc, not '%1'")
                                  .arg(cli.value(QStringLiteral("program"))));
    }

    // Installed first: a stop request that comes while the port opens waits for the event loop.
    StopSignal stopSignal;
    QcPlanFile plan;
    if (cli.isSet(QStringLiteral("plan"))) {
        QFile planFile(cli.value(QStringLiteral("plan")));
        if (!planFile.open(QIODevice::ReadOnly))
            return cli.usageError(QStringLiteral("cannot read %1: %2")
                                      .arg(planFile.fileName(), planFile.errorString()));
        plan = {QFileInfo(planFile).absoluteFilePath(), planFile.readAll()};
    } else {
        // The places the QC dialog looks at, beside envtool itself first.
        const QString beside = QCoreApplication::applicationDirPath();
        plan = findQcPlan(beside);
        if (plan.path.isEmpty())
            return cli.usageError(QStringLiteral("fail to open QC json config (looked for %1)")
                                      .arg(qcPlanPlaces(beside).join(QStringLiteral(", "))));
    }
    const QString &planName = plan.path;
    const QByteArray &document = plan.bytes;
    QJsonParseError parseError {};
    const QJsonDocument json = QJsonDocument::fromJson(document, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return cli.usageError(
            QStringLiteral("%1 is not JSON: %2").arg(planName, parseError.errorString()));
    if (!json.isArray())
        return cli.usageError(
            QStringLiteral("%1 is not a plan: its top level is not an array").arg(planName));

    QcCheck check(*program, parseQcDocument(document, qcRules(*program).additions));
    const QString label = cli.value(QStringLiteral("test"));
    bool known = false;
    for (const QcType &type : check.plan())
        known = known || type.label == label;
    if (!known)
        return cli.usageError(QStringLiteral("%1 has no test \"%2\"").arg(planName, label));

    QcRecorder recorder;
    recorder.setProgram(QStringLiteral("envtool"), *program);
    recorder.setPlan(plan.path, plan.bytes);
    recorder.setSerial(cli.value(QStringLiteral("serial")));
    if (cli.isSet(QStringLiteral("log")))
        recorder.setLog(cli.value(QStringLiteral("log")));
    QString damage;

    if (cli.isSet(QStringLiteral("capture"))) {
        const QString captureName = cli.value(QStringLiteral("capture"));
        QFile capture(captureName);
        if (!capture.open(QIODevice::ReadOnly))
            return cli.usageError(
                QStringLiteral("cannot read %1: %2").arg(captureName, capture.errorString()));
        recorder.setSource(QFileInfo(captureName).absoluteFilePath());
        // Every frame of the file arrives, as far as the check can tell, at the start.
        const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
        check.start(label, startMs);
        CheckFeed feed(check, startMs);
        StreamDecoder decoder(&feed, StreamDecoder::FrameMode::Collect);
        SessionFile reader(&capture, chunkSize);
        if (!reader.readHeader())
            return cli.usageError(captureName + QStringLiteral(": ") + reader.error());
        SessionFile::Record record;
        while (reader.next(&record)) {
            if (record.direction == SessionFile::FromModule)
                decoder.decode(record.bytes.constData(), record.bytes.size());
        }
        // Damage is reported after the verdict on what came before it.
        damage = reader.error();
    } else {
        const QString portName = cli.value(QStringLiteral("port"));
        QSerialPort port(portName);
        QString error;
        if (!SerialLine::openPort(port, QIODevice::ReadOnly, &error))
            return cli.usageError(error);
        // The test counts from the moment the port opens, not what the line held before.
        port.clear(QSerialPort::Input);
        // Named as the viewer's port list names it, so both programs record a port alike.
        recorder.setSource(port.portName());
        const QcStart started = check.start(label, QDateTime::currentMSecsSinceEpoch());
        if (!started.judgeAfterMs)
            return cli.usageError(
                QStringLiteral("test \"%1\" lasts too long to be judged").arg(label));

        CheckFeed feed(check, std::nullopt);
        StreamDecoder decoder(&feed, StreamDecoder::FrameMode::Collect);
        auto take = [&] {
            const QByteArray bytes = port.readAll();
            decoder.decode(bytes.constData(), bytes.size());
        };
        int exitCode = ExitSuccess;
        // Destroyed before the locals its handlers use, and before the port closes.
        QObject handlers;
        QObject::connect(&port, &QSerialPort::readyRead, &handlers, take);
        QObject::connect(&port, &QSerialPort::errorOccurred, &handlers, [&] {
            if (!port.isOpen() || !SerialLine::isDeviceGone(port))
                return;
            exitCode = cli.usageError(QStringLiteral("lost %1 during the test: %2")
                                          .arg(portName, SerialLine::goneReason(port)));
            QObject::disconnect(&port, nullptr, &handlers, nullptr);
            port.close();
            QCoreApplication::exit(0);
        });
        QObject::connect(&stopSignal, &StopSignal::stopRequested, &handlers, [&] {
            exitCode = cli.usageError(QStringLiteral("stopped before the verdict"));
            QCoreApplication::exit(0);
        });
        // The dialog's timer: the verdict comes after the test's whole seconds.
        QTimer judgement;
        judgement.setSingleShot(true);
        judgement.setTimerType(Qt::PreciseTimer);
        QObject::connect(&judgement, &QTimer::timeout, [&] {
            take();
            QCoreApplication::exit(0);
        });
        judgement.start(*started.judgeAfterMs);
        QCoreApplication::exec();
        if (exitCode != ExitSuccess)
            return exitCode;
    }

    const QcVerdict verdict = check.judge();
    printLine(verdict.text);
    for (const QString &message : verdict.messages)
        printLine(message);

    const QJsonObject record = recorder.record(check, verdict, QDateTime::currentDateTime());
    QString error;
    // A record that cannot be kept costs a line on standard error, never the verdict.
    if (!cli.isSet(QStringLiteral("no-log")) && !recorder.append(record, &error))
        cli.usageError(error);
    if (cli.isSet(QStringLiteral("json"))) {
        const QString recordName = cli.value(QStringLiteral("json"));
        QFile file(recordName);
        const QByteArray text = QJsonDocument(record).toJson();
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(text) != text.size() || !file.flush()) {
            return cli.usageError(
                QStringLiteral("cannot write %1: %2").arg(recordName, file.errorString()));
        }
    }
    if (!damage.isEmpty())
        return cli.usageError(cli.value(QStringLiteral("capture")) + QStringLiteral(": ") + damage);
    return verdict.passed ? ExitSuccess : ExitFail;
}
