#pragma once

// A session: both directions of a line between the module and the viewer, each chunk with the
// time it came, as `envtool tap` writes it. Layout (all numbers little-endian):
//   header  "envtool session 1\n" (the format's name and version, ASCII)
//   record  direction (1 byte: 'M' from the module, 'V' from the viewer),
//           time (8 bytes, microseconds since the start), size (4 bytes), then the chunk.
// Reading also takes a raw capture (what `envtool record` writes): it has no header, and comes
// out as module chunks without a time.

#include <QByteArray>
#include <QString>

class QIODevice;

class SessionFile
{
public:
    enum Direction : char { FromModule = 'M', FromViewer = 'V' };
    struct Record
    {
        Direction direction = FromModule;
        qint64 timeUs = 0;
        QByteArray bytes;
    };
    static constexpr int version = 1;
    // A record holds at most this many bytes; longer chunks take several.
    static constexpr qint64 maxChunk = 1 << 20;

    // rawChunk: how much of a raw capture one record holds.
    explicit SessionFile(QIODevice *device, qint64 rawChunk = 1 << 16);

    bool writeHeader();
    bool write(Direction direction, qint64 timeUs, const char *data, qint64 size);

    // Tells a session from a raw capture; false, with error(), for a header this version of
    // envtool cannot read.
    bool readHeader();
    bool isSession() const { return session; }
    // The next record; false at the end, or at damage, which error() then describes.
    bool next(Record *record);
    QString error() const { return problem; }

private:
    bool fail(const QString &message);
    qint64 readFully(char *data, qint64 size);

    QIODevice *device;
    qint64 rawChunk;
    bool session = false;
    qint64 offset = 0; // bytes read so far, for the messages
    QString problem;
};
