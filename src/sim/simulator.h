#pragma once

#include "control/commandreader.h"
#include "link/serialline.h"
#include "link/sessionfile.h"
#include "link/streamdecoder.h"
#include "link/streamencoder.h"
#include "qc/qccheck.h"
#include "sim/moduleframes.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <memory>
#include <optional>

class ModuleLine;

// Plays the module on a line: sends frames or a recorded capture, paced as a 115200-baud line
// delivers bytes (or at a fixed frame rate), and reports every command the computer sends, one
// line each. It starts when the computer first has the line open; what it sends while nobody has
// is lost.
class Simulator : public QObject
{
    Q_OBJECT
public:
    // Bytes per second of a 115200-baud line with a start and a stop bit around each byte.
    static constexpr double lineBytesPerSecond = SerialLine::baudRate / 10.0;
    // Bytes of one of the simulator's frames, without the sync runs between points.
    static constexpr int frameBytes = qcChannelCount * Wire::pointBytes + Wire::frameEndBytes;

    Simulator(ModuleLine *line, QObject *parent = nullptr);

    // Frames from `frames`; fps 0 paces them as the line would; frameLimit < 0 plays forever.
    void playFrames(std::unique_ptr<ModuleFrames> frames, double fps, qint64 frameLimit,
                    quint32 seed);
    // The capture's bytes as they were recorded: a raw capture at the line's pace, a session's
    // module chunks at their times. `capture` must be open and its header readable.
    void playCapture(std::unique_ptr<QFile> capture, bool loop, qint64 frameLimit);
    void start();
    // Reports what the computer sent that no packet has completed yet.
    void finishCommands();
    // Where the capture turned out damaged; what came before it was played.
    QString captureError() const { return captureReader ? captureReader->error() : QString(); }

signals:
    // The limit was reached or the capture ended, and the line has taken everything.
    void finished();
    // One command the computer sent, as a line of text.
    void commandReceived(const QString &line);

private:
    void tick();
    bool produce();
    QByteArray nextFrameBytes();
    QByteArray nextCaptureBytes();
    bool readAhead();
    void commandBytes(const QByteArray &bytes);
    void reportCommands(const QList<ReceivedCommand> &commands);

    ModuleLine *line;
    QTimer timer;
    QTimer commandIdle;
    QElapsedTimer clock;
    CommandReader reader;

    std::unique_ptr<ModuleFrames> frames;
    std::unique_ptr<QFile> capture;
    std::unique_ptr<SessionFile> captureReader;
    std::optional<SessionFile::Record> upcoming; // the capture's next module chunk
    qint64 loopOffsetUs = 0; // added to a session's times on each pass after the first
    qint64 lastTimeUs = 0;
    bool passHadBytes = false;
    bool loop = false;
    double fps = 0;
    qint64 frameLimit = -1;
    QRandomGenerator random;
    StreamEncoder encoder;
    // Counts the frames in the bytes already sent, whatever produced them.
    StreamDecoder sentFrames;

    quint64 framesProduced = 0;
    double unitsSent = 0; // bytes, or frames with a fixed frame rate
    QByteArray pending; // produced but not yet taken by the line
    bool opened = false;
    bool ended = false;
    qint64 endedAt = 0;
    qint64 drainedSince = -1;
};
