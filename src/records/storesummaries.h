#pragma once

// The record store's summary tables: what each holds, and the one SQL that derives their rows
// from records, used alike when a batch is added (from the rows it added), when the schema is
// migrated (from every row) and when a query's first day is only partly in scope (from that
// day's rows). Each summary row is keyed by the test and the station's day, so that a query adds
// up days; summaries merge exactly since each record is added once.

#include "records/capability.h"
#include "records/recordkey.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

#include <tuple>

struct QcRecord;

namespace StoreSummaries {

// A source of runs is a relation with the columns id, judged, judged_day, time_written, test,
// verdict, failures; a source of channels one with test, judged_day and the columns of
// qc_channel.

// Each table's columns, in the order its rows are derived and read.
QString dayYieldColumns();
QString dayFailureColumns();
QString dayChannelColumns();
QString dayBinColumns();

// The rows of each table that `source` gives.
QString dayYieldRows(const QString &runs);
QString dayFailureRows(const QString &runs);
QString dayChannelRows(const QString &channels);
QString dayBinRows(const QString &channels);

// Statements that add to the tables the rows that the query `rows` gives (its table's columns in
// order, one row a key), merging those already there.
QString addDayYields(const QString &rows);
QString addDayFailures(const QString &rows);
QString addDayChannels(const QString &rows);
QString addDayBins(const QString &rows);
// Computes again from every stored run the attempts of the boards (test and serial) that
// `boards` lists: all of a board's runs decide its first, second, third and last attempt.
QString recountBoards(const QString &boards);

// The schema's step to version 4: the columns and tables above, filled from the records stored.
QStringList schemaVersion4();
// The view qc_channel of version 5: each stored record's channels, read from its text.
QString channelView();

// What a batch of records adds to the day summaries, gathered as the batch is sent, by the rules
// a log's reader follows; the rows go to staging tables that the statements above add.
class BatchSummary
{
public:
    void add(const QcRecord &record);
    void clear();
    // Each table's rows in COPY's text format, in its columns' order.
    QByteArray dayYieldRows() const;
    QByteArray dayFailureRows() const;
    QByteArray dayChannelRows() const;
    QByteArray dayBinRows() const;

    // A channel's runs of one test and day judged with one window.
    struct ChannelKey
    {
        QString test, day;
        int channel = 0;
        QcRecordWindow window;
        bool operator<(const ChannelKey &other) const;
    };
    struct ChannelDay
    {
        ChannelSums sums;
        WindowBins bins;
    };
    const QMap<ChannelKey, ChannelDay> &channelDays() const { return channels_; }

private:
    struct Run
    {
        QDateTime judged;
        RecordKey key;
        QString id;
        QString time;
    };
    struct DayYield
    {
        qint64 runs = 0;
        qint64 passes = 0;
        Run first, last;
    };
    QMap<std::pair<QString, QString>, DayYield> yields_; // by test and day
    QMap<std::tuple<QString, QString, QString>, qint64> failures_; // and failure
    QMap<ChannelKey, ChannelDay> channels_;
};

} // namespace StoreSummaries
