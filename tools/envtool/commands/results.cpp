// envtool results: runs, yield, first-pass and final yield per test, or the capability of each
// judged channel, from the results log or from the fleet's database.
#include "cli.h"
#include "commands/commands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

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

// One judged channel of one test, as --capability prints it.
struct CapabilityRow
{
    QString test;
    int channel; // numbered as the report numbers it
    ReportChannel capability;
};

QList<CapabilityRow> capabilityRows(const QList<ReportTest> &tests)
{
    QList<CapabilityRow> rows;
    for (const ReportTest &t : tests)
        for (const ReportChannel &c : t.channels)
            rows.append({t.test, t.shownChannel(c.channel), c});
    return rows;
}

// Exact in csv and json: the shortest text that reads back to the same double.
QString exact(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString exactOrEmpty(std::optional<double> value)
{
    return value ? exact(*value) : QString();
}

QJsonValue jsonOrNull(std::optional<double> value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

QString shownOrDash(std::optional<double> value, char format, int precision)
{
    return value ? QString::number(*value, format, precision) : QStringLiteral("-");
}

std::optional<double> meanOf(const AxisSpread &axis)
{
    return axis.samples > 0 ? std::optional<double>(axis.mean) : std::nullopt;
}

std::optional<double> outsidePercent(const ReportChannel &c)
{
    const std::optional<double> share = c.outside.share();
    return share ? std::optional<double>(100 * *share) : std::nullopt;
}

QString windowText(const QcRecordWindow &w)
{
    return QStringLiteral("x[%1, %2] y[%3, %4]")
        .arg(exact(w.xMin), exact(w.xMax), exact(w.yMin), exact(w.yMax));
}

// The figures of one axis: mean, within sd, overall sd, Cpk, Ppk.
struct AxisFigures
{
    std::optional<double> mean, withinSd, overallSd, cpk, ppk;
};

AxisFigures figures(const ReportChannel &c, bool x)
{
    const AxisSpread &axis = x ? c.x : c.y;
    return {meanOf(axis), axis.withinSd(), axis.overallSd(), x ? c.cpkX() : c.cpkY(),
            x ? c.ppkX() : c.ppkY()};
}

void printCapabilityTable(const QList<CapabilityRow> &rows)
{
    const QStringList numberHeadings {
        QStringLiteral("channel"),      QStringLiteral("runs"),
        QStringLiteral("samples"),      QStringLiteral("x-mean"),
        QStringLiteral("x-within-sd"),  QStringLiteral("x-overall-sd"),
        QStringLiteral("x-cpk"),        QStringLiteral("x-ppk"),
        QStringLiteral("y-mean"),       QStringLiteral("y-within-sd"),
        QStringLiteral("y-overall-sd"), QStringLiteral("y-cpk"),
        QStringLiteral("y-ppk"),        QStringLiteral("outside"),
        QStringLiteral("known-runs")};
    QList<QStringList> table;
    for (const CapabilityRow &r : rows) {
        const ReportChannel &c = r.capability;
        QStringList cells {QString::number(r.channel), QString::number(c.x.runs),
                           QString::number(c.x.samples)};
        for (bool x : {true, false}) {
            const AxisFigures f = figures(c, x);
            cells << shownOrDash(f.mean, 'g', 6) << shownOrDash(f.withinSd, 'g', 4)
                  << shownOrDash(f.overallSd, 'g', 4) << shownOrDash(f.cpk, 'f', 2)
                  << shownOrDash(f.ppk, 'f', 2);
        }
        const std::optional<double> outside = outsidePercent(c);
        cells << (outside ? QString::number(*outside, 'f', 2) + QLatin1Char('%')
                          : QStringLiteral("-"))
              << QString::number(c.outside.runs);
        table.append(cells);
    }
    int testWidth = 4;
    QVector<int> widths;
    for (const QString &heading : numberHeadings)
        widths.append(int(heading.size()));
    for (int i = 0; i < rows.size(); ++i) {
        testWidth = std::max(testWidth, int(rows.at(i).test.size()));
        for (int column = 0; column < widths.size(); ++column)
            widths[column] = std::max(widths.at(column), int(table.at(i).at(column).size()));
    }
    const auto line = [&](const QString &test, const QStringList &cells, const QString &window,
                          const QString &notes) {
        QString text = test.leftJustified(testWidth);
        for (int column = 0; column < cells.size(); ++column)
            text += QStringLiteral("  ") + cells.at(column).rightJustified(widths.at(column));
        return (text + QStringLiteral("  ") + window + QStringLiteral("  ") + notes).trimmed();
    };
    int windowWidth = 6;
    for (const CapabilityRow &r : rows)
        windowWidth = std::max(windowWidth, int(windowText(r.capability.window).size()));
    printLine(line(QStringLiteral("test"), numberHeadings,
                   QStringLiteral("window").leftJustified(windowWidth), QString()));
    for (int i = 0; i < rows.size(); ++i) {
        const ReportChannel &c = rows.at(i).capability;
        QStringList notes;
        if (c.marked())
            notes << QStringLiteral("under %1").arg(capableCpk);
        if (c.windowsDiffer)
            notes << QStringLiteral("windows differ: the latest holds");
        printLine(line(rows.at(i).test, table.at(i),
                       windowText(c.window).leftJustified(windowWidth),
                       notes.join(QLatin1String("; "))));
    }
}

void printCapabilityCsv(const QList<CapabilityRow> &rows)
{
    printLine(QStringLiteral("test,channel,runs,samples,x_mean,x_within_sd,x_overall_sd,x_cpk,"
                             "x_ppk,y_mean,y_within_sd,y_overall_sd,y_cpk,y_ppk,outside_percent,"
                             "outside_runs,window_x_min,window_x_max,window_y_min,window_y_max,"
                             "windows_differ,marked"));
    const auto flag
        = [](bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); };
    for (const CapabilityRow &r : rows) {
        const ReportChannel &c = r.capability;
        QStringList fields {csvField(r.test), QString::number(r.channel), QString::number(c.x.runs),
                            QString::number(c.x.samples)};
        for (bool x : {true, false}) {
            const AxisFigures f = figures(c, x);
            fields << exactOrEmpty(f.mean) << exactOrEmpty(f.withinSd) << exactOrEmpty(f.overallSd)
                   << exactOrEmpty(f.cpk) << exactOrEmpty(f.ppk);
        }
        const QcRecordWindow &w = c.window;
        fields << exactOrEmpty(outsidePercent(c)) << QString::number(c.outside.runs)
               << exact(w.xMin) << exact(w.xMax) << exact(w.yMin) << exact(w.yMax)
               << flag(c.windowsDiffer) << flag(c.marked());
        printLine(fields.join(QLatin1Char(',')));
    }
}

void printCapabilityJson(const QList<CapabilityRow> &rows)
{
    QJsonArray array;
    for (const CapabilityRow &r : rows) {
        const ReportChannel &c = r.capability;
        QJsonObject entry {
            {QStringLiteral("test"), r.test},
            {QStringLiteral("channel"), r.channel},
            {QStringLiteral("runs"), c.x.runs},
            {QStringLiteral("samples"), c.x.samples},
            {QStringLiteral("outsidePercent"), jsonOrNull(outsidePercent(c))},
            {QStringLiteral("outsideRuns"), c.outside.runs},
            {QStringLiteral("window"),
             QJsonObject {{QStringLiteral("x"), QJsonArray {c.window.xMin, c.window.xMax}},
                          {QStringLiteral("y"), QJsonArray {c.window.yMin, c.window.yMax}}}},
            {QStringLiteral("windowsDiffer"), c.windowsDiffer},
            {QStringLiteral("marked"), c.marked()},
        };
        for (bool x : {true, false}) {
            const AxisFigures f = figures(c, x);
            entry.insert(x ? QStringLiteral("x") : QStringLiteral("y"),
                         QJsonObject {{QStringLiteral("mean"), jsonOrNull(f.mean)},
                                      {QStringLiteral("withinSd"), jsonOrNull(f.withinSd)},
                                      {QStringLiteral("overallSd"), jsonOrNull(f.overallSd)},
                                      {QStringLiteral("cpk"), jsonOrNull(f.cpk)},
                                      {QStringLiteral("ppk"), jsonOrNull(f.ppk)}});
        }
        array.append(entry);
    }
    printLine(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
}

struct ResultsOptions
{
    RecordSelection selection;
    QString format = QStringLiteral("table"); // table, csv or json
    bool capability = false; // the capability of each judged channel instead of the yields
};

int results(const ResultsOptions &options)
{
    const QString &format = options.format;
    const YieldQuery &query = options.selection.query;
    QList<YieldRow> rows;
    QList<ReportTest> tests;
    const std::unique_ptr<RecordSource> source = openRecordSource(command, options.selection);
    if (!(options.capability ? source->report(query, &tests) : source->yields(query, &rows))) {
        if (source->found())
            return reportError(command, source->error());
        // A station that has judged nothing yet is no error.
        if (format == QLatin1String("table")) {
            printLine(QStringLiteral("no results recorded yet"));
            return ExitSuccess;
        }
        reportError(command, QStringLiteral("no results recorded yet"));
    }

    if (options.capability) {
        const QList<CapabilityRow> channels = capabilityRows(tests);
        if (format == QLatin1String("csv"))
            printCapabilityCsv(channels);
        else if (format == QLatin1String("json"))
            printCapabilityJson(channels);
        else if (!channels.isEmpty())
            printCapabilityTable(channels);
        else
            printLine(!source->anyRecord() ? QStringLiteral("no results recorded yet")
                          : tests.isEmpty()
                          ? QStringLiteral("no results match")
                          : QStringLiteral("no run recorded its channels' measurements"));
        return ExitSuccess;
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
    const QCommandLineOption capability(
        QStringLiteral("capability"),
        QStringLiteral("Instead, per test and judged channel (numbered as the report numbers "
                       "it): the runs and samples; for X and Y the grand mean, the within sd "
                       "(the runs' sds pooled by their sample counts), the overall sd (all "
                       "samples, within and between runs), Cpk (within) and Ppk (overall), "
                       "from the grand mean to the nearer bound of the latest window; the share "
                       "of samples outside the window and the runs it is known over; the latest "
                       "window, noted when runs were judged with others; marked under 1.33."));
    p.addOptions({by, format, capability});
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
    options.capability = cli.isSet(capability);
    if (options.capability && cli.isSet(by))
        return cli.usageError(QStringLiteral("--by does not apply to --capability"));
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
