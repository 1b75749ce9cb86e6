// envtool runs: the individual runs of the results log or the fleet's database, and one run in
// full with the commands that re-watch it.
#include "cli.h"
#include "commands/commands.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

namespace {
const QString command = QStringLiteral("runs");
// The table shows this much of an id; `runs show` takes any unique prefix.
constexpr int shownIdLength = 8;

QString attemptText(const RunRow &row)
{
    return row.attempt ? QString::number(*row.attempt) : QString();
}

void printTable(const QList<RunRow> &rows)
{
    const QStringList heading {QStringLiteral("time"),    QStringLiteral("id"),
                               QStringLiteral("station"), QStringLiteral("test"),
                               QStringLiteral("serial"),  QStringLiteral("attempt"),
                               QStringLiteral("verdict"), QStringLiteral("first failure")};
    QList<QStringList> lines {heading};
    for (const RunRow &r : rows)
        lines << QStringList {r.time,
                              r.id.left(shownIdLength),
                              r.station,
                              r.test,
                              r.serial.isEmpty() ? QStringLiteral("-") : r.serial,
                              r.attempt ? attemptText(r) : QStringLiteral("-"),
                              r.verdict,
                              r.firstFailure};
    QVector<int> widths(heading.size(), 0);
    for (const QStringList &line : lines)
        for (int i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], int(line.at(i).size()));
    for (const QStringList &line : lines) {
        QString text;
        for (int i = 0; i < line.size(); ++i)
            text += (i ? QStringLiteral("  ") : QString()) + line.at(i).leftJustified(widths[i]);
        printLine(text.trimmed());
    }
}

void printCsv(const QList<RunRow> &rows)
{
    printLine(QStringLiteral("time,id,station,test,serial,attempt,verdict,first_failure,capture"));
    for (const RunRow &r : rows)
        printLine(QStringList {r.time, r.id, csvField(r.station), csvField(r.test),
                               csvField(r.serial), attemptText(r), r.verdict,
                               csvField(r.firstFailure), csvField(r.capture)}
                      .join(QLatin1Char(',')));
}

void printJson(const QList<RunRow> &rows)
{
    QJsonArray array;
    for (const RunRow &r : rows)
        array.append(QJsonObject {
            {QStringLiteral("time"), r.time},
            {QStringLiteral("id"), r.id},
            {QStringLiteral("station"), r.station},
            {QStringLiteral("test"), r.test},
            {QStringLiteral("serial"), r.serial.isEmpty() ? QJsonValue() : QJsonValue(r.serial)},
            {QStringLiteral("attempt"), r.attempt ? QJsonValue(*r.attempt) : QJsonValue()},
            {QStringLiteral("verdict"), r.verdict},
            {QStringLiteral("firstFailure"),
             r.firstFailure.isEmpty() ? QJsonValue() : QJsonValue(r.firstFailure)},
            {QStringLiteral("capture"), r.capture.isEmpty() ? QJsonValue() : QJsonValue(r.capture)},
        });
    printLine(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
}

// The whole record of the one run whose id begins with `prefix`, and the commands that re-watch
// it and render its last frame.
int show(RecordSource &source, const RecordSelection &selection, const QString &prefix)
{
    const QString wanted = prefix.toLower();
    QList<QcRecord> found;
    QSet<QString> ids;
    if (!source.records({},
                        [&](const QcRecord &r) {
                            if (r.id.startsWith(wanted) && !ids.contains(r.id)) {
                                ids.insert(r.id);
                                found << r;
                            }
                        })
        && source.found())
        return reportError(command, source.error());
    if (found.isEmpty())
        return reportError(
            command,
            QStringLiteral("no run's id begins with '%1' in %2").arg(prefix, source.name()));
    if (found.size() > 1)
        return reportError(command,
                           QStringLiteral("'%1' begins the ids of %2 runs; give more "
                                          "of the id")
                               .arg(prefix)
                               .arg(found.size()));
    const QcRecord &r = found.first();
    printLine(QString::fromUtf8(QJsonDocument(r.toJson()).toJson()).trimmed());
    if (!r.capture) {
        printLine(QStringLiteral("# the run kept no capture"));
        return ExitSuccess;
    }
    if (!QFileInfo::exists(r.capture->path))
        printLine(QStringLiteral("# its capture %1 is not on this machine").arg(r.capture->path));
    printLine(
        QStringLiteral("# re-watch it in a viewer (type the printed port into its port box):"));
    printLine(QStringLiteral("envtool simulate --pty --replay %1").arg(r.capture->path));
    printLine(QStringLiteral("# its last frame as a PNG:"));
    const QString log = selection.database.isEmpty() && !selection.log.isEmpty()
        ? QStringLiteral(" --log %1").arg(selection.log)
        : QString();
    printLine(QStringLiteral("envtool render%1 --record %2 -o %2.png").arg(log, r.id));
    return ExitSuccess;
}
} // namespace

int runRuns(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("runs"),
        QStringLiteral("Lists the runs of the test records, oldest first: time, id, station, "
                       "test, serial, attempt (the board's runs of the test in time order, at "
                       "any station) and verdict with the first failure. 'runs show ID' prints "
                       "one run's whole record (a unique prefix of its id is enough) and the "
                       "commands that re-watch it and render its last frame."));
    QCommandLineParser &p = cli.parser();
    addRecordSelectionOptions(p);
    const QCommandLineOption serial(QStringLiteral("serial"),
                                    QStringLiteral("Only the runs of this board."),
                                    QStringLiteral("S"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("Only runs judged before this ISO date-time."),
                                   QStringLiteral("TIME"));
    const QCommandLineOption verdict(QStringLiteral("verdict"),
                                     QStringLiteral("Only runs with this verdict: Pass or Fail."),
                                     QStringLiteral("V"));
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("Only the runs of this station."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("table (default), csv or json."),
                                    QStringLiteral("FORMAT"), QStringLiteral("table"));
    p.addOptions({serial, until, verdict, station, format});
    p.addPositionalArgument(QStringLiteral("show"), QStringLiteral("show ID: one run in full."),
                            QStringLiteral("[show ID]"));
    if (const auto done = cli.parse(args, 2))
        return *done;
    const std::optional<RecordSelection> selection = recordSelection(cli);
    if (!selection)
        return ExitError;
    const QStringList positional = cli.positional();
    const std::unique_ptr<RecordSource> source = openRecordSource(command, *selection);
    if (!positional.isEmpty()) {
        if (positional.size() != 2 || positional.first() != QLatin1String("show"))
            return cli.usageError(QStringLiteral("give 'show ID' or no argument"));
        return show(*source, *selection, positional.at(1));
    }
    const QString shape = cli.value(format);
    if (shape != QLatin1String("table") && shape != QLatin1String("csv")
        && shape != QLatin1String("json"))
        return cli.usageError(
            QStringLiteral("--format is table, csv or json, not '%1'").arg(shape));
    RunFilter filter;
    filter.label = selection->query.test;
    filter.since = selection->query.since;
    filter.serial = cli.value(serial);
    filter.station = cli.value(station);
    if (cli.isSet(verdict)) {
        filter.verdict = cli.value(verdict);
        if (filter.verdict != QLatin1String("Pass") && filter.verdict != QLatin1String("Fail"))
            return cli.usageError(
                QStringLiteral("--verdict is Pass or Fail, not '%1'").arg(filter.verdict));
    }
    if (cli.isSet(until)) {
        filter.until = QDateTime::fromString(cli.value(until), Qt::ISODateWithMs);
        if (!filter.until.isValid())
            return cli.usageError(QStringLiteral("--until needs an ISO date or date-time, not '%1'")
                                      .arg(cli.value(until)));
    }
    QList<RunRow> rows;
    if (!source->runs(filter, &rows)) {
        if (source->found())
            return reportError(command, source->error());
    }
    if (shape == QLatin1String("csv"))
        printCsv(rows);
    else if (shape == QLatin1String("json"))
        printJson(rows);
    else if (!rows.isEmpty())
        printTable(rows);
    else
        printLine(source->anyRecord() ? QStringLiteral("no runs match")
                                      : QStringLiteral("no results recorded yet"));
    return ExitSuccess;
}
