#pragma once

#include "qc/qcplan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The base folders of the XDG base directory rules. Values that are empty or not absolute are
// ignored, as the rules ask, and the defaults below the home folder take their place.
QString xdgDataHome();
QString xdgConfigHome();
QStringList xdgConfigDirs();

// A plan file as read: its absolute path and its bytes, and why it gives nothing to judge. The
// path is empty when no place opened.
struct QcPlanFile
{
    QString path;
    QByteArray bytes;
    // One line that names the file: not found, unreadable, not JSON (with the line and column),
    // not an array, or no test type in it. Empty for a plan that lists test types.
    QString problem;
};

// Where a program looks for its plan, in order: `besideDir`/qc.json (the program's own folder),
// then envviewer/qc.json under the XDG config home and under each XDG config folder.
QStringList qcPlanPlaces(const QString &besideDir);

// Reads the first of qcPlanPlaces() that opens. Says nothing when none does: each caller tells
// its user in its own way.
QcPlanFile findQcPlan(const QString &besideDir);
// Reads the plan at `path` (a plan named on a command line).
QcPlanFile readQcPlan(const QString &path);

// Why a test of `label` cannot be judged on `plan`, whose test types are `types`; empty when a
// test type carries the label.
QString qcSelectionProblem(const QcPlanFile &plan, const QList<QcType> &types,
                           const QString &label);

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

// The folder that kept captures go to.
QString qcCapturesDir();
