#pragma once

#include "qc/qcplan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

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
