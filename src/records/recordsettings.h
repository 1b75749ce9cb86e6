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
    // Why `captures=` was not understood (then the default holds); empty when it was.
    QString problem;
};
QString qcSettingsPath();
QcRecordSettings readQcRecordSettings();

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

// The database named when none is given: $ENVVIEWER_DB, then `database=` in the [records] group;
// empty when neither names one.
QString defaultRecordDatabase();
