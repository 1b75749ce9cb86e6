#pragma once

// envtool render, for callers in-process: the options as the command line sets them.

#include "common/deliverable.h"

#include <QString>

struct RenderOptions
{
    // The capture or session; "-" reads standard input.
    QString input = QStringLiteral("-");
    // A test record's id: the capture that run kept, instead of `input`.
    QString record;
    // The results log to find the record in; empty for the usual one.
    QString log;
    // Whose window's painting.
    Deliverable program = Deliverable::Viewer;
    // 0-based; -1 for the last complete frame.
    int frame = -1;
    // The PNG file; "-" writes standard output, which must not be a terminal.
    QString output = QStringLiteral("-");
};

// One frame of a capture, or of the module's direction of a session, as a PNG, painted exactly
// as the program's window paints it. Needs a QGuiApplication (any platform, offscreen too).

class RenderCommand
{
public:
    explicit RenderCommand(const RenderOptions &options);
    int run();

private:
    // The file the record's run kept; empty, with the error reported, when there is none.
    QString capturePath(int *exitCode) const;

    RenderOptions options;
};
