#include "framewriter.h"

#include <QIODevice>

namespace {
constexpr int bufferLimit = 1 << 16;
}

FrameWriter::FrameWriter(QIODevice *out, Format format)
    : out(out)
    , format(format)
{
    buffer.reserve(bufferLimit + 4096);
    if (format == Format::Csv)
        buffer.append("frame,column,x,y\n");
}

std::optional<FrameWriter::Format> FrameWriter::formatNamed(const QString &name)
{
    if (name == QLatin1String("jsonl"))
        return Format::JsonLines;
    if (name == QLatin1String("csv"))
        return Format::Csv;
    return std::nullopt;
}

void FrameWriter::flagByteDecoded(quint8 byte, int index)
{
    // The decoder hands the four bytes in order right after the marker; index 0 starts a set.
    if (index == 0)
        flags.clear();
    flags.append(char(byte));
}

void FrameWriter::frameEnded(const QList<short> &frame)
{
    const QByteArray number = QByteArray::number(frameNumber);
    if (format == Format::JsonLines) {
        buffer.append("{\"frame\": ").append(number);
        buffer.append(", \"flags\": \"").append(flags.toHex()).append("\", \"samples\": [");
        for (int i = 0; i < frame.size(); ++i) {
            if (i > 0)
                buffer.append(", ");
            buffer.append(QByteArray::number(frame.at(i)));
        }
        buffer.append("]}\n");
    } else {
        for (int i = 0; i + 1 < frame.size(); i += 2) {
            buffer.append(number).append(',').append(QByteArray::number(i / 2)).append(',');
            buffer.append(QByteArray::number(frame.at(i + 1))).append(',');
            buffer.append(QByteArray::number(frame.at(i))).append('\n');
            if (buffer.size() >= bufferLimit)
                writeOut();
        }
    }
    ++frameNumber;
    flags.clear();
    if (buffer.size() >= bufferLimit)
        writeOut();
}

void FrameWriter::writeOut()
{
    if (!writeFailed && !buffer.isEmpty() && out->write(buffer) != buffer.size())
        writeFailed = true;
    buffer.clear();
}

bool FrameWriter::finish()
{
    writeOut();
    return !writeFailed;
}
