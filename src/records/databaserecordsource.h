#pragma once

#include "records/recordsource.h"
#include "records/recordstore.h"

#include <memory>

// The fleet's database as a source of records; it computes the yields and the report's figures
// itself.
class DatabaseRecordSource : public RecordSource
{
public:
    explicit DatabaseRecordSource(const QString &url);

    QString name() const override;
    bool records(const YieldQuery &query,
                 const std::function<void(const QcRecord &)> &take) override;
    bool yields(const YieldQuery &query, QList<YieldRow> *rows) override;
    bool runs(const RunFilter &filter, QList<RunRow> *rows) override;
    bool report(const YieldQuery &query, QList<ReportTest> *tests) override;

private:
    bool open();

    QString url_;
    RecordStore store_;
};

// The log at `log` (empty: the station's own) unless `database` names one.
std::unique_ptr<RecordSource> recordSourceFor(const QString &log, const QString &database);

// A database URL as outputs may show it: without its password.
QString redactedDatabaseUrl(const QString &url);
