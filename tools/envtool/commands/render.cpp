#include "commands/render.h"

#include "cli.h"
#include "commands/commands.h"
#include "common/files.h"
#include "link/sessionfile.h"
#include "records/capturefile.h"
#include "records/record.h"
#include "records/recordsettings.h"
#include "records/resultslog.h"
#include "render/framerenderer.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {
const QString command = QStringLiteral("render");
} // namespace

RenderCommand::RenderCommand(const RenderOptions &options)
    : options(options)
{
}

std::unique_ptr<QFile> RenderCommand::recordCapture(QString *name) const
{
    const QString logPath = options.log.isEmpty() ? qcResultsLogPath() : options.log;
    QFile log;
    QString reason;
    if (!openRegularFile(log, logPath, &reason)) {
        reportError(command, QStringLiteral("cannot read %1: %2").arg(logPath, reason));
        return nullptr;
    }
    std::optional<QcRecord> found;
    ResultsLog::read(log, [&](const QcRecord &r) {
        if (r.id == options.record)
            found = r;
    });
    if (!found) {
        reportError(command, QStringLiteral("no record %1 in %2").arg(options.record, logPath));
        return nullptr;
    }
    if (!found->capture) {
        reportError(command, QStringLiteral("record %1 has no capture").arg(options.record));
        return nullptr;
    }
    // The capture counts only as the evidence its record names, from the log's captures folder.
    QcCaptureEvidence evidence = qcOpenRecordCapture(*found, qcCapturesDirOf(logPath));
    if (!evidence.file) {
        reportError(command,
                    QStringLiteral("the capture of record %1 is unavailable: %2")
                        .arg(options.record, evidence.unavailable));
        return nullptr;
    }
    *name = found->capture->path;
    return std::move(evidence.file);
}

namespace {

// Made in memory, then written whole: a full disk leaves the old file as it was.
int writePng(const QImage &image, const QString &output)
{
    QByteArray png;
    QBuffer buffer(&png);
    QImageWriter writer(&buffer, "png");
    if (!buffer.open(QIODevice::WriteOnly) || !writer.write(image))
        return reportError(command,
                           QStringLiteral("cannot make the PNG: %1").arg(writer.errorString()));
    if (output != QLatin1String("-")) {
        QString error;
        if (!writeFileAtomically(output, png, &error))
            return reportError(command, error);
        return ExitSuccess;
    }
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)
        || out.write(png) != png.size() || !out.flush())
        return reportError(
            command, QStringLiteral("cannot write standard output: %1").arg(out.errorString()));
    return ExitSuccess;
}

} // namespace

int RenderCommand::run()
{
    if (options.output == QLatin1String("-") && isatty(STDOUT_FILENO))
        return reportError(command,
                           QStringLiteral("standard output is a terminal; name a PNG "
                                          "file with -o"));
    const bool fromStdin = options.record.isEmpty() && options.input == QLatin1String("-");
    QString inputName = fromStdin ? QStringLiteral("standard input") : options.input;
    std::unique_ptr<QFile> file;
    if (!options.record.isEmpty()) {
        file = recordCapture(&inputName);
        if (!file)
            return ExitError;
    } else {
        file = std::make_unique<QFile>();
        QString reason;
        // A FIFO named as FILE would hold the command up; standard input is for pipes.
        const bool opened = fromStdin ? file->open(stdin, QIODevice::ReadOnly)
                                      : openRegularFile(*file, options.input, &reason);
        if (!opened)
            return reportError(command,
                               QStringLiteral("cannot read %1: %2")
                                   .arg(options.input, fromStdin ? file->errorString() : reason));
    }

    QString error;
    QImage image;
    if (fromStdin) {
        // A pipe is read once: held whole, as it cannot be read again for the frame's count.
        QByteArray bytes;
        if (!SessionFile::readModuleBytes(file.get(), inputName, &bytes, &error))
            return reportError(command, error);
        image = renderFrame(bytes, options.program, options.frame);
    } else {
        // A file is read as a stream, once to count its frames and once to paint the one
        // wanted: memory stays flat whatever its size.
        const ModuleByteStream stream
            = [&](const std::function<bool(const char *, qsizetype)> &take) {
                  SessionFile reader(file.get());
                  SessionFile::Record record;
                  if (!file->seek(0) || !reader.readHeader()) {
                      error = inputName + QStringLiteral(": ") + reader.error();
                      return false;
                  }
                  while (reader.next(&record))
                      if (record.direction == SessionFile::FromModule
                          && !take(record.bytes.constData(), record.bytes.size()))
                          return true;
                  if (!reader.error().isEmpty()) {
                      error = inputName + QStringLiteral(": ") + reader.error();
                      return false;
                  }
                  return true;
              };
        image = renderFrame(stream, options.program, options.frame);
        if (!error.isEmpty())
            return reportError(command, error);
    }
    if (image.isNull()) {
        return reportError(command,
                           options.frame < 0
                               ? QStringLiteral("%1 holds no complete frame").arg(inputName)
                               : QStringLiteral("%1 holds no complete frame %2")
                                     .arg(inputName)
                                     .arg(options.frame));
    }

    return writePng(image, options.output);
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
