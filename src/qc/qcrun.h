#pragma once

#include "link/streamdecoder.h"
#include "qc/qccheck.h"
#include "qc/qcfiles.h"
#include "qc/qcrecorder.h"
#include "records/capturefile.h"
#include "records/recordsettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// One test run from Start to its verdict, judged alike for the QC dialog and envtool qc: the
// check, the record being built, the capture and its keeping rule. The caller feeds it the
// module's bytes, each chunk before the frames it ends, and the frames its own decoder finds.
//
// The capture replays to the frames the run counted: it begins with the bytes of the frame in
// progress at Start from the earliest point at which a fresh decoder goes on exactly as the
// caller's decoder does, and it ends with the last chunk of the counting window.
class QcRun
{
public:
    QcRun(Deliverable rules, QcPlanFile plan);
    ~QcRun();
    QcRun(const QcRun &) = delete;
    QcRun &operator=(const QcRun &) = delete;

    const QcPlanFile &planFile() const { return plan_; }
    const QcCheck &check() const { return check_; }
    // Who judges, on which source and board; the log the record goes to.
    QcRecorder &recorder() { return recorder_; }

    // Which runs keep their capture, in `folder`, named by the record's id; or, when `path` is
    // given, as that file.
    void setCaptureKeeping(QcCaptureKeeping keeping, const QString &folder,
                           const QString &path = QString());

    // Whether a run needs the board's serial number (the station's require_serial).
    void setRequireSerial(bool required) { requireSerial_ = required; }
    // Why a test of `label` on the recorder's serial cannot be judged; empty when it can.
    QString problem(const QString &label) const;

    // Starts the test of `label` (cancelling a run under way) and, when a run may keep it, its
    // capture. Judge with finish() once the start's judgeAfterMs has passed.
    QcStart start(const QString &label, qint64 steadyMs);
    bool isRunning() const { return running_; }

    // Whether the run's attempt is still to be counted: the log's index could not answer at
    // Start without reading too much. Count it with QcAttemptIndex::runsUpdating(attemptKey()),
    // off the GUI thread, and hand the count of earlier runs to setEarlierRuns().
    bool attemptPending() const { return attemptPending_; }
    QcAttemptKey attemptKey() const { return recorder_.attemptKey(check_.label()); }
    void setEarlierRuns(int runs);
    // Counts a pending attempt on this thread, making the index when it must: for a caller that
    // may wait, as envtool does.
    void countAttemptNow();

    // Bytes from the module that arrived at `steadyMs`, handed in before the frames they end, with
    // their time in the capture (microseconds since its start) where the source gives one.
    void addBytes(const char *data, qint64 size, qint64 steadyMs,
                  std::optional<qint64> captureUs = std::nullopt);
    // A frame that the caller's decoder ended at `steadyMs`: counted when the run is under way and
    // its window still open. A frame ended by a chunk of bytes takes that chunk's time, so that
    // the capture holds exactly the chunks of the counted frames.
    bool addFrame(const QList<short> &frame, qint64 steadyMs);

    struct Outcome
    {
        QcVerdict verdict;
        QcRecord record;
        // What went wrong beside the verdict, which stands without them: why the capture that
        // the run was to keep was not kept, why the record was not appended. Empty when all
        // went well.
        QString captureProblem;
        QString recordProblem;
    };
    // Judges the run at wall time `judged`, keeps its capture by the rule, and appends its record
    // to the log unless `appendToLog` is false. Frames up to the deadline still count after it,
    // into no record.
    Outcome finish(const QDateTime &judged, bool appendToLog = true);
    // Ends the run unjudged; it keeps nothing.
    void cancel();

private:
    struct Replay;

    void track(const char *data, qint64 size, bool inWindow);
    void capture(const char *data, qint64 size, std::optional<qint64> captureUs);
    void settleReplay(bool finishing);

    QcPlanFile plan_;
    QcCheck check_;
    QcRecorder recorder_;
    QcCaptureKeeping keeping_ = QcCaptureKeeping::None;
    QString captureFolder_;
    QString capturePath_;
    QcCaptureFile capture_;
    bool running_ = false;
    bool requireSerial_ = false;
    bool attemptPending_ = false;
    std::optional<qint64> chunkMs_;

    // A decoder that follows the caller's from the first bytes handed in, and the bytes since its
    // latest frame end: where a replay of the frame in progress can begin.
    std::unique_ptr<Replay> follower_;
    QByteArray sinceFrameEnd_;
    // From Start until one of them proves to go on as the follower does: fresh decoders begun at
    // each point of sinceFrameEnd_, and the chunks held back until the capture's start is known.
    std::vector<std::unique_ptr<Replay>> candidates_;
    struct HeldChunk
    {
        QByteArray bytes;
        std::optional<qint64> captureUs;
        qint64 elapsedUs = 0;
    };
    QList<HeldChunk> held_;
    qint64 heldBytes_ = 0;
};
