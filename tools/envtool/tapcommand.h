#pragma once

// envtool tap: sits on the line between the module and the viewer, forwards every byte both ways
// and records both directions.

#include <QString>

#include <optional>

struct TapOptions
{
    QString port; // the module's serial port
    QString link; // a symbolic link to the viewer's pseudo-terminal; empty for none
    QString session; // the session file; empty for none
    std::optional<double> seconds;
};

class TapCommand
{
public:
    explicit TapCommand(TapOptions options)
        : options(std::move(options))
    {
    }

    // Prints the viewer's pseudo-terminal, then forwards until the time is up, a stop signal
    // (SIGINT, SIGTERM, SIGHUP) or the module's port goes away. Returns the exit code.
    int run();

private:
    TapOptions options;
};
