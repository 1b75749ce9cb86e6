#include "qc/qcrun.h"

namespace {

// A replay is settled once its prefix is known or this much is held back: far more than the few
// bytes a fresh decoder needs to fall in step, small enough to hold.
constexpr qint64 maxHeldBytes = 1 << 20;
// The frame in progress at Start is replayed from at most this far back; a frame longer than that
// holds far more points than a counted frame.
constexpr qsizetype maxFrameBytes = 4096;
// Fresh decoders followed at once at most: a frame in progress has only a few places a replay can
// begin at, and a line of noise must not cost a decoder per byte.
constexpr std::size_t maxCandidates = 64;

} // namespace

// A decoder and the frames it ended since they were last compared.
struct QcRun::Replay : DecoderSink
{
    explicit Replay(QByteArray prefix = QByteArray())
        : prefix(std::move(prefix))
        , decoder(this)
    {
    }
    void frameEnded(const QList<short> &frame) override { ended.append(frame); }

    bool sameStateAs(const Replay &other) const
    {
        const StreamDecoder &a = decoder;
        const StreamDecoder &b = other.decoder;
        return a.decodeState() == b.decodeState() && a.syncCount() == b.syncCount()
            && a.pointX() == b.pointX() && a.pointY() == b.pointY()
            && a.flagByteCount() == b.flagByteCount() && a.pointCount() == b.pointCount()
            && a.frameSamples() == b.frameSamples();
    }

    QByteArray prefix; // where it began: the bytes before Start it was fed
    StreamDecoder decoder;
    QList<QList<short>> ended;
};

QcRun::QcRun(Deliverable rules, QcPlanFile plan)
    : plan_(std::move(plan))
    , check_(rules, parseQcDocument(plan_.bytes, qcRules(rules).additions))
    , follower_(std::make_unique<Replay>())
{
    recorder_.setPlan(plan_.path, plan_.bytes);
}

QcRun::~QcRun() = default;

void QcRun::setCaptureKeeping(QcCaptureKeeping keeping, const QString &folder, const QString &path)
{
    keeping_ = keeping;
    captureFolder_ = folder;
    capturePath_ = path;
}

QString QcRun::problem(const QString &label) const
{
    const QString serial = recorder_.serial();
    if (serial.isEmpty() && requireSerial_)
        return QStringLiteral("no serial number is given, and this station requires one");
    const QString serialProblem = qcSerialProblem(serial);
    if (!serialProblem.isEmpty())
        return serialProblem;
    return qcSelectionProblem(plan_, check_.plan(), label);
}

void QcRun::countAttemptNow()
{
    if (attemptPending_)
        setEarlierRuns(QcAttemptIndex(recorder_.log()).runsUpdating(attemptKey()));
}

void QcRun::setEarlierRuns(int runs)
{
    attemptPending_ = false;
    recorder_.setAttempt(runs + 1);
}

QcStart QcRun::start(const QString &label, qint64 steadyMs)
{
    cancel();
    const QcStart started = check_.start(label, steadyMs);
    running_ = check_.deadline().has_value();
    chunkMs_.reset();
    // Counted at Start, so that a run appended meanwhile by another program counts before it.
    recorder_.setAttempt(std::nullopt);
    attemptPending_ = false;
    if (running_ && !recorder_.serial().isEmpty()) {
        const std::optional<int> earlier = QcAttemptIndex(recorder_.log()).runs(attemptKey());
        if (earlier)
            setEarlierRuns(*earlier);
        else
            attemptPending_ = true;
    }
    if (!started.judgeAfterMs || keeping_ == QcCaptureKeeping::None)
        return started;
    // Written from the start whatever the verdict will be: an hour's test costs no memory. A
    // capture that cannot be made says why at the verdict, if the run was to keep it.
    capture_.open(captureFolder_);
    // Every point of the frame in progress is a possible start of the replay; most fall out of
    // step with the follower within a few bytes.
    for (qsizetype at = 0; at <= sinceFrameEnd_.size() && candidates_.size() < maxCandidates;
         ++at) {
        auto replay = std::make_unique<Replay>(sinceFrameEnd_.mid(at));
        replay->decoder.decode(replay->prefix.constData(), replay->prefix.size());
        if (replay->ended.isEmpty()
            && replay->decoder.frameSamples() == follower_->decoder.frameSamples()
            && replay->decoder.pointCount() == follower_->decoder.pointCount())
            candidates_.push_back(std::move(replay));
    }
    settleReplay(false);
    return started;
}

void QcRun::addBytes(const char *data, qint64 size, qint64 steadyMs,
                     std::optional<qint64> captureUs)
{
    if (size <= 0)
        return;
    const bool inWindow = running_ && check_.deadline() && steadyMs <= *check_.deadline();
    if (running_)
        chunkMs_ = steadyMs;
    if (inWindow)
        capture(data, size, captureUs);
    track(data, size, inWindow);
    if (inWindow)
        settleReplay(false);
}

void QcRun::track(const char *data, qint64 size, bool inWindow)
{
    for (qint64 i = 0; i < size; ++i) {
        follower_->decoder.decodeByte(quint8(data[i]));
        if (!follower_->ended.isEmpty() && (candidates_.empty() || !inWindow)) {
            follower_->ended.clear();
            sinceFrameEnd_.clear();
        } else {
            sinceFrameEnd_.append(data[i]);
        }
    }
    if (sinceFrameEnd_.size() > maxFrameBytes)
        sinceFrameEnd_ = sinceFrameEnd_.right(maxFrameBytes);
    // Each candidate reads what the follower read in the window; one that ends other frames is
    // out of step.
    if (candidates_.empty() || !inWindow)
        return;
    for (auto &replay : candidates_)
        replay->decoder.decode(data, size);
    const QList<QList<short>> expected = follower_->ended;
    follower_->ended.clear();
    std::vector<std::unique_ptr<Replay>> inStep;
    for (auto &replay : candidates_) {
        if (replay->ended == expected) {
            replay->ended.clear();
            inStep.push_back(std::move(replay));
        }
    }
    candidates_ = std::move(inStep);
}

void QcRun::capture(const char *data, qint64 size, std::optional<qint64> captureUs)
{
    if (!capture_.isOpen())
        return;
    if (candidates_.empty()) {
        capture_.add(data, size, captureUs ? *captureUs : capture_.elapsedUs());
        return;
    }
    held_.append({QByteArray(data, int(size)), captureUs, capture_.elapsedUs()});
    heldBytes_ += size;
}

// The earliest candidate that has fallen in step with the follower goes on as it does for ever:
// its prefix starts the capture. Until then the chunks wait; at the verdict, or once too much
// waits, the earliest that ended the same frames so far is taken.
void QcRun::settleReplay(bool finishing)
{
    if (candidates_.empty())
        return;
    const Replay &earliest = *candidates_.front();
    if (!finishing && heldBytes_ < maxHeldBytes && !earliest.sameStateAs(*follower_))
        return;
    const QByteArray prefix = earliest.prefix;
    candidates_.clear();
    sinceFrameEnd_.clear();
    if (!capture_.isOpen())
        return;
    capture_.add(prefix.constData(), prefix.size(), 0);
    for (const HeldChunk &chunk : std::as_const(held_))
        capture_.add(chunk.bytes.constData(), chunk.bytes.size(),
                     chunk.captureUs ? *chunk.captureUs : chunk.elapsedUs);
    held_.clear();
    heldBytes_ = 0;
}

bool QcRun::addFrame(const QList<short> &frame, qint64 steadyMs)
{
    if (!running_)
        return false;
    return check_.addFrame(frame, chunkMs_ ? *chunkMs_ : steadyMs);
}

QcRun::Outcome QcRun::finish(const QDateTime &judged, bool appendToLog)
{
    Outcome outcome;
    // The check goes on counting to its deadline, as the dialog shows; the record is this one.
    settleReplay(true);
    outcome.verdict = check_.judge();
    outcome.record = recorder_.judgement(check_, outcome.verdict, judged);
    if (qcKeepsCapture(keeping_, outcome.verdict.passed)) {
        outcome.record.capture = capture_.keep(
            capturePath_.isEmpty() ? QcCaptureFile::pathFor(captureFolder_, outcome.record.id)
                                   : capturePath_);
        // The verdict and its record stand without it.
        if (!outcome.record.capture)
            outcome.captureProblem = capture_.error();
    }
    capture_.discard();
    if (appendToLog)
        recorder_.append(outcome.record.toJson(), &outcome.recordProblem);
    return outcome;
}

void QcRun::cancel()
{
    running_ = false;
    attemptPending_ = false;
    capture_.discard();
    candidates_.clear();
    held_.clear();
    heldBytes_ = 0;
}
