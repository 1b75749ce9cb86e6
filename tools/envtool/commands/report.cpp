#include "commands/report.h"

#include "cli.h"
#include "commands/commands.h"
#include "common/files.h"
#include "records/lastframe.h"
#include "records/recordsettings.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {
const QString command = QStringLiteral("report");
} // namespace

int ReportCommand::run()
{
    const YieldQuery &query = options_.selection.query;
    const std::unique_ptr<RecordSource> source = openRecordSource(command, options_.selection);
    ReportPage page;
    if (!source->report(query, &page.tests))
        return reportError(command, source->error());
    page.source = source->name();
    QStringList selection;
    if (!query.test.isEmpty())
        selection << QStringLiteral("test \"%1\"").arg(query.test);
    if (query.since.isValid())
        selection << QStringLiteral("since %1").arg(query.since.toString(Qt::ISODate));
    page.selection = selection.join(QLatin1String(", "));
    page.generated = QDateTime::currentDateTime().toString(Qt::ISODate);
    page.lastFramePng = options_.lastFramePng;

    QString error;
    if (!writeFileAtomically(options_.output, reportHtml(page), &error))
        return reportError(command, error);
    return ExitSuccess;
}

int runReport(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("report"),
        QStringLiteral("Writes one self-contained HTML page (no script, no outside link, "
                       "printable on A4) of the test records: for each test its runs, passes, "
                       "fails, yield, first-pass and final yield, the yield per day, the Pareto "
                       "of failure texts; for each judged channel the capability of its samples "
                       "(within and overall sd, Cpk and Ppk against the latest window, marked "
                       "under 1.33, the share outside the window), a histogram of its run means "
                       "against the window and a drift chart of the latest 500 run means with "
                       "the Western Electric rules flagged; and the latest failed runs."));
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
    // A record's capture counts only from the captures folder beside the log it came from (the
    // station's own for the database's records).
    const QString captures
        = qcCapturesDirOf(selection->database.isEmpty() ? selection->log : QString());
    options.lastFramePng = [captures](const QcRecord &run, QString *unavailable) {
        return lastFrameOfCapture(run, captures, {}, unavailable);
    };
    return ReportCommand(options).run();
}
