#include "records/yieldsummary.h"

#include <QIODevice>

#include <algorithm>

void YieldSummary::add(const QcRecord &r)
{
    // A record logged twice is one run, as the database holds it once.
    if (ids_.contains(r.id))
        return;
    ids_.insert(r.id);
    if (!query_.test.isEmpty() && r.test != query_.test)
        return;
    if (query_.since.isValid() && r.judged < query_.since)
        return;
    const QString group = query_.split == YieldQuery::ByHost ? r.host
        : query_.split == YieldQuery::ByDay                  ? r.day()
                                                             : QString();
    Group &g = groups_[{r.test, group}];
    YieldRow &row = g.row;
    row.test = r.test;
    row.group = group;
    ++row.runs;
    row.passes += r.passed();
    const auto before = [](const QDateTime &t1, const QString &id1, const QDateTime &t2,
                           const QString &id2) { return t1 < t2 || (t1 == t2 && id1 < id2); };
    if (row.runs == 1 || before(r.judged, r.id, g.first, g.firstId)) {
        g.first = r.judged;
        g.firstId = r.id;
        row.firstTime = r.time;
    }
    if (row.runs == 1 || before(g.last, g.lastId, r.judged, r.id)) {
        g.last = r.judged;
        g.lastId = r.id;
        row.lastTime = r.time;
    }
    for (const QString &failure : r.failures)
        ++row.failures[failure];
    if (r.serial.isEmpty())
        return;
    Board &b = g.boards[r.serial];
    const Run run {r.judged, r.id, r.passed()};
    const auto earlier
        = [&](const Run &a, const Run &c) { return before(a.time, a.id, c.time, c.id); };
    if (b.earliest.isEmpty() || earlier(b.last, run))
        b.last = run;
    b.earliest.insert(std::upper_bound(b.earliest.begin(), b.earliest.end(), run, earlier), run);
    if (b.earliest.size() > 3)
        b.earliest.removeLast();
}

QList<YieldRow> YieldSummary::rows() const
{
    QList<YieldRow> rows;
    for (const Group &g : groups_) {
        YieldRow row = g.row;
        row.boards = g.boards.size();
        for (const Board &b : g.boards) {
            const auto passedWithin = [&](int attempts) {
                return std::any_of(b.earliest.begin(),
                                   b.earliest.begin() + qMin(attempts, int(b.earliest.size())),
                                   [](const Run &run) { return run.passed; });
            };
            row.firstPasses += passedWithin(1);
            row.secondPasses += passedWithin(2);
            row.thirdPasses += passedWithin(3);
            row.finalPasses += b.last.passed;
        }
        rows.append(row);
    }
    return rows;
}
