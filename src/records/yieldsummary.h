#pragma once

#include "records/record.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <functional>

class QIODevice;

// What `envtool results` shows for one test (and one host or day when split by one).
struct YieldRow
{
    QString test;
    QString group; // the host or the day; empty when not split
    int runs = 0;
    int passes = 0;
    QString firstTime, lastTime; // as recorded, offsets included
    int boards = 0; // distinct serials
    int firstPasses = 0; // boards whose first run passed
    // Boards that passed at their second or third attempt at the latest: a board's attempts are
    // its runs of the test in time order, at whichever station.
    int secondPasses = 0;
    int thirdPasses = 0;
    int finalPasses = 0; // boards whose last run passed
    QHash<QString, int> failures;
};

// How runs are split and which are counted.
struct YieldQuery
{
    enum Split { None, ByHost, ByDay };
    Split split = None;
    QString test; // every test when empty
    QDateTime since; // every time when invalid
};

// Summaries of records read from a log; the database computes the same in RecordStore.
// Runs are ordered by time and then by id, so that "first" and "last" never depend on the order
// the records were read in.
class YieldSummary
{
public:
    explicit YieldSummary(const YieldQuery &query)
        : query_(query)
    {
    }
    void add(const QcRecord &record);
    QList<YieldRow> rows() const;

private:
    struct Run
    {
        QDateTime time;
        QString id;
        bool passed = false;
    };
    struct Board
    {
        QList<Run> earliest; // its first three runs, in order
        Run last;
    };
    struct Group
    {
        YieldRow row;
        QDateTime first, last;
        QString firstId, lastId;
        QHash<QString, Board> boards;
    };
    YieldQuery query_;
    QMap<QPair<QString, QString>, Group> groups_;
    QSet<QString> ids_;
};
