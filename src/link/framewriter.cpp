#include "link/framewriter.h"

#include <QIODevice>

#include <charconv>

namespace {
constexpr int bufferLimit = 1 << 16;

// Decimal digits straight into the buffer: a capture of hundreds of megabytes is mostly numbers.
template<typename Integer>
void appendNumber(QByteArray &buffer, Integer value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    buffer.append(digits, int(end - digits));
}
} // namespace

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
    if (format == Format::JsonLines) {
        buffer.append("{\"frame\": ");
        appendNumber(buffer, frameNumber);
        buffer.append(", \"flags\": \"").append(flags.toHex()).append("\", \"samples\": [");
        for (int i = 0; i < frame.size(); ++i) {
            if (i > 0)
                buffer.append(", ", 2);
            appendNumber(buffer, frame.at(i));
        }
        buffer.append("]}\n", 3);
    } else {
        for (int i = 0; i + 1 < frame.size(); i += 2) {
            appendNumber(buffer, frameNumber);
            buffer.append(',');
            appendNumber(buffer, i / 2);
            buffer.append(',');
            appendNumber(buffer, frame.at(i + 1));
            buffer.append(',');
            appendNumber(buffer, frame.at(i));
            buffer.append('\n');
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
