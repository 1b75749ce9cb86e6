#include "cli.h"
#include "commands.h"
#include "link/serialline.h"
#include "link/streamdecoder.h"
#include "qcrecord.h"
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
                                        "exits 0 on Pass and 1 on Fail."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("plan"), QStringLiteral("The plan (a qc.json file)."),
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
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("plan")) || !cli.isSet(QStringLiteral("test")))
        return cli.usageError(QStringLiteral("--plan and --test are required"));
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
    const QString planName = cli.value(QStringLiteral("plan"));
    QFile planFile(planName);
    if (!planFile.open(QIODevice::ReadOnly))
        return cli.usageError(
            QStringLiteral("cannot read %1: %2").arg(planName, planFile.errorString()));
    const QByteArray document = planFile.readAll();
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

    QcRunInfo info;
    info.planFile = QFileInfo(planName).absoluteFilePath();
    info.label = label;
    info.program = *program;
    QString damage;

    if (cli.isSet(QStringLiteral("capture"))) {
        const QString captureName = cli.value(QStringLiteral("capture"));
        QFile capture(captureName);
        if (!capture.open(QIODevice::ReadOnly))
            return cli.usageError(
                QStringLiteral("cannot read %1: %2").arg(captureName, capture.errorString()));
        info.sourceKind = QStringLiteral("capture");
        info.sourceName = QFileInfo(captureName).absoluteFilePath();
        info.start = QDateTime::currentDateTime();
        // Every frame of the file arrives, as far as the check can tell, at the start.
        const qint64 startMs = info.start.toMSecsSinceEpoch();
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
        info.end = QDateTime::currentDateTime();
    } else {
        const QString portName = cli.value(QStringLiteral("port"));
        QSerialPort port(portName);
        QString error;
        if (!openSerialLine(port, QIODevice::ReadOnly, &error))
            return cli.usageError(QStringLiteral("cannot open %1: %2").arg(portName, error));
        // The test counts from the moment the port opens, not what the line held before.
        port.clear(QSerialPort::Input);
        info.sourceKind = QStringLiteral("port");
        info.sourceName = portName;
        info.start = QDateTime::currentDateTime();
        const QcStart started = check.start(label, info.start.toMSecsSinceEpoch());
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
        QObject::connect(&port, &QSerialPort::readyRead, take);
        QObject::connect(&port, &QSerialPort::errorOccurred, [&](QSerialPort::SerialPortError e) {
            if (!port.isOpen() || !SerialLine::isDeviceGone(e))
                return;
            exitCode = cli.usageError(
                QStringLiteral("lost %1 during the test: %2").arg(portName, port.errorString()));
            port.close();
            QCoreApplication::exit(0);
        });
        QObject::connect(&stopSignal, &StopSignal::stopRequested, [&] {
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
        info.end = QDateTime::currentDateTime();
    }

    const QcVerdict verdict = check.judge();
    printLine(verdict.text);
    for (const QString &message : verdict.messages)
        printLine(message);

    if (cli.isSet(QStringLiteral("json"))) {
        const QString recordName = cli.value(QStringLiteral("json"));
        QFile record(recordName);
        const QByteArray text = QJsonDocument(qcTestRecord(info, check, verdict)).toJson();
        if (!record.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || record.write(text) != text.size() || !record.flush()) {
            return cli.usageError(
                QStringLiteral("cannot write %1: %2").arg(recordName, record.errorString()));
        }
    }
    if (!damage.isEmpty())
        return cli.usageError(cli.value(QStringLiteral("capture")) + QStringLiteral(": ") + damage);
    return verdict.passed ? ExitSuccess : ExitFail;
}
