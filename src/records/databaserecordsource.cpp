#include "records/databaserecordsource.h"

DatabaseRecordSource::DatabaseRecordSource(const QString &url)
    : url_(url)
{
}

QString DatabaseRecordSource::name() const
{
    return QStringLiteral("the database %1").arg(redactedDatabaseUrl(url_));
}

bool DatabaseRecordSource::open()
{
    return store_.isOpen() || store_.open(url_) || fail(store_.error());
}

bool DatabaseRecordSource::records(const YieldQuery &query,
                                   const std::function<void(const QcRecord &)> &take)
{
    if (!open() || !(store_.records(query, take) || fail(store_.error())))
        return false;
    for (const SkippedLine &skipped : store_.skippedRecords())
        warn(QStringLiteral("a record of %1 is no record (%2); skipped")
                 .arg(name(), skipped.reason));
    return true;
}

bool DatabaseRecordSource::yields(const YieldQuery &query, QList<YieldRow> *rows)
{
    return open() && (store_.yields(query, rows) || fail(store_.error()));
}

bool DatabaseRecordSource::report(const YieldQuery &query, QList<ReportTest> *tests)
{
    return open() && (store_.report(query, tests) || fail(store_.error()));
}

bool DatabaseRecordSource::runs(const RunFilter &filter, QList<RunRow> *rows)
{
    return open() && (store_.runs(filter, rows) || fail(store_.error()));
}

std::unique_ptr<RecordSource> recordSourceFor(const QString &log, const QString &database)
{
    if (!database.isEmpty())
        return std::make_unique<DatabaseRecordSource>(database);
    return std::make_unique<LogRecordSource>(log);
}

QString redactedDatabaseUrl(const QString &url)
{
    return DatabaseUrl::parse(url).redacted();
}
