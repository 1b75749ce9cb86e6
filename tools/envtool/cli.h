#pragma once

// What every subcommand shares: option parsing with --help, one-line errors, exit codes, the
// serial line, and a clean stop on Ctrl-C, SIGTERM or SIGHUP.

#include "records/recordsource.h"

#include <QCommandLineParser>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QSocketNotifier;

enum ExitCode { ExitSuccess = 0, ExitFail = 1, ExitError = 2 };

// Writes "envtool <command>: <message>" as one line to standard error and returns ExitError.
int reportError(const QString &command, const QString &message);

// A CSV field: as it is, or quoted when it holds a comma, a quote or a line end.
QString csvField(QString text);

// Writes one line to standard output and flushes it, so that a reader on a pipe sees it now.
void printLine(const QString &line);

// A subcommand's options. parse() handles --help and every parse error itself.
class SubcommandParser
{
public:
    SubcommandParser(const QString &command, const QString &description);

    QCommandLineParser &parser() { return options; }
    // args: the subcommand's name followed by its arguments, of which at most `positionals` are
    // not options. Returns the exit code to end with (help shown, or a usage error reported), or
    // nothing when the command is to run.
    std::optional<int> parse(const QStringList &args, int positionals = 0);

    QString value(const QString &name) const { return options.value(name); }
    bool isSet(const QString &name) const { return options.isSet(name); }
    QString value(const QCommandLineOption &option) const { return options.value(option); }
    bool isSet(const QCommandLineOption &option) const { return options.isSet(option); }
    QStringList positional() const { return options.positionalArguments(); }
    int usageError(const QString &message) const { return reportError(command, message); }

    // Option values checked one by one; a bad one is reported and gives nothing.
    std::optional<double> positiveNumber(const QCommandLineOption &option) const;
    std::optional<qint64> wholeNumber(const QCommandLineOption &option, qint64 minimum,
                                      qint64 maximum) const;

private:
    QString command;
    QCommandLineParser options;
};

// Which test records a command reads: --log or --db, --label and --since.
struct RecordSelection
{
    QString log; // the results log when empty
    QString database; // the log is read when empty
    YieldQuery query;
};
void addRecordSelectionOptions(QCommandLineParser &parser);
// Reads them after parsing; nothing once a bad one is reported.
std::optional<RecordSelection> recordSelection(const SubcommandParser &cli);
// The source the selection names; what it passes over is reported as `command`'s warnings.
std::unique_ptr<RecordSource> openRecordSource(const QString &command,
                                               const RecordSelection &selection);

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal: the handler only writes to a pipe, and the
// event loop reads it, so the command stops between two of its own steps.
class StopSignal : public QObject
{
    Q_OBJECT
public:
    explicit StopSignal(QObject *parent = nullptr);
    ~StopSignal() override;

signals:
    void stopRequested(int signalNumber);

private:
    void readPipe();
    QSocketNotifier *notifier = nullptr;
};
