#pragma once

#include "qc/qccheck.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

// Where a test's frames came from and when it ran.
struct QcRunInfo
{
    QString planFile;
    QString label;
    Deliverable program = Deliverable::Viewer;
    QString sourceKind; // "port" or "capture"
    QString sourceName;
    QDateTime start;
    QDateTime end;
};

// The machine-readable record of a judged test: what ran, on what, and every channel's counts.
QJsonObject qcTestRecord(const QcRunInfo &info, const QcCheck &check, const QcVerdict &verdict);
