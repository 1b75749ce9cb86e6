#include "commands/report.h"

#include "cli.h"
#include "commands/commands.h"
#include "records/lastframe.h"
#include "records/recordsettings.h"
#include "records/reportdata.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
const QString command = QStringLiteral("report");
} // namespace

int ReportCommand::run()
{
    const YieldQuery &query = options_.selection.query;
    // The yields come from the same records as the rest of the page, whatever the source.
    ReportData data(query);
    YieldQuery all = query;
    all.split = YieldQuery::None;
    const std::unique_ptr<RecordSource> source = openRecordSource(command, options_.selection);
    if (!source->records(all, [&](const QcRecord &r) { data.add(r); }))
        return reportError(command, source->error());
    data.setYields(data.totals(), data.days());
    ReportPage page;
    page.source = source->name();
    QStringList selection;
    if (!query.test.isEmpty())
        selection << QStringLiteral("test \"%1\"").arg(query.test);
    if (query.since.isValid())
        selection << QStringLiteral("since %1").arg(query.since.toString(Qt::ISODate));
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
    addRecordSelectionOptions(p);
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(output))
        return cli.usageError(QStringLiteral("-o FILE is required"));
    const std::optional<RecordSelection> selection = recordSelection(cli);
    if (!selection)
        return ExitError;
    ReportOptions options;
    options.selection = *selection;
    options.output = cli.value(output);
    // A record's capture is drawn only from the captures folder beside the log it came from (the
    // station's own for the database).
    const QString captures = options.selection.database.isEmpty()
        ? QFileInfo(options.selection.log.isEmpty() ? qcResultsLogPath() : options.selection.log)
                  .absolutePath()
            + QLatin1String("/captures")
        : qcCapturesDir();
    options.lastFramePng = [captures](const QcRecord &run, QString *unavailable) {
        return lastFrameOfCapture(run, captures, {}, unavailable);
    };
    return ReportCommand(options).run();
}
