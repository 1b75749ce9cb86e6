#include "cli.h"
#include "commands.h"
#include "framewriter.h"

#include <QFile>

#include <cstdio>

namespace {
constexpr qint64 chunkSize = 1 << 16;

QString statsLine(const DecoderStats &s)
{
    QString line = QStringLiteral("bytes %1, points %2, dropped %3, broken %4, frames by marker "
                                  "%5, frames by sync %6")
                       .arg(s.bytes)
                       .arg(s.points)
                       .arg(s.dropped)
                       .arg(s.broken)
                       .arg(s.framesByMarker)
                       .arg(s.framesBySync);
    if (s.overflow > 0)
        line += QStringLiteral(", points beyond the frame limit %1").arg(s.overflow);
    return line;
}
} // namespace

int runDecode(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("decode"),
        QStringLiteral("Decodes a raw capture with the viewer's decoder and writes "
                       "every completed frame to standard output; the decoder's "
                       "statistics go to standard error."));
    QCommandLineParser &p = cli.parser();
    p.addPositionalArgument(QStringLiteral("file"),
                            QStringLiteral("The capture; '-' or none reads standard input."),
                            QStringLiteral("[FILE|-]"));
    p.addOption({QStringLiteral("format"),
                 QStringLiteral("jsonl (one object per frame, the default) or csv (one row per "
                                "point: frame,column,x,y)."),
                 QStringLiteral("FORMAT"), QStringLiteral("jsonl")});
    if (const auto done = cli.parse(args, 1))
        return *done;
    const auto format = FrameWriter::formatNamed(cli.value(QStringLiteral("format")));
    if (!format) {
        return cli.usageError(QStringLiteral("--format is jsonl or csv, not '%1'")
                                  .arg(cli.value(QStringLiteral("format"))));
    }

    const QString name = cli.positional().value(0, QStringLiteral("-"));
    QFile input;
    const bool opened = name == QLatin1String("-")
        ? input.open(stdin, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
        : (input.setFileName(name), input.open(QIODevice::ReadOnly));
    if (!opened)
        return cli.usageError(QStringLiteral("cannot read %1: %2").arg(name, input.errorString()));
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return cli.usageError(
            QStringLiteral("cannot write standard output: %1").arg(output.errorString()));

    FrameWriter writer(&output, *format);
    StreamDecoder decoder(&writer, StreamDecoder::FrameMode::Collect);
    QByteArray chunk(int(chunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = input.read(chunk.data(), chunkSize);
        if (n < 0)
            return cli.usageError(
                QStringLiteral("cannot read %1: %2").arg(name, input.errorString()));
        if (n == 0)
            break;
        decoder.decode(chunk.constData(), n);
        if (writer.failed())
            break;
    }
    if (!writer.finish() || !output.flush())
        return cli.usageError(
            QStringLiteral("cannot write standard output: %1").arg(output.errorString()));
    std::fputs((statsLine(decoder.stats()) + QLatin1Char('\n')).toUtf8().constData(), stderr);
    return ExitSuccess;
}
