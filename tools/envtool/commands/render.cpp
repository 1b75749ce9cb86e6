#include "commands/render.h"

#include "cli.h"
#include "commands/commands.h"
#include "records/resultslog.h"
#include "link/sessionfile.h"
#include "records/recordsettings.h"
#include "records/record.h"
#include "render/framerenderer.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

#include <cstdio>
#include <unistd.h>

namespace {
const QString command = QStringLiteral("render");
} // namespace

RenderCommand::RenderCommand(const RenderOptions &options)
    : options(options)
{
}

QString RenderCommand::capturePath(int *exitCode) const
{
    *exitCode = ExitError;
    QFile log(options.log.isEmpty() ? qcResultsLogPath() : options.log);
    if (!log.open(QIODevice::ReadOnly)) {
        reportError(command,
                    QStringLiteral("cannot read %1: %2").arg(log.fileName(), log.errorString()));
        return QString();
    }
    while (!log.atEnd()) {
        const QcRecordLine line = qcReadRecordLine(log.readLine().trimmed());
        if (line.status != QcRecordLine::Read || line.record.id != options.record)
            continue;
        if (!line.record.capture) {
            reportError(command, QStringLiteral("record %1 has no capture").arg(options.record));
            return QString();
        }
        // A relative path is where the log is.
        return QFileInfo(log).dir().filePath(line.record.capture->path);
    }
    reportError(command, QStringLiteral("no record %1 in %2").arg(options.record, log.fileName()));
    return QString();
}

int RenderCommand::run()
{
    int exitCode = ExitError;
    const QString input = options.record.isEmpty() ? options.input : capturePath(&exitCode);
    if (input.isEmpty())
        return exitCode;
    if (options.output == QLatin1String("-") && isatty(STDOUT_FILENO))
        return reportError(command,
                           QStringLiteral("standard output is a terminal; name a PNG "
                                          "file with -o"));

    QFile file;
    const bool fromStdin = input == QLatin1String("-");
    const bool opened = fromStdin ? file.open(stdin, QIODevice::ReadOnly)
                                  : (file.setFileName(input), file.open(QIODevice::ReadOnly));
    if (!opened)
        return reportError(command,
                           QStringLiteral("cannot read %1: %2").arg(input, file.errorString()));
    const QString inputName = fromStdin ? QStringLiteral("standard input") : input;
    QByteArray bytes;
    QString error;
    if (!SessionFile::readModuleBytes(&file, inputName, &bytes, &error))
        return reportError(command, error);

    const QImage image = renderFrame(bytes, options.program, options.frame);
    if (image.isNull()) {
        return reportError(command,
                           options.frame < 0
                               ? QStringLiteral("%1 holds no complete frame").arg(inputName)
                               : QStringLiteral("%1 holds no complete frame %2")
                                     .arg(inputName)
                                     .arg(options.frame));
    }

    QFile out;
    const bool toStdout = options.output == QLatin1String("-");
    const bool writable = toStdout
        ? out.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)
        : (out.setFileName(options.output), out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QImageWriter writer(&out, "png");
    if (!writable || !writer.write(image) || !out.flush()) {
        const QString why = writable ? writer.errorString() : out.errorString();
        return reportError(
            command,
            QStringLiteral("cannot write %1: %2")
                .arg(toStdout ? QStringLiteral("standard output") : options.output, why));
    }
    return ExitSuccess;
}

int runRender(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("render"),
        QStringLiteral("Writes one frame of a raw capture, or of the module's direction of a "
                       "session, as a PNG image, painted exactly as a program's window paints "
                       "it."));
    QCommandLineParser &p = cli.parser();
    p.addPositionalArgument(QStringLiteral("file"),
                            QStringLiteral("The capture or session; '-' or none reads standard "
                                           "input."),
                            QStringLiteral("[FILE|-]"));
    const QCommandLineOption program(
        QStringLiteral("program"),
        QStringLiteral("Paint as envviewer (the default), envviewer_cam, envviewer_qc or "
                       "envviewer_lite does."),
        QStringLiteral("NAME"));
    const QCommandLineOption frame(
        QStringLiteral("frame"),
        QStringLiteral("The frame N, counted from 0 (default: the last complete one)."),
        QStringLiteral("N"));
    const QCommandLineOption record(
        QStringLiteral("record"),
        QStringLiteral("Render the capture the test record ID kept, instead of FILE."),
        QStringLiteral("ID"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Find the record in FILE instead of the results "
                                                "log ($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Write the PNG to FILE (default: standard output, unless it is a "
                       "terminal)."),
        QStringLiteral("FILE"));
    p.addOptions({program, frame, record, log, output});
    if (const auto done = cli.parse(args, 1))
        return *done;

    RenderOptions options;
    options.input = cli.positional().value(0, QStringLiteral("-"));
    options.record = cli.value(record);
    options.log = cli.value(log);
    if (!options.record.isEmpty() && !cli.positional().isEmpty())
        return cli.usageError(QStringLiteral("--record and FILE name two inputs; give one"));
    if (cli.isSet(program)) {
        const auto rules = deliverableNamed(cli.value(program));
        if (!rules) {
            return cli.usageError(QStringLiteral("--program is envviewer, envviewer_cam, "
                                                 "envviewer_qc or envviewer_lite, not '%1'")
                                      .arg(cli.value(program)));
        }
        options.program = *rules;
    }
    if (cli.isSet(frame)) {
        const auto n = cli.wholeNumber(frame, 0, 0x7fffffff);
        if (!n)
            return ExitError;
        options.frame = int(*n);
    }
    if (cli.isSet(output))
        options.output = cli.value(output);
    return RenderCommand(options).run();
}
