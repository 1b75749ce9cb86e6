#include "commands/report.h"

#include "cli.h"
#include "commands/commands.h"
#include "commands/lastframe.h"
#include "qc/qcfiles.h"
#include "reporthtml.h"
#include "store/recordstore.h"
#include "yieldreport.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace {
const QString command = QStringLiteral("report");
} // namespace

int ReportCommand::run()
{
    ReportData data(options_.source.query);
    ReportPage page;
    if (!options_.source.database.isEmpty()) {
        RecordStore store;
        YieldQuery byDay = options_.source.query;
        byDay.split = YieldQuery::ByDay;
        YieldQuery total = options_.source.query;
        total.split = YieldQuery::None;
        QList<YieldRow> totals, days;
        if (!store.open(options_.source.database)
            || !store.records(total, [&](const QcRecord &r) { data.add(r); })
            || !store.yields(total, &totals) || !store.yields(byDay, &days))
            return reportError(command, store.error());
        data.setYields(totals, days);
        // The URL without its password.
        page.source = QStringLiteral("the database %1")
                          .arg(QString(options_.source.database)
                                   .replace(QRegularExpression(QStringLiteral(":[^:@/]*@")),
                                            QStringLiteral(":***@")));
    } else {
        QFile log(options_.source.log.isEmpty() ? qcResultsLogPath() : options_.source.log);
        if (!log.open(QIODevice::ReadOnly))
            return reportError(
                command,
                QStringLiteral("cannot read %1: %2").arg(log.fileName(), log.errorString()));
        const ResultsLogRead read = readResultsLog(log, [&](const QcRecord &r) { data.add(r); });
        reportLogProblems(command, read, log.fileName());
        data.setYields(data.totals(), data.days());
        page.source = QFileInfo(log).absoluteFilePath();
    }
    QStringList selection;
    if (!options_.source.query.test.isEmpty())
        selection << QStringLiteral("test \"%1\"").arg(options_.source.query.test);
    if (options_.source.query.since.isValid())
        selection
            << QStringLiteral("since %1").arg(options_.source.query.since.toString(Qt::ISODate));
    page.selection = selection.join(QLatin1String(", "));
    page.generated = QDateTime::currentDateTime().toString(Qt::ISODate);
    page.tests = data.tests();
    page.lastFramePng = options_.lastFramePng;

    QSaveFile out(options_.output);
    const QByteArray html = reportHtml(page);
    if (!out.open(QIODevice::WriteOnly) || out.write(html) != html.size() || !out.commit())
        return reportError(
            command, QStringLiteral("cannot write %1: %2").arg(options_.output, out.errorString()));
    return ExitSuccess;
}

int runReport(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("report"),
        QStringLiteral("Writes one self-contained HTML page (no script, no outside link, "
                       "printable on A4) of the test records: for each test its runs, passes, "
                       "fails, yield, first-pass and final yield, the yield per day, the Pareto "
                       "of failure texts, a histogram of each judged channel's run means "
                       "against its window with its Cpk (marked under 1.33), and the latest "
                       "failed runs."));
    QCommandLineParser &p = cli.parser();
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The page to write."), QStringLiteral("FILE"));
    p.addOption(output);
    addRecordSourceOptions(p);
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(output))
        return cli.usageError(QStringLiteral("-o FILE is required"));
    const std::optional<RecordSource> source = recordSource(cli);
    if (!source)
        return ExitError;
    ReportOptions options;
    options.source = *source;
    options.output = cli.value(output);
    options.lastFramePng = lastFrameOfCapture;
    return ReportCommand(options).run();
}
