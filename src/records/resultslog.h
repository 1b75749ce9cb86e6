#pragma once

#include "records/record.h"

#include <QJsonObject>
#include <QString>

#include <functional>

class QIODevice;

// A line of a log that was no record, and why.
struct SkippedLine
{
    qint64 line = 0; // counted from 1
    QString reason;
};

// What reading a results log found besides its records.
struct ResultsLogRead
{
    // At most this many skipped lines are kept in `skippedLines`; all are counted.
    static constexpr int skippedLinesKept = 100;

    int records = 0;
    int skipped = 0; // malformed lines, and a last line without its end
    int unknown = 0; // records of a version this program cannot read
    QList<SkippedLine> skippedLines; // the first of the malformed lines
};

// The lines of an open log, read in large blocks rather than line by line.
class LogLines
{
public:
    enum Kind {
        Line, // a whole line, without its line end
        TooLong, // longer than a record can be: passed over without being held
        Unfinished, // the last bytes, without a line end (empty when too long to hold)
    };
    // Room for the longest record, its line end and a carriage return.
    static constexpr int longest = QcRecordLimits::lineBytes + 2;

    explicit LogLines(QIODevice &device);
    // The next line; false at the end. `line` stays valid until the next call.
    bool next(QByteArray *line, Kind *kind);
    // The bytes of the whole lines given so far, their line ends included.
    qint64 passed() const { return passed_; }

private:
    bool fill();
    QIODevice &device_;
    QByteArray buffer_;
    int begin_ = 0;
    int end_ = 0;
    bool atEnd_ = false;
    qint64 passed_ = 0;
};

// The results log: one JSON test record per line, appended by every program that judges and read
// by envtool.
class ResultsLog
{
public:
    explicit ResultsLog(const QString &path)
        : path_(path)
    {
    }
    const QString &path() const { return path_; }

    // Appends `record` as one line, whole or not at all, after any other writer's line. On
    // failure, false, and `error` names the file and the reason.
    bool append(const QJsonObject &record, QString *error) const;

    // Reads every complete line of an open log, handing each record to `take`. A line without its
    // end is one a program is still writing (or was killed writing): it ends the reading. A line
    // longer than a record can be is skipped without being held.
    static ResultsLogRead read(QIODevice &log, const std::function<void(const QcRecord &)> &take);

private:
    QString path_;
};
