#include "cli.h"

#include "records/databaserecordsource.h"

#include <QDateTime>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int reportError(const QString &command, const QString &message)
{
    const QString prefix
        = command.isEmpty() ? QStringLiteral("envtool") : QStringLiteral("envtool ") + command;
    const QString line = prefix + QStringLiteral(": ") + message.simplified() + QLatin1Char('\n');
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    return ExitError;
}

void printLine(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

SubcommandParser::SubcommandParser(const QString &command, const QString &description)
    : command(command)
{
    options.setApplicationDescription(description);
    options.addHelpOption();
}

std::optional<int> SubcommandParser::parse(const QStringList &args, int positionals)
{
    if (!options.parse(args))
        return usageError(options.errorText());
    if (options.isSet(QStringLiteral("help")) || options.isSet(QStringLiteral("help-all"))) {
        // The parser names the program by its path; the usage line reads "envtool <command>".
        QString help = options.helpText();
        const int end = help.indexOf(QLatin1Char('\n'));
        const QString first = help.left(end);
        const int rest = first.indexOf(QLatin1String(" ["));
        help.replace(0, rest < 0 ? end : rest, QStringLiteral("Usage: envtool ") + command);
        std::fputs(help.toLocal8Bit().constData(), stdout);
        return ExitSuccess;
    }
    const QStringList extra = options.positionalArguments().mid(positionals);
    if (!extra.isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(extra.first()));
    return std::nullopt;
}

std::optional<double> SubcommandParser::positiveNumber(const QCommandLineOption &option) const
{
    const QString name = option.names().constLast();
    bool ok = false;
    const double value = options.value(name).toDouble(&ok);
    if (!ok || !(value > 0) || value > 1e9) {
        usageError(QStringLiteral("--%1 needs a positive number, not '%2'")
                       .arg(name, options.value(name)));
        return std::nullopt;
    }
    return value;
}

std::optional<qint64> SubcommandParser::wholeNumber(const QCommandLineOption &option,
                                                    qint64 minimum, qint64 maximum) const
{
    const QString name = option.names().constLast();
    bool ok = false;
    const qint64 value = options.value(name).toLongLong(&ok);
    if (!ok || value < minimum || value > maximum) {
        usageError(QStringLiteral("--%1 needs a whole number from %2 to %3, not '%4'")
                       .arg(name)
                       .arg(minimum)
                       .arg(maximum)
                       .arg(options.value(name)));
        return std::nullopt;
    }
    return value;
}

namespace {
const QCommandLineOption
    recordLogOption(QStringLiteral("log"),
                    QStringLiteral("Read FILE instead of the results log "
                                   "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                    QStringLiteral("FILE"));
const QCommandLineOption
    recordDatabaseOption(QStringLiteral("db"),
                         QStringLiteral("Read the records of every station in the database at URL "
                                        "(postgresql://...) instead of a log."),
                         QStringLiteral("URL"));
const QCommandLineOption recordLabelOption(QStringLiteral("label"),
                                           QStringLiteral("Only the test labelled L."),
                                           QStringLiteral("L"));
const QCommandLineOption recordSinceOption(
    QStringLiteral("since"),
    QStringLiteral("Only tests judged at or after DATE (an ISO date or date-time; local time "
                   "unless it gives an offset)."),
    QStringLiteral("DATE"));
} // namespace

void addRecordSelectionOptions(QCommandLineParser &parser)
{
    parser.addOptions(
        {recordLogOption, recordDatabaseOption, recordLabelOption, recordSinceOption});
}

std::optional<RecordSelection> recordSelection(const SubcommandParser &cli)
{
    if (cli.isSet(recordLogOption) && cli.isSet(recordDatabaseOption)) {
        cli.usageError(QStringLiteral("--log and --db name two sources; give one"));
        return std::nullopt;
    }
    RecordSelection selection;
    if (cli.isSet(recordSinceOption)) {
        selection.query.since
            = QDateTime::fromString(cli.value(recordSinceOption), Qt::ISODateWithMs);
        if (!selection.query.since.isValid()) {
            cli.usageError(QStringLiteral("--since needs an ISO date or date-time, not '%1'")
                               .arg(cli.value(recordSinceOption)));
            return std::nullopt;
        }
    }
    selection.log = cli.value(recordLogOption);
    selection.database = cli.value(recordDatabaseOption);
    selection.query.test = cli.value(recordLabelOption);
    return selection;
}

std::unique_ptr<RecordSource> openRecordSource(const QString &command,
                                               const RecordSelection &selection)
{
    std::unique_ptr<RecordSource> source = recordSourceFor(selection.log, selection.database);
    source->warn = [command](const QString &warning) { reportError(command, warning); };
    return source;
}

namespace {
int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signalNumber)
{
    const int saved = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

StopSignal::StopSignal(QObject *parent)
    : QObject(parent)
{
    if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignal::readPipe);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

StopSignal::~StopSignal()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
}

void StopSignal::readPipe()
{
    char byte = 0;
    while (::read(stopPipe[0], &byte, 1) == 1)
        emit stopRequested(int(quint8(byte)));
}

QString csvField(QString text)
{
    if (std::none_of(text.begin(), text.end(), [](QChar c) {
            return c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\n')
                || c == QLatin1Char('\r');
        }))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\""))
        + QLatin1Char('"');
}
