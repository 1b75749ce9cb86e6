#include "records/yieldsummary.h"

#include <QIODevice>

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
    const auto known = g.boards.find(r.serial);
    if (known == g.boards.end()) {
        g.boards.insert(r.serial, {r.judged, r.judged, r.id, r.id, r.passed(), r.passed()});
        return;
    }
    Board &b = known.value();
    if (before(r.judged, r.id, b.firstTime, b.firstId)) {
        b.firstTime = r.judged;
        b.firstId = r.id;
        b.firstPassed = r.passed();
    }
    if (before(b.lastTime, b.lastId, r.judged, r.id)) {
        b.lastTime = r.judged;
        b.lastId = r.id;
        b.lastPassed = r.passed();
    }
}

QList<YieldRow> YieldSummary::rows() const
{
    QList<YieldRow> rows;
    for (const Group &g : groups_) {
        YieldRow row = g.row;
        row.boards = g.boards.size();
        for (const Board &b : g.boards) {
            row.firstPasses += b.firstPassed;
            row.finalPasses += b.lastPassed;
        }
        rows.append(row);
    }
    return rows;
}
