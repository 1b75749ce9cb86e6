#include "records/yieldsummary.h"

#include <QIODevice>

#include <algorithm>
#include <string_view>

namespace {

// Runs in time order, the id ordering runs of one moment.
bool before(qint64 t1, const QString &id1, qint64 t2, const QString &id2)
{
    return t1 < t2 || (t1 == t2 && id1 < id2);
}

quint64 boardKey(const QString &serial)
{
    return std::hash<std::u16string_view>()(std::u16string_view(
        reinterpret_cast<const char16_t *>(serial.utf16()), size_t(serial.size())));
}

} // namespace

void YieldSummary::add(const QcRecord &r)
{
    // A record logged twice is one run, as the database holds it once.
    if (ids_.insert(recordKeyOf(r.id)))
        addDistinct(r);
}

YieldSummary::Group &YieldSummary::groupOf(const QcRecord &r)
{
    // The day compared where it is written, so that a record of the last group makes no text.
    const QStringView group = query_.split == YieldQuery::ByHost ? QStringView(r.host)
        : query_.split == YieldQuery::ByDay                      ? QStringView(r.time).left(10)
                                                                 : QStringView();
    if (lastGroup_ && r.test == lastKey_.first && group == lastKey_.second)
        return *lastGroup_;
    const QPair<QString, QString> key {r.test, group.toString()};
    auto found = groups_.find(key);
    if (found == groups_.end()) {
        found = groups_.insert(key, Group());
        found->row.test = key.first;
        found->row.group = key.second;
        found->index = quint32(groupsByIndex_.size());
        groupsByIndex_.append(&*found); // QMap's nodes stay where they are
    }
    lastKey_ = key;
    lastGroup_ = &*found;
    return *found;
}

void YieldSummary::addDistinct(const QcRecord &r)
{
    if (!query_.test.isEmpty() && r.test != query_.test)
        return;
    const qint64 judged = r.judged.toMSecsSinceEpoch();
    if (query_.since.isValid() && judged < since_)
        return;
    Group &g = groupOf(r);
    YieldRow &row = g.row;
    ++row.runs;
    row.passes += r.passed();
    if (row.runs == 1 || before(judged, r.id, g.first, g.firstId)) {
        g.first = judged;
        g.firstId = r.id;
        row.firstTime = r.time;
    }
    if (row.runs == 1 || before(g.last, g.lastId, judged, r.id)) {
        g.last = judged;
        g.lastId = r.id;
        row.lastTime = r.time;
    }
    for (const QString &failure : r.failures)
        ++row.failures[failure];
    if (r.serial.isEmpty() || boards_ == RunsOnly)
        return;
    runs_.push_back({judged, recordKeyOf(r.id), boardKey(r.serial), g.index, r.passed()});
}

QList<YieldRow> YieldSummary::rows() const
{
    // A board's runs side by side, in the order of its attempts.
    std::sort(runs_.begin(), runs_.end(), [](const Run &a, const Run &b) {
        if (a.group != b.group)
            return a.group < b.group;
        if (a.board != b.board)
            return a.board < b.board;
        return a.judged != b.judged ? a.judged < b.judged : a.id < b.id;
    });
    QVector<YieldRow> byIndex;
    for (const Group *g : groupsByIndex_)
        byIndex.append(g->row);
    for (auto run = runs_.cbegin(); run != runs_.cend();) {
        auto end = run;
        int attempt = 0;
        bool passed = false;
        YieldRow &row = byIndex[int(run->group)];
        ++row.boards;
        for (; end != runs_.cend() && end->group == run->group && end->board == run->board; ++end) {
            ++attempt;
            passed = passed || end->passed;
            row.firstPasses += attempt == 1 && passed;
            row.secondPasses += attempt == 2 && passed;
            row.thirdPasses += attempt == 3 && passed;
        }
        // Boards with fewer attempts passed within two or three if they passed at all.
        row.secondPasses += attempt < 2 && passed;
        row.thirdPasses += attempt < 3 && passed;
        row.finalPasses += std::prev(end)->passed;
        run = end;
    }
    QList<YieldRow> rows;
    for (const Group &g : groups_)
        rows.append(byIndex.at(int(g.index)));
    return rows;
}
