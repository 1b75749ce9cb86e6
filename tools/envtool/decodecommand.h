#pragma once

#include "control/commandlog.h"
#include "link/framewriter.h"
#include "link/sessionfile.h"

#include <QString>

struct DecodeOptions
{
    // The capture or session; "-" reads standard input.
    QString input = QStringLiteral("-");
    // The viewer's commands of a session instead of the module's frames.
    bool commands = false;
    FrameWriter::Format frameFormat = FrameWriter::Format::JsonLines;
    CommandLog::Format commandFormat = CommandLog::Format::Text;
};

// Decodes a capture, or the module's direction of a session, with the viewer's decoder onto
// standard output, the decoder's statistics on standard error; or lists a session's commands.
// It reads the input as it comes, so that Ctrl-C (or SIGTERM, SIGHUP) stops it at once, even on
// a pipe that delivers slowly: what was decoded is written, and it ends with 128 and the signal's
// number, as a shell expects.
class DecodeCommand
{
public:
    explicit DecodeCommand(const DecodeOptions &options);
    int run();

private:
    DecodeOptions options;
};
