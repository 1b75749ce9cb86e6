// envtool results: the yield of each test, from the records that every judgement appends to the
// results log.
#include "cli.h"
#include "commands.h"
#include "qc/qcfiles.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <algorithm>
#include <cmath>

namespace {
constexpr int shownFailures = 3;

struct Summary
{
    int runs = 0;
    int passes = 0;
    QDateTime first, last;
    QString firstText, lastText; // as recorded, offsets included
    QHash<QString, int> failures;

    // The most frequent failure texts, most frequent first, then in text order.
    QList<QPair<QString, int>> topFailures() const
    {
        QList<QPair<QString, int>> all;
        for (auto it = failures.begin(); it != failures.end(); ++it)
            all.append({it.key(), it.value()});
        std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
            return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        return all.mid(0, shownFailures);
    }
    QString yield() const { return QString::number(100.0 * passes / runs, 'f', 1); }
};

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

void printTable(const QMap<QString, Summary> &tests)
{
    int width = 4;
    for (auto it = tests.begin(); it != tests.end(); ++it)
        width = std::max(width, int(it.key().size()));
    const QString row = QStringLiteral("%1  %2  %3  %4  %5  %6  %7");
    printLine(row.arg(QStringLiteral("test"), -width)
                  .arg(QStringLiteral("runs"), 6)
                  .arg(QStringLiteral("passes"), 6)
                  .arg(QStringLiteral("fails"), 6)
                  .arg(QStringLiteral("yield"), 6)
                  .arg(QStringLiteral("first"), -29)
                  .arg(QStringLiteral("last"))
                  .trimmed());
    for (auto it = tests.begin(); it != tests.end(); ++it) {
        const Summary &s = it.value();
        printLine(row.arg(it.key(), -width)
                      .arg(s.runs, 6)
                      .arg(s.passes, 6)
                      .arg(s.runs - s.passes, 6)
                      .arg(s.yield() + QLatin1Char('%'), 6)
                      .arg(s.firstText, -29)
                      .arg(s.lastText));
        for (const auto &failure : s.topFailures())
            printLine(QStringLiteral("    %1  %2").arg(failure.second, 4).arg(failure.first));
    }
}

void printCsv(const QMap<QString, Summary> &tests)
{
    QStringList header {QStringLiteral("test"),  QStringLiteral("runs"),  QStringLiteral("passes"),
                        QStringLiteral("fails"), QStringLiteral("yield"), QStringLiteral("first"),
                        QStringLiteral("last")};
    for (int i = 1; i <= shownFailures; ++i)
        header << QStringLiteral("failure%1").arg(i) << QStringLiteral("count%1").arg(i);
    printLine(header.join(QLatin1Char(',')));
    for (auto it = tests.begin(); it != tests.end(); ++it) {
        const Summary &s = it.value();
        QStringList fields {csvField(it.key()),
                            QString::number(s.runs),
                            QString::number(s.passes),
                            QString::number(s.runs - s.passes),
                            s.yield(),
                            s.firstText,
                            s.lastText};
        const auto top = s.topFailures();
        for (int i = 0; i < shownFailures; ++i) {
            fields << (i < top.size() ? csvField(top.at(i).first) : QString())
                   << (i < top.size() ? QString::number(top.at(i).second) : QString());
        }
        printLine(fields.join(QLatin1Char(',')));
    }
}

void printJson(const QMap<QString, Summary> &tests)
{
    QJsonArray array;
    for (auto it = tests.begin(); it != tests.end(); ++it) {
        const Summary &s = it.value();
        QJsonArray failures;
        for (const auto &failure : s.topFailures())
            failures.append(QJsonObject {{QStringLiteral("text"), failure.first},
                                         {QStringLiteral("count"), failure.second}});
        array.append(QJsonObject {
            {QStringLiteral("test"), it.key()},
            {QStringLiteral("runs"), s.runs},
            {QStringLiteral("passes"), s.passes},
            {QStringLiteral("fails"), s.runs - s.passes},
            {QStringLiteral("yield"), std::round(1000.0 * s.passes / s.runs) / 10},
            {QStringLiteral("first"), s.firstText},
            {QStringLiteral("last"), s.lastText},
            {QStringLiteral("failures"), failures},
        });
    }
    printLine(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
}
} // namespace

int runResults(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("results"),
                         QStringLiteral("Summarises the test records of the results log per test "
                                        "label: runs, passes, fails, yield, first and last time, "
                                        "and the three most frequent failure texts."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Read FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("label"), QStringLiteral("Only the test labelled L."),
                 QStringLiteral("L")});
    p.addOption({QStringLiteral("since"),
                 QStringLiteral("Only tests judged at or after DATE (an ISO date or date-time; "
                                "local time unless it gives an offset)."),
                 QStringLiteral("DATE")});
    p.addOption({QStringLiteral("format"), QStringLiteral("table (default), csv or json."),
                 QStringLiteral("FORMAT"), QStringLiteral("table")});
    if (const auto done = cli.parse(args))
        return *done;
    const QString format = cli.value(QStringLiteral("format"));
    if (format != QLatin1String("table") && format != QLatin1String("csv")
        && format != QLatin1String("json"))
        return cli.usageError(
            QStringLiteral("--format is table, csv or json, not '%1'").arg(format));
    QDateTime since;
    if (cli.isSet(QStringLiteral("since"))) {
        since = QDateTime::fromString(cli.value(QStringLiteral("since")), Qt::ISODateWithMs);
        if (!since.isValid())
            return cli.usageError(QStringLiteral("--since needs an ISO date or date-time, not '%1'")
                                      .arg(cli.value(QStringLiteral("since"))));
    }
    const bool named = cli.isSet(QStringLiteral("log"));
    QFile log(named ? cli.value(QStringLiteral("log")) : qcResultsLogPath());
    if (!log.open(QIODevice::ReadOnly)) {
        if (named || log.exists())
            return cli.usageError(
                QStringLiteral("cannot read %1: %2").arg(log.fileName(), log.errorString()));
        // A station that has judged nothing yet is no error.
        if (format == QLatin1String("table")) {
            printLine(QStringLiteral("no results recorded yet"));
            return ExitSuccess;
        }
        reportError(QStringLiteral("results"), QStringLiteral("no results recorded yet"));
    }

    QMap<QString, Summary> tests;
    int records = 0;
    int skipped = 0;
    while (log.isOpen() && !log.atEnd()) {
        const QByteArray line = log.readLine();
        if (line.trimmed().isEmpty())
            continue;
        // A line cut short (a program killed while writing) or not a record at all.
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        const QString timeText = record.value(QLatin1String("time")).toString();
        const QDateTime time = QDateTime::fromString(timeText, Qt::ISODateWithMs);
        const QJsonValue test = record.value(QLatin1String("test"));
        const QString verdict = record.value(QLatin1String("verdict")).toString();
        if (!time.isValid() || !test.isString()
            || (verdict != QLatin1String("Pass") && verdict != QLatin1String("Fail"))) {
            ++skipped;
            continue;
        }
        ++records;
        if (cli.isSet(QStringLiteral("label"))
            && test.toString() != cli.value(QStringLiteral("label")))
            continue;
        if (since.isValid() && time < since)
            continue;
        Summary &s = tests[test.toString()];
        ++s.runs;
        s.passes += verdict == QLatin1String("Pass");
        if (!s.first.isValid() || time < s.first) {
            s.first = time;
            s.firstText = timeText;
        }
        if (!s.last.isValid() || time >= s.last) {
            s.last = time;
            s.lastText = timeText;
        }
        const QJsonArray failures = record.value(QLatin1String("failures")).toArray();
        for (const QJsonValue &failure : failures)
            ++s.failures[failure.toString()];
    }
    if (skipped > 0)
        reportError(QStringLiteral("results"),
                    QStringLiteral("skipped %1 malformed or truncated line(s) of %2")
                        .arg(skipped)
                        .arg(log.fileName()));

    if (format == QLatin1String("csv"))
        printCsv(tests);
    else if (format == QLatin1String("json"))
        printJson(tests);
    else if (!tests.isEmpty())
        printTable(tests);
    else
        printLine(records == 0 ? QStringLiteral("no results recorded yet")
                               : QStringLiteral("no results match"));
    return ExitSuccess;
}
