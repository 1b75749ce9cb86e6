#pragma once

#include "link/streamdecoder.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QIODevice;

// Writes every frame the decoder completes, as JSON Lines or CSV, in bounded memory:
//   {"frame": 0, "flags": "80000001", "samples": [y0, x0, y1, x1, ...]}
//   frame,column,x,y
// Frames are numbered from 0 in stream order; "flags" is the hex of the flag bytes that followed
// the marker before the frame (they are painted into it), empty when none did.
class FrameWriter : public DecoderSink
{
public:
    enum class Format { JsonLines, Csv };

    FrameWriter(QIODevice *out, Format format);

    void flagByteDecoded(quint8 byte, int index) override;
    void frameEnded(const QList<short> &frame) override;

    // Writes what is still buffered; false when the output refused it.
    bool finish();
    bool failed() const { return writeFailed; }
    quint64 frames() const { return frameNumber; }

    static std::optional<Format> formatNamed(const QString &name);

private:
    void writeOut();

    QIODevice *out;
    Format format;
    QByteArray buffer;
    QByteArray flags;
    quint64 frameNumber = 0;
    bool writeFailed = false;
};
