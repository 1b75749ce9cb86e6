#pragma once

#include <QStringList>

// Each takes the subcommand's name followed by its arguments and returns the exit code.
int runRecord(const QStringList &args);
int runDecode(const QStringList &args);
int runSimulate(const QStringList &args);
int runQc(const QStringList &args);
int runTap(const QStringList &args);
int runResults(const QStringList &args);
int runRuns(const QStringList &args);
int runSync(const QStringList &args);
int runReport(const QStringList &args);
int runRender(const QStringList &args);
int runPorts(const QStringList &args);
