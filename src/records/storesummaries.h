#pragma once

// The record store's summary tables: what each holds, and the one SQL that derives their rows
// from records, used alike when a batch is added (from the rows it added), when the schema is
// migrated (from every row) and when a query's first day is only partly in scope (from that
// day's rows). Each summary row is keyed by the test and the station's day, so that a query adds
// up days; summaries merge exactly since each record is added once.

#include <QString>
#include <QStringList>

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

// Statements that add the rows a source gives to the tables, merging those already there.
QString addDayYields(const QString &runs);
QString addDayFailures(const QString &runs);
QString addDayChannels(const QString &channels);
QString addDayBins(const QString &channels);
// Computes again from every stored run the attempts of the boards (test and serial) that
// `boards` lists: all of a board's runs decide its first, second, third and last attempt.
QString recountBoards(const QString &boards);

// The schema's step to version 4: the columns and tables above, filled from the records stored.
QStringList schemaVersion4();

} // namespace StoreSummaries
