// envtool results: runs, yield, first-pass and final yield per test, from the results log or
// from the fleet's database.
#include "cli.h"
#include "commands/commands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace {
constexpr int shownFailures = 3;
const QString command = QStringLiteral("results");

// The most frequent failure texts, most frequent first, then in text order.
QList<QPair<QString, int>> topFailures(const YieldRow &row)
{
    QList<QPair<QString, int>> all;
    for (auto it = row.failures.begin(); it != row.failures.end(); ++it)
        all.append({it.key(), it.value()});
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    return all.mid(0, shownFailures);
}

double percent(int part, int whole)
{
    return 100.0 * part / whole;
}

QString percentText(int part, int whole)
{
    return whole == 0 ? QStringLiteral("-") : QString::number(percent(part, whole), 'f', 1);
}

QJsonValue percentJson(int part, int whole)
{
    return whole == 0 ? QJsonValue() : QJsonValue(std::round(10 * percent(part, whole)) / 10);
}

QString groupName(YieldQuery::Split split)
{
    return split == YieldQuery::ByHost ? QStringLiteral("host")
        : split == YieldQuery::ByDay   ? QStringLiteral("day")
                                       : QString();
}

void printTable(const QList<YieldRow> &rows, YieldQuery::Split split)
{
    int width = 4;
    int groupWidth = groupName(split).size();
    for (const YieldRow &row : rows) {
        width = std::max(width, int(row.test.size()));
        groupWidth = std::max(groupWidth, int(row.group.size()));
    }
    const auto line = [&](const QString &test, const QString &group, const QStringList &numbers,
                          const QString &first, const QString &last) {
        QString text = test.leftJustified(width);
        if (split != YieldQuery::None)
            text += QStringLiteral("  ") + group.leftJustified(groupWidth);
        // Each as wide as its heading, at least six.
        const int widths[] = {6, 6, 6, 6, 6, 10, 6, 6, 6};
        for (int i = 0; i < numbers.size(); ++i)
            text += QStringLiteral("  ") + numbers.at(i).rightJustified(widths[i]);
        text += QStringLiteral("  ") + first.leftJustified(29) + QStringLiteral("  ") + last;
        return text.trimmed();
    };
    printLine(line(QStringLiteral("test"), groupName(split),
                   {QStringLiteral("runs"), QStringLiteral("passes"), QStringLiteral("fails"),
                    QStringLiteral("yield"), QStringLiteral("boards"), QStringLiteral("first-pass"),
                    QStringLiteral("final"), QStringLiteral("by-2nd"), QStringLiteral("by-3rd")},
                   QStringLiteral("first"), QStringLiteral("last")));
    const auto shown = [](const QString &value) {
        return value == QLatin1String("-") ? value : value + QLatin1Char('%');
    };
    for (const YieldRow &r : rows) {
        printLine(line(r.test, r.group,
                       {QString::number(r.runs), QString::number(r.passes),
                        QString::number(r.runs - r.passes), shown(percentText(r.passes, r.runs)),
                        QString::number(r.boards), shown(percentText(r.firstPasses, r.boards)),
                        shown(percentText(r.finalPasses, r.boards)),
                        shown(percentText(r.secondPasses, r.boards)),
                        shown(percentText(r.thirdPasses, r.boards))},
                       r.firstTime, r.lastTime));
        for (const auto &failure : topFailures(r))
            printLine(QStringLiteral("    %1  %2").arg(failure.second, 4).arg(failure.first));
    }
}

void printCsv(const QList<YieldRow> &rows, YieldQuery::Split split)
{
    QStringList header {QStringLiteral("test")};
    if (split != YieldQuery::None)
        header << groupName(split);
    header << QStringLiteral("runs") << QStringLiteral("passes") << QStringLiteral("fails")
           << QStringLiteral("yield") << QStringLiteral("boards") << QStringLiteral("first_pass")
           << QStringLiteral("final") << QStringLiteral("first") << QStringLiteral("last");
    for (int i = 1; i <= shownFailures; ++i)
        header << QStringLiteral("failure%1").arg(i) << QStringLiteral("count%1").arg(i);
    // Added after the columns a reader may already count on.
    header << QStringLiteral("second_attempt") << QStringLiteral("third_attempt");
    printLine(header.join(QLatin1Char(',')));
    for (const YieldRow &r : rows) {
        QStringList fields {csvField(r.test)};
        if (split != YieldQuery::None)
            fields << csvField(r.group);
        const auto orEmpty
            = [](const QString &v) { return v == QLatin1String("-") ? QString() : v; };
        fields << QString::number(r.runs) << QString::number(r.passes)
               << QString::number(r.runs - r.passes) << percentText(r.passes, r.runs)
               << QString::number(r.boards) << orEmpty(percentText(r.firstPasses, r.boards))
               << orEmpty(percentText(r.finalPasses, r.boards)) << r.firstTime << r.lastTime;
        const auto top = topFailures(r);
        for (int i = 0; i < shownFailures; ++i) {
            fields << (i < top.size() ? csvField(top.at(i).first) : QString())
                   << (i < top.size() ? QString::number(top.at(i).second) : QString());
        }
        fields << orEmpty(percentText(r.secondPasses, r.boards))
               << orEmpty(percentText(r.thirdPasses, r.boards));
        printLine(fields.join(QLatin1Char(',')));
    }
}

void printJson(const QList<YieldRow> &rows, YieldQuery::Split split)
{
    QJsonArray array;
    for (const YieldRow &r : rows) {
        QJsonArray failures;
        for (const auto &failure : topFailures(r))
            failures.append(QJsonObject {{QStringLiteral("text"), failure.first},
                                         {QStringLiteral("count"), failure.second}});
        QJsonObject entry {
            {QStringLiteral("test"), r.test},
            {QStringLiteral("runs"), r.runs},
            {QStringLiteral("passes"), r.passes},
            {QStringLiteral("fails"), r.runs - r.passes},
            {QStringLiteral("yield"), percentJson(r.passes, r.runs)},
            {QStringLiteral("boards"), r.boards},
            {QStringLiteral("firstPassYield"), percentJson(r.firstPasses, r.boards)},
            {QStringLiteral("finalYield"), percentJson(r.finalPasses, r.boards)},
            {QStringLiteral("secondAttemptYield"), percentJson(r.secondPasses, r.boards)},
            {QStringLiteral("thirdAttemptYield"), percentJson(r.thirdPasses, r.boards)},
            {QStringLiteral("first"), r.firstTime},
            {QStringLiteral("last"), r.lastTime},
            {QStringLiteral("failures"), failures},
        };
        if (split != YieldQuery::None)
            entry.insert(groupName(split), r.group);
        array.append(entry);
    }
    printLine(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
}

struct ResultsOptions
{
    RecordSelection selection;
    QString format = QStringLiteral("table"); // table, csv or json
};

int results(const ResultsOptions &options)
{
    const QString &format = options.format;
    const YieldQuery &query = options.selection.query;
    QList<YieldRow> rows;
    const std::unique_ptr<RecordSource> source = openRecordSource(command, options.selection);
    if (!source->yields(query, &rows)) {
        if (source->found())
            return reportError(command, source->error());
        // A station that has judged nothing yet is no error.
        if (format == QLatin1String("table")) {
            printLine(QStringLiteral("no results recorded yet"));
            return ExitSuccess;
        }
        reportError(command, QStringLiteral("no results recorded yet"));
    }

    if (format == QLatin1String("csv"))
        printCsv(rows, query.split);
    else if (format == QLatin1String("json"))
        printJson(rows, query.split);
    else if (!rows.isEmpty())
        printTable(rows, query.split);
    else
        printLine(source->anyRecord() ? QStringLiteral("no results match")
                                      : QStringLiteral("no results recorded yet"));
    return ExitSuccess;
}
} // namespace

int runResults(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("results"),
        QStringLiteral("Summarises test records per test label: runs, passes, fails, yield, the "
                       "boards (distinct serials) with the share whose first run passed "
                       "(first-pass yield) and whose last run passed (final yield), the share "
                       "that passed by their second and by their third attempt (a board's runs "
                       "of the test in time order, at any station), first and last time, and "
                       "the three most frequent failure texts."));
    QCommandLineParser &p = cli.parser();
    addRecordSelectionOptions(p);
    const QCommandLineOption by(
        QStringLiteral("by"),
        QStringLiteral("Split each test's summary by host or by day (the station's calendar "
                       "day)."),
        QStringLiteral("host|day"));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("table (default), csv or json."),
                                    QStringLiteral("FORMAT"), QStringLiteral("table"));
    p.addOptions({by, format});
    if (const auto done = cli.parse(args))
        return *done;
    ResultsOptions options;
    options.format = cli.value(format);
    if (options.format != QLatin1String("table") && options.format != QLatin1String("csv")
        && options.format != QLatin1String("json"))
        return cli.usageError(
            QStringLiteral("--format is table, csv or json, not '%1'").arg(options.format));
    const std::optional<RecordSelection> selection = recordSelection(cli);
    if (!selection)
        return ExitError;
    options.selection = *selection;
    if (cli.isSet(by)) {
        const QString split = cli.value(by);
        if (split == QLatin1String("host"))
            options.selection.query.split = YieldQuery::ByHost;
        else if (split == QLatin1String("day"))
            options.selection.query.split = YieldQuery::ByDay;
        else
            return cli.usageError(QStringLiteral("--by is host or day, not '%1'").arg(split));
    }
    return results(options);
}
