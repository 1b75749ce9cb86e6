#pragma once

// envtool qc: one test of a plan, judged with the dialog's quality check on a port or a capture.

#include "common/deliverable.h"

#include <QString>

#include <utility>

struct QcOptions
{
    // The plan file; empty: the places the QC dialog looks at, beside `programPath` first.
    QString plan;
    QString programPath;
    QString test;
    // Exactly one of the two: a port to count live frames on, or a capture or session file.
    QString port;
    QString capture;
    Deliverable rules = Deliverable::Viewer;
    // Where else the test record goes: a file of its own, and the results log (empty: the usual
    // one) unless noLog.
    QString json;
    QString log;
    bool noLog = false;
    QString serial;
    // Keep the run's capture in this file whatever the records' `captures=` setting says.
    QString keepCapture;
};

class QcCaptureFile;
class QcCheck;
class StopSignal;

class QcCommand
{
public:
    explicit QcCommand(QcOptions options)
        : options(std::move(options))
    {
    }
    // Prints the verdict and its failures; returns the exit code.
    int run();

private:
    // Feed the check; each returns an exit code, or -1 to judge what was counted.
    // Both hand what they decode to `kept` too.
    int countPort(QcCheck &check, QString *source, StopSignal &stopSignal, QcCaptureFile &kept);
    int countCapture(QcCheck &check, QString *source, QString *damage, QcCaptureFile &kept);

    QcOptions options;
};
