#pragma once

#include <QString>

// The station's record files and the [records] group of its configuration file.

// The results log that every program appends its test records to.
QString qcResultsLogPath();

// Which runs keep a capture of the bytes they judged.
enum class QcCaptureKeeping { Failed, All, None };

// The [records] group of $XDG_CONFIG_HOME/envviewer/envviewer.conf, the settings that every
// program reads for its test records.
struct QcRecordSettings
{
    QString database; // empty when none is named
    QcCaptureKeeping captures = QcCaptureKeeping::Failed;
    // What was wrong with the file: `captures=` not understood (then the default holds), the file
    // not read, a password others can read. Empty when all is well.
    QString problem;
};
QString qcSettingsPath();
// Read only when it is a regular file of at most 64 KiB, never blocking on a FIFO in its place;
// otherwise the defaults hold and `problem` says why. A password in it that others may read is
// told in `problem` too.
QcRecordSettings readQcRecordSettings();
QcRecordSettings readQcRecordSettings(const QString &path);

// The [station] group of the same file: who tests where, and whether a run needs a serial.
struct QcStationSettings
{
    QString name; // the host name unless set
    QString fixture;
    QString operatorName;
    bool requireSerial = false;
    // Why a value was not understood (then its default holds); empty when all were.
    QString problem;
};
QcStationSettings readQcStationSettings();

// The folder that kept captures go to.
QString qcCapturesDir();
// The captures folder beside the log at `logPath` (empty: the station's own).
QString qcCapturesDirOf(const QString &logPath);

// The database named when none is given: $ENVVIEWER_DB, then `database=` in the [records] group;
// empty when neither names one.
QString defaultRecordDatabase();
