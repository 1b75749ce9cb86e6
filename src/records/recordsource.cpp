#include "records/recordsource.h"

#include "common/files.h"
#include "records/recordsettings.h"

#include <QFile>
#include <QFileInfo>

bool RecordSource::report(const YieldQuery &query, QList<ReportTest> *tests)
{
    // The yields come from the same records as the rest of the page, whatever the source.
    ReportData data(query);
    YieldQuery all = query;
    all.split = YieldQuery::None;
    if (!records(all, [&](const QcRecord &r) { data.add(r); }))
        return false;
    data.setYields(data.totals(), data.days());
    *tests = data.tests();
    return true;
}

LogRecordSource::LogRecordSource(const QString &path)
    : path_(path.isEmpty() ? qcResultsLogPath() : path)
    , named_(!path.isEmpty())
{
}

QString LogRecordSource::name() const
{
    return QFileInfo(path_).absoluteFilePath();
}

bool LogRecordSource::records(const YieldQuery &query,
                              const std::function<void(const QcRecord &)> &take)
{
    Q_UNUSED(query) // each reader applies the selection, as YieldSummary does
    QFile log;
    QString reason;
    found_ = true;
    // Never a FIFO in the log's place: that would wait for ever.
    if (!openRegularFile(log, path_, &reason)) {
        // The station's own log before it judged anything: its callers may say so instead.
        found_ = named_ || QFileInfo::exists(path_) || QFileInfo(path_).isSymLink();
        anyRecord_ = false;
        return fail(QStringLiteral("cannot read %1: %2").arg(path_, reason));
    }
    const ResultsLogRead read = ResultsLog::read(log, take);
    for (const SkippedLine &line : read.skippedLines)
        warn(QStringLiteral("line %1 of %2 is no record (%3); skipped")
                 .arg(line.line)
                 .arg(path_, line.reason));
    if (read.skipped > 0)
        warn(QStringLiteral("skipped %1 malformed or truncated line(s) of %2")
                 .arg(read.skipped)
                 .arg(path_));
    if (read.unknown > 0)
        warn(QStringLiteral("skipped %1 record(s) of an unknown version in %2")
                 .arg(read.unknown)
                 .arg(path_));
    anyRecord_ = read.records > 0;
    return true;
}

bool LogRecordSource::yields(const YieldQuery &query, QList<YieldRow> *rows)
{
    YieldSummary summary(query);
    if (!records(query, [&](const QcRecord &record) { summary.add(record); }))
        return false;
    *rows = summary.rows();
    return true;
}

bool LogRecordSource::runs(const RunFilter &filter, QList<RunRow> *rows)
{
    RunList list(filter);
    if (!records({}, [&](const QcRecord &record) { list.add(record); }))
        return false;
    *rows = list.rows();
    return true;
}
