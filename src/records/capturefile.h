#pragma once

#include "records/record.h"
#include "records/recordsettings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <QStringList>

#include <memory>
#include <optional>

// The capture of one run: the bytes it judged, kept as a session file (module direction only)
// that `envtool simulate --replay` plays back. Written as the bytes arrive, under a hidden name
// beside its final place: it takes its name only when kept, and goes when discarded or destroyed
// unkept, so a cancelled run leaves nothing behind. A capture that cannot be written stops
// writing and says why in error(); the run goes on without it.
class QcCaptureFile
{
public:
    QcCaptureFile() = default;
    ~QcCaptureFile() { discard(); }
    QcCaptureFile(const QcCaptureFile &) = delete;
    QcCaptureFile &operator=(const QcCaptureFile &) = delete;

    // Starts a capture in `folder`, made when missing. False, with error(), when it cannot be.
    bool open(const QString &folder);
    bool isOpen() const { return file.isOpen(); }
    // Microseconds since open().
    qint64 elapsedUs() const { return clock.nsecsElapsed() / 1000; }
    // Appends a chunk from the module that arrived `timeUs` after the start.
    void add(const char *data, qint64 size, qint64 timeUs);
    void add(const QByteArray &bytes) { add(bytes.constData(), bytes.size(), elapsedUs()); }
    // Ends the capture as `path` (replacing a file there). Its entry in the test record, or none
    // with error() when it was not written whole.
    std::optional<QcRecordCapture> keep(const QString &path);
    // Ends the capture and removes its file.
    void discard();
    // Why the capture is not kept; empty while all is well.
    const QString &error() const { return problem; }

    // Where a run's capture is kept in the captures folder.
    static QString pathFor(const QString &folder, const QString &id);

private:
    bool fail(const QString &message);
    // Why the latest write failed, in the system's words.
    QString writeError();

    QFile file;
    QElapsedTimer clock;
    QString problem;
};

// Whether a run judged `passed` keeps its capture under `keeping`.
bool qcKeepsCapture(QcCaptureKeeping keeping, bool passed);

// A record's capture, opened as evidence rather than as the path it names: only a regular file,
// in `capturesFolder` (that of the log the record came from) or one of `givenPaths` (named by the
// user), no larger than the record's `bytes` and of the sha256 it names; never a FIFO or a device,
// and never blocking. A path relative to nothing is taken in the captures folder's parent, the
// log's folder. `file` is open at its start; otherwise `unavailable` says why not, in words.
struct QcCaptureEvidence
{
    std::unique_ptr<QFile> file;
    QString unavailable;
};
QcCaptureEvidence qcOpenRecordCapture(const QcRecord &record, const QString &capturesFolder,
                                      const QStringList &givenPaths = {});
