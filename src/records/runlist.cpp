#include "records/runlist.h"

#include <QHash>
#include <QSet>

#include <algorithm>

RunRow runRowOf(const QcRecord &r)
{
    return {r.id,
            r.time,
            r.judged,
            r.stationOrHost(),
            r.test,
            r.serial,
            std::nullopt,
            r.verdict,
            r.failures.value(0),
            r.capture ? r.capture->path : QString()};
}

bool runMatches(const RunFilter &f, const RunRow &row)
{
    return (f.serial.isEmpty() || row.serial == f.serial)
        && (f.label.isEmpty() || row.test == f.label)
        && (f.station.isEmpty() || row.station == f.station)
        && (f.verdict.isEmpty() || row.verdict == f.verdict)
        && (!f.since.isValid() || row.judged >= f.since)
        && (!f.until.isValid() || row.judged < f.until);
}

void RunList::add(const QcRecord &record)
{
    // Only the board's own runs decide its attempts; other boards and tests need not be kept.
    if ((!filter_.serial.isEmpty() && record.serial != filter_.serial)
        || (!filter_.label.isEmpty() && record.test != filter_.label))
        return;
    all_.append(runRowOf(record));
}

QList<RunRow> RunList::rows() const
{
    QList<RunRow> rows = all_;
    std::sort(rows.begin(), rows.end(), [](const RunRow &a, const RunRow &b) {
        return a.judged != b.judged ? a.judged < b.judged : a.id < b.id;
    });
    QSet<QString> seen;
    QHash<QPair<QString, QString>, int> attempts;
    QList<RunRow> shown;
    for (RunRow &row : rows) {
        // A record logged twice is one run.
        if (seen.contains(row.id))
            continue;
        seen.insert(row.id);
        if (!row.serial.isEmpty())
            row.attempt = ++attempts[{row.test, row.serial}];
        if (runMatches(filter_, row))
            shown.append(row);
    }
    return shown;
}
