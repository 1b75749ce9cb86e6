#include "sim/simulator.h"

#include "sim/moduleline.h"

#include <limits>

namespace {
// How far the pacing may fall behind (a stalled line, a busy machine, a timer late) before it
// gives up the lost time: a line never delivers faster than its rate, so there is no burst to
// catch up with, only a little timer jitter to even out.
constexpr double maxLagSeconds = 0.02;
// How long a command's bytes may sit unnamed before they are printed as unknown.
constexpr int commandIdleMs = 200;
// How long the simulator waits, after its last byte, for a reader to take it.
constexpr int drainWaitMs = 2000;
constexpr int drainSettleMs = 500;
constexpr int captureChunk = 256;

quint64 framesIn(const StreamDecoder &decoder)
{
    return decoder.stats().framesByMarker + decoder.stats().framesBySync;
}

// A session's times count from the start of a pass; a time far in the future stays there.
qint64 addTimes(qint64 a, qint64 b)
{
    qint64 sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<qint64>::max() : sum;
}
} // namespace

Simulator::Simulator(ModuleLine *line, QObject *parent)
    : QObject(parent)
    , line(line)
{
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &Simulator::tick);
    commandIdle.setSingleShot(true);
    commandIdle.setInterval(commandIdleMs);
    connect(&commandIdle, &QTimer::timeout, this, &Simulator::finishCommands);
    connect(line, &ModuleLine::received, this, &Simulator::commandBytes);
}

void Simulator::playFrames(std::unique_ptr<ModuleFrames> source, double framesPerSecond,
                           qint64 limit, quint32 seed)
{
    frames = std::move(source);
    fps = framesPerSecond;
    frameLimit = limit;
    random.seed(seed);
}

void Simulator::playCapture(std::unique_ptr<QFile> file, bool repeat, qint64 limit)
{
    capture = std::move(file);
    captureReader = std::make_unique<SessionFile>(capture.get(), captureChunk);
    captureReader->readHeader();
    loop = repeat;
    frameLimit = limit;
    readAhead();
}

void Simulator::start()
{
    const double unitsPerSecond = fps > 0 ? fps : lineBytesPerSecond / frameBytes;
    timer.start(
        captureReader && captureReader->isSession() ? 1 : qBound(1, int(500 / unitsPerSecond), 10));
    tick();
}

void Simulator::tick()
{
    if (!clock.isValid()) {
        // The module plays from the moment a viewer first opens the line, so that it gets the
        // whole of a capture or of a number of frames.
        if (!line->hasReader())
            return;
        clock.start();
    }
    if (!pending.isEmpty()) {
        pending.remove(0, int(line->send(pending.constData(), pending.size())));
        if (!pending.isEmpty())
            return;
    }
    if (ended) {
        // The line may report itself empty for a moment before the bytes reach the reader's
        // queue, and a hang-up discards what is unread: it must stay empty for a while.
        if (!line->drained())
            drainedSince = -1;
        else if (drainedSince < 0)
            drainedSince = clock.elapsed();
        if ((drainedSince >= 0 && clock.elapsed() - drainedSince >= drainSettleMs)
            || clock.elapsed() - endedAt > drainWaitMs) {
            timer.stop();
            emit finished();
        }
        return;
    }
    if (captureReader && captureReader->isSession()) {
        // A session's chunks go out at the times they were recorded.
        const qint64 nowUs = clock.nsecsElapsed() / 1000;
        while (pending.isEmpty() && !ended && (!upcoming || upcoming->timeUs <= nowUs)) {
            if (!produce()) {
                ended = true;
                endedAt = clock.elapsed();
            }
        }
        return;
    }
    const double rate = fps > 0 ? fps : lineBytesPerSecond;
    const double due = clock.elapsed() / 1000.0 * rate;
    const double maxLag = qMax(rate * maxLagSeconds, 1.0);
    if (due - unitsSent > maxLag)
        unitsSent = due - maxLag;
    while (unitsSent < due && pending.isEmpty() && !ended) {
        if (!produce()) {
            ended = true;
            endedAt = clock.elapsed();
        }
    }
}

// Sends the next frame or piece of the capture; false when there is nothing more to send.
bool Simulator::produce()
{
    if (frameLimit >= 0 && framesIn(sentFrames) >= quint64(frameLimit))
        return false;
    QByteArray bytes = capture ? nextCaptureBytes() : nextFrameBytes();
    if (bytes.isEmpty())
        return false;
    if (frameLimit >= 0) {
        // Stop right after the byte that ends the last frame asked for.
        for (int i = 0; i < bytes.size(); ++i) {
            sentFrames.decodeByte(quint8(bytes.at(i)));
            if (framesIn(sentFrames) >= quint64(frameLimit)) {
                bytes.truncate(i + 1);
                break;
            }
        }
    }
    unitsSent += fps > 0 ? 1.0 : double(bytes.size());
    const qint64 taken = line->send(bytes.constData(), bytes.size());
    if (taken < bytes.size())
        pending = bytes.mid(int(taken));
    return frameLimit < 0 || framesIn(sentFrames) < quint64(frameLimit);
}

QByteArray Simulator::nextFrameBytes()
{
    if (!opened) {
        encoder.appendSync(2);
        opened = true;
    }
    const QVector<StreamPoint> points = frames->frame(framesProduced);
    for (const StreamPoint &p : points) {
        encoder.appendPoint(p.x, p.y);
        // Now and then a short sync run between points, as the module sends them.
        if (random.bounded(4) == 0)
            encoder.appendSync(1 + int(random.bounded(3)));
    }
    encoder.appendFrameEnd(ModuleFrames::flags(framesProduced));
    ++framesProduced;
    return encoder.takeBytes();
}

QByteArray Simulator::nextCaptureBytes()
{
    if (!upcoming)
        return QByteArray();
    const QByteArray bytes = upcoming->bytes;
    readAhead();
    return bytes;
}

// Reads the capture's next module chunk, from its start again with --loop; false at its end.
bool Simulator::readAhead()
{
    upcoming.reset();
    SessionFile::Record record;
    for (;;) {
        while (captureReader->next(&record)) {
            lastTimeUs = addTimes(record.timeUs, loopOffsetUs);
            if (record.direction != SessionFile::FromModule || record.bytes.isEmpty())
                continue;
            record.timeUs = lastTimeUs;
            upcoming = record;
            passHadBytes = true;
            return true;
        }
        if (!captureReader->error().isEmpty() || !loop || !passHadBytes || !capture->seek(0)
            || !captureReader->readHeader())
            return false;
        passHadBytes = false;
        loopOffsetUs = lastTimeUs;
    }
}

void Simulator::commandBytes(const QByteArray &bytes)
{
    reportCommands(reader.feed(bytes));
    commandIdle.start();
}

void Simulator::finishCommands()
{
    reportCommands(reader.finish());
}

void Simulator::reportCommands(const QList<ReceivedCommand> &commands)
{
    for (const ReceivedCommand &command : commands)
        emit commandReceived(command.text());
}
