#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The base folders of the XDG base directory rules. Values that are empty or not absolute are
// ignored, as the rules ask, and the defaults below the home folder take their place.
QString xdgDataHome();
QString xdgConfigHome();
QStringList xdgConfigDirs();

// A plan file as read: its absolute path and its bytes. The path is empty when no place opened.
struct QcPlanFile
{
    QString path;
    QByteArray bytes;
};

// Where a program looks for its plan, in order: `besideDir`/qc.json (the program's own folder),
// then envviewer/qc.json under the XDG config home and under each XDG config folder.
QStringList qcPlanPlaces(const QString &besideDir);

// Reads the first of qcPlanPlaces() that opens. Says nothing when none does: each caller tells
// its user in its own way.
QcPlanFile findQcPlan(const QString &besideDir);

// The results log that every program appends its test records to.
QString qcResultsLogPath();
