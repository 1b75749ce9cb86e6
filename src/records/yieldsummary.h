#pragma once

#include "records/record.h"
#include "records/recordkey.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

#include <deque>

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
// the records were read in. Each run a board has costs 40 bytes until the rows are asked for;
// each record read, 16 more to know it again.
class YieldSummary
{
public:
    enum Boards {
        CountBoards, // the boards and their attempts, as `envtool results` shows them
        RunsOnly, // runs, passes and failures alone
    };
    explicit YieldSummary(const YieldQuery &query, Boards boards = CountBoards)
        : query_(query)
        , boards_(boards)
        , since_(query.since.isValid() ? query.since.toMSecsSinceEpoch() : 0)
    {
    }
    void add(const QcRecord &record);
    // Adds a record its caller knows it has not added before.
    void addDistinct(const QcRecord &record);
    QList<YieldRow> rows() const;

private:
    // One run of a board, kept until the rows are asked for.
    struct Run
    {
        qint64 judged = 0; // ms since the epoch
        RecordKey id;
        quint64 board = 0; // the serial's hash
        quint32 group = 0;
        bool passed = false;
    };
    struct Group
    {
        YieldRow row;
        qint64 first = 0, last = 0;
        QString firstId, lastId;
        quint32 index = 0; // in groupsByIndex_
    };
    Group &groupOf(const QcRecord &record);

    YieldQuery query_;
    Boards boards_;
    qint64 since_;
    QMap<QPair<QString, QString>, Group> groups_;
    QVector<Group *> groupsByIndex_;
    Group *lastGroup_ = nullptr; // records mostly come in runs of one test and day
    QPair<QString, QString> lastKey_;
    mutable std::deque<Run> runs_; // sorted when the rows are asked for
    RecordKeySet ids_;
};
