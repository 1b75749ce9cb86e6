#pragma once

#include <QString>

#include <optional>

struct SimulateOptions
{
    // Where to play: a new pseudo-terminal (its path printed first, `link` made to point to it
    // when given), or the serial port `port`.
    bool pty = false;
    QString link;
    QString port;
    qint64 frameLimit = -1; // stop after this many frames; < 0 never
    double fps = 0; // frames per second; 0 paces them as the line would
    quint32 seed = 1;
    // A raw capture or session to send as recorded instead of frames, from its start again at
    // its end with `loop`.
    QString replay;
    bool loop = false;
    // Frames built to pass the test `test` of the plan in the file `plan`, or to fail it on
    // `failChannel`.
    QString plan;
    QString test;
    std::optional<int> failChannel;
};

// Plays the module (see Simulator) until its frames or capture are done, the line goes, or
// SIGINT, SIGTERM or SIGHUP; returns the exit code.
class SimulateCommand
{
public:
    explicit SimulateCommand(const SimulateOptions &options);
    int run();

private:
    SimulateOptions options;
};
