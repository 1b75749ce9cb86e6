#pragma once

#include "records/record.h"

#include <QJsonObject>
#include <QString>

#include <functional>

class QIODevice;

// What reading a results log found besides its records.
struct ResultsLogRead
{
    int records = 0;
    int skipped = 0; // malformed lines, and a last line without its end
    int unknown = 0; // records of a version this program cannot read
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
    // end is one a program is still writing (or was killed writing): it ends the reading.
    static ResultsLogRead read(QIODevice &log, const std::function<void(const QcRecord &)> &take);

private:
    QString path_;
};
