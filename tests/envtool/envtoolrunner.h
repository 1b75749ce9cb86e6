#pragma once

// Runs the built envtool as its users do: as a separate process, with real files and real
// pseudo-terminals.

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <memory>

struct ToolResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    // Standard error split into lines, without the empty rest after the last line end.
    QStringList errLines() const
    {
        return QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList outLines() const
    {
        return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

// Runs envtool to its end; a run that takes longer than `timeoutMs` is killed and reported.
inline ToolResult runTool(const QStringList &args, const QByteArray &input = QByteArray(),
                          int timeoutMs = 20000)
{
    QProcess process;
    process.start(QStringLiteral(ENVTOOL_PATH), args);
    ToolResult result;
    if (!process.waitForStarted(5000))
        return result;
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = "envtool did not finish";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// A running `envtool simulate --pty ...` or `envtool tap ...`: the first line it prints is the
// pseudo-terminal, the lines after it name the commands it receives.
class RunningTool
{
public:
    explicit RunningTool(const QStringList &args)
    {
        process.start(QStringLiteral(ENVTOOL_PATH), args);
        if (!process.waitForStarted(5000))
            return;
        const QStringList first = waitForLines(1, 5000);
        if (!first.isEmpty())
            path = first.first();
    }
    ~RunningTool() { stop(); }

    bool isRunning() const { return !path.isEmpty(); }
    QString slavePath() const { return path; }
    QProcess &tool() { return process; }

    // Waits until `count` more lines than already taken have come, or the time is up, and takes
    // what came. It blocks this process's event loop: a window in this process that is to send
    // something must be given the loop instead, see takeLines().
    QStringList waitForLines(int count, int timeoutMs = 3000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (pendingLineCount() < count && !deadline.hasExpired()
               && process.state() == QProcess::Running)
            process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        return takeLines();
    }

    // Takes the whole lines that have come so far, without waiting.
    QStringList takeLines()
    {
        buffer += process.readAllStandardOutput();
        QStringList lines;
        int end = 0;
        while ((end = buffer.indexOf('\n')) >= 0) {
            lines.append(QString::fromUtf8(buffer.left(end)));
            buffer.remove(0, end + 1);
        }
        return lines;
    }

    // Stops it with SIGTERM (or `signal`, such as SIGINT for Ctrl-C); returns its exit code.
    int stop(int signal = SIGTERM)
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        ::kill(pid_t(process.processId()), signal);
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private:
    int pendingLineCount()
    {
        buffer += process.readAllStandardOutput();
        return buffer.count('\n');
    }

    QProcess process;
    QByteArray buffer;
    QString path;
};

class Simulation : public RunningTool
{
public:
    explicit Simulation(const QStringList &args)
        : RunningTool(QStringList {QStringLiteral("simulate"), QStringLiteral("--pty")} + args)
    {
    }
};
