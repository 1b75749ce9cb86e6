#pragma once

// envtool record: the raw byte stream of a port, written to a file or standard output until a
// limit or a stop signal.

#include <QString>

#include <optional>

struct RecordOptions
{
    QString port;
    // The capture file; empty or "-" is standard output, which must not be a terminal.
    QString output;
    std::optional<double> seconds;
    qint64 byteLimit = 0; // 0: no limit
};

class RecordCommand
{
public:
    explicit RecordCommand(RecordOptions options)
        : options(std::move(options))
    {
    }

    // Records until the limit, a stop signal (SIGINT, SIGTERM, SIGHUP) or the port's loss;
    // everything received is written first. Returns the exit code.
    int run();

private:
    RecordOptions options;
};
