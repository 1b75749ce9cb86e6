#pragma once

#include "records/reportdata.h"
#include "records/resultslog.h"
#include "records/runlist.h"
#include "records/yieldsummary.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

// Where envtool reads test records from: a station's results log or the fleet's database. Each
// command asks its source, so "from the log or from the database" is decided in one place.
class RecordSource
{
public:
    virtual ~RecordSource() = default;

    // How outputs name the source: a log's absolute path, or the database without its password.
    virtual QString name() const = 0;
    // Hands every record that `query` selects (its split aside) to `take`.
    virtual bool records(const YieldQuery &query, const std::function<void(const QcRecord &)> &take)
        = 0;
    // The summaries YieldSummary gives of the records that `query` selects.
    virtual bool yields(const YieldQuery &query, QList<YieldRow> *rows) = 0;
    // The runs that `filter` selects, oldest first, each with its attempt across the source.
    virtual bool runs(const RunFilter &filter, QList<RunRow> *rows) = 0;
    // What `envtool report` and `results --capability` show of the records `query` selects (its
    // split aside), as ReportData gathers it from the records.
    virtual bool report(const YieldQuery &query, QList<ReportTest> *tests);

    // Why the latest call failed, as one line.
    const QString &error() const { return error_; }
    // False after a call failed because the station's own log is not there: no program has
    // judged on it yet.
    bool found() const { return found_; }
    // False when the latest call read no record at all, so that "no results match" is told from
    // "no results recorded yet".
    bool anyRecord() const { return anyRecord_; }
    // Where a source tells what it passed over ("line 12 of LOG is no record").
    std::function<void(const QString &)> warn = [](const QString &) {};

protected:
    bool fail(const QString &error)
    {
        error_ = error;
        return false;
    }
    bool found_ = true;
    bool anyRecord_ = true;

private:
    QString error_;
};

// A results log, read again for each question.
class LogRecordSource : public RecordSource
{
public:
    // `path`: a log named by the user; empty for the station's own, which may not exist yet.
    explicit LogRecordSource(const QString &path);

    QString name() const override;
    bool records(const YieldQuery &query,
                 const std::function<void(const QcRecord &)> &take) override;
    bool yields(const YieldQuery &query, QList<YieldRow> *rows) override;
    bool runs(const RunFilter &filter, QList<RunRow> *rows) override;

private:
    QString path_;
    bool named_;
};
