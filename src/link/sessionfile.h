#pragma once

// A session: both directions of a line between the module and the viewer, each chunk with the
// time it came, as `envtool tap` writes it. Layout (all numbers little-endian):
//   header  "envtool session 1\n" (the format's name and version, ASCII)
//   record  direction (1 byte: 'M' from the module, 'V' from the viewer),
//           time (8 bytes, microseconds since the start, below 2^63), size (4 bytes), then the
//           chunk.
// A gap, the time the line was gone (unplugged until it came back), is two empty module records
// in a row: at the time it went and at the time it was back. No chunk is ever written empty, and
// a reader that knows no gaps takes them as two chunks of nothing, so that the gap costs older
// readers neither bytes nor an error; the times of the records around it keep the silence.
// Reading also takes a raw capture (what `envtool record` writes): it has no header, and comes
// out as module chunks without a time. Input shorter than the header is a raw capture, unless it
// is the start of the header: then it is a session cut short.

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
        // A gap: the line was gone from timeUs to gapEndUs. It has no bytes, and comes as a
        // module record, so that a reader that only joins module bytes passes over it.
        bool gap = false;
        qint64 gapEndUs = 0;
    };
    static constexpr int version = 1;
    // A record holds at most this many bytes; longer chunks take several.
    static constexpr qint64 maxChunk = 1 << 20;
    static constexpr int recordHeadSize = 1 + 8 + 4;

    // Reads from (or writes to) `device`; without one, reading takes the bytes handed to
    // append(). rawChunk: how much of a raw capture one record holds at most.
    explicit SessionFile(QIODevice *device = nullptr, qint64 rawChunk = 1 << 16);

    bool writeHeader();
    // An empty chunk writes nothing.
    bool write(Direction direction, qint64 timeUs, const char *data, qint64 size);
    // Marks that the line was gone from `fromUs` to `toUs` (not before it).
    bool writeGap(qint64 fromUs, qint64 toUs);

    // Reads from the start of the device until the header tells a session from a raw capture;
    // false, with error(), for a header this version of envtool cannot read.
    bool readHeader();
    bool isSession() const { return kind == Kind::Session; }
    bool isRawCapture() const { return kind == Kind::Raw; }
    // The next record; false at the end, or at damage, which error() then describes. Without a
    // device, also false when the record is not complete yet: hand in more with append().
    bool next(Record *record);
    QString error() const { return problem; }

    // The module's direction of the session at `path` (all of a raw capture), its chunks
    // joined. False, with `error` naming the file, when it cannot be read whole.
    static bool readModuleBytes(const QString &path, QByteArray *bytes, QString *error);
    // The same from an open device, named `name` in the error.
    static bool readModuleBytes(QIODevice *device, const QString &name, QByteArray *bytes,
                                QString *error);

    // Without a device: the input's next bytes, however it happens to be split, and its end.
    void append(const QByteArray &bytes);
    void endInput();
    bool inputEnded() const { return ended; }

private:
    enum class Kind { Undecided, Raw, Session };

    bool decide();
    bool take(Record *record);
    bool takeEmptyModule(Record *record, qint64 timeUs);
    bool readMore();
    bool fail(const QString &message);

    QIODevice *device;
    qint64 rawChunk;
    Kind kind = Kind::Undecided;
    QByteArray held; // input not yet taken, from `at` on
    int at = 0;
    bool ended = false;
    qint64 offset = 0; // input bytes taken so far, for the messages
    QString problem;
};
