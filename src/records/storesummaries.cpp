#include "records/storesummaries.h"

#include "common/deliverable.h"
#include "qc/qccheck.h"
#include "records/copyformat.h"
#include "records/record.h"

namespace StoreSummaries {

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QLatin1String("''"))
        + QLatin1Char('\'');
}

// The channels that a histogram and the capability count: judged with a window, with means.
const char plotted[] = "x_low IS NOT NULL AND x_mean IS NOT NULL AND y_mean IS NOT NULL";
const char channelKey[] = "test, judged_day, channel, x_low, x_high, y_low, y_high";

} // namespace

QString dayYieldColumns()
{
    return QStringLiteral("test, judged_day, runs, passes, first_judged, first_id, first_time, "
                          "last_judged, last_id, last_time");
}

QString dayFailureColumns()
{
    return QStringLiteral("test, judged_day, failure, runs");
}

QString dayChannelColumns()
{
    return QStringLiteral("%1, mean_runs, runs, samples, x_mean, x_within, x_between, y_mean, "
                          "y_within, y_between, outside_runs, outside_samples, outside")
        .arg(QLatin1String(channelKey));
}

QString dayBinColumns()
{
    return QStringLiteral("%1, axis, bin, runs").arg(QLatin1String(channelKey));
}

QString dayYieldRows(const QString &runs)
{
    // First and last by time and then by id, as a log's reader orders runs.
    return QStringLiteral("SELECT test, judged_day, count(*) AS runs, "
                          "count(*) FILTER (WHERE verdict = 'Pass') AS passes, "
                          "(array_agg(judged ORDER BY judged, id))[1] AS first_judged, "
                          "(array_agg(id ORDER BY judged, id))[1] AS first_id, "
                          "(array_agg(time_written ORDER BY judged, id))[1] AS first_time, "
                          "(array_agg(judged ORDER BY judged DESC, id DESC))[1] AS last_judged, "
                          "(array_agg(id ORDER BY judged DESC, id DESC))[1] AS last_id, "
                          "(array_agg(time_written ORDER BY judged DESC, id DESC))[1] AS last_time "
                          "FROM %1 AS runs GROUP BY test, judged_day")
        .arg(runs);
}

QString dayFailureRows(const QString &runs)
{
    return QStringLiteral("SELECT test, judged_day, failure, count(*) AS runs FROM %1 AS runs, "
                          "unnest(failures) AS failure GROUP BY 1, 2, 3")
        .arg(runs);
}

QString dayChannelRows(const QString &channels)
{
    // The grand mean first, then each run's squared deviation from it: the two-pass sums keep
    // their precision however far from zero the means lie. The sds are population ones, so a
    // run's squared deviations from its own mean are n·sd².
    return QStringLiteral(
               "SELECT %2, count(*) AS mean_runs, count(n) AS runs, "
               "coalesce(sum(n), 0)::bigint AS samples, coalesce(max(gx), 0) AS x_mean, "
               "coalesce(sum(n * x_sd * x_sd), 0) AS x_within, "
               "coalesce(sum(n * (x_mean - gx) * (x_mean - gx)), 0) AS x_between, "
               "coalesce(max(gy), 0) AS y_mean, coalesce(sum(n * y_sd * y_sd), 0) AS y_within, "
               "coalesce(sum(n * (y_mean - gy) * (y_mean - gy)), 0) AS y_between, "
               "count(outside) FILTER (WHERE samples > 0) AS outside_runs, "
               "coalesce(sum(samples) FILTER (WHERE outside IS NOT NULL AND samples > 0), 0) "
               "AS outside_samples, coalesce(sum(outside), 0) AS outside "
               "FROM (SELECT *, sum(n * x_mean) OVER w / sum(n) OVER w AS gx, "
               "sum(n * y_mean) OVER w / sum(n) OVER w AS gy "
               "FROM (SELECT %2, x_mean, coalesce(x_sd, 0) AS x_sd, y_mean, "
               "coalesce(y_sd, 0) AS y_sd, samples, outside, "
               "CASE WHEN samples > 0 THEN samples::float8 END AS n "
               "FROM %1 AS channels WHERE %3) AS c WINDOW w AS (PARTITION BY %2)) AS c "
               "GROUP BY %2")
        .arg(channels, QLatin1String(channelKey), QLatin1String(plotted));
}

QString dayBinRows(const QString &channels)
{
    return QStringLiteral("SELECT %2, b.axis, b.bin, count(*) AS runs FROM %1 AS channels "
                          "CROSS JOIN LATERAL (VALUES ('x', x_bin), ('y', y_bin)) AS b(axis, bin) "
                          "WHERE %3 GROUP BY %2, b.axis, b.bin")
        .arg(channels, QLatin1String(channelKey), QLatin1String(plotted));
}

QString addDayYields(const QString &rows)
{
    // The run that comes first (or last) by time and then by id gives the three columns.
    const auto keep = [](const char *end, const char *column, const char *than) {
        return QStringLiteral("%1_%2 = CASE WHEN (EXCLUDED.%1_judged, EXCLUDED.%1_id) %3 "
                              "(s.%1_judged, s.%1_id) THEN EXCLUDED.%1_%2 ELSE s.%1_%2 END")
            .arg(QLatin1String(end), QLatin1String(column), QLatin1String(than));
    };
    QStringList sets {QStringLiteral("runs = s.runs + EXCLUDED.runs"),
                      QStringLiteral("passes = s.passes + EXCLUDED.passes")};
    for (const char *column : {"judged", "id", "time"})
        sets << keep("first", column, "<") << keep("last", column, ">");
    return QStringLiteral("INSERT INTO qc_day_yield AS s (%1) %2 ON CONFLICT (test, judged_day) "
                          "DO UPDATE SET %3")
        .arg(dayYieldColumns(), rows, sets.join(QLatin1String(", ")));
}

QString addDayFailures(const QString &rows)
{
    return QStringLiteral("INSERT INTO qc_day_failure AS s (%1) %2 ON CONFLICT (test, "
                          "judged_day, failure) DO UPDATE SET runs = s.runs + EXCLUDED.runs")
        .arg(dayFailureColumns(), rows);
}

QString addDayChannels(const QString &rows)
{
    // Two groups of runs merged by Chan's rule, as AxisSpread::merge does.
    QStringList sets;
    for (const char *axis : {"x", "y"}) {
        sets << QStringLiteral("%1_mean = CASE WHEN EXCLUDED.samples = 0 THEN s.%1_mean "
                               "WHEN s.samples = 0 THEN EXCLUDED.%1_mean "
                               "ELSE s.%1_mean + (EXCLUDED.%1_mean - s.%1_mean) "
                               "* EXCLUDED.samples::float8 / (s.samples + EXCLUDED.samples) END")
                    .arg(QLatin1String(axis))
             << QStringLiteral("%1_within = s.%1_within + EXCLUDED.%1_within")
                    .arg(QLatin1String(axis))
             << QStringLiteral(
                    "%1_between = s.%1_between + EXCLUDED.%1_between + CASE WHEN s.samples = 0 "
                    "OR EXCLUDED.samples = 0 THEN 0 ELSE (EXCLUDED.%1_mean - s.%1_mean) "
                    "* (EXCLUDED.%1_mean - s.%1_mean) * s.samples::float8 "
                    "* EXCLUDED.samples::float8 / (s.samples + EXCLUDED.samples) END")
                    .arg(QLatin1String(axis));
    }
    for (const char *sum :
         {"mean_runs", "runs", "samples", "outside_runs", "outside_samples", "outside"})
        sets << QStringLiteral("%1 = s.%1 + EXCLUDED.%1").arg(QLatin1String(sum));
    // Every expression reads the row as it was before the update.
    return QStringLiteral("INSERT INTO qc_day_channel AS s (%1) %2 ON CONFLICT (%3) "
                          "DO UPDATE SET %4")
        .arg(dayChannelColumns(), rows, QLatin1String(channelKey), sets.join(QLatin1String(", ")));
}

QString addDayBins(const QString &rows)
{
    return QStringLiteral("INSERT INTO qc_day_bin AS s (%1) %2 ON CONFLICT (%3, axis, bin) "
                          "DO UPDATE SET runs = s.runs + EXCLUDED.runs")
        .arg(dayBinColumns(), rows, QLatin1String(channelKey));
}

QString recountBoards(const QString &boards)
{
    // A board's attempts are its runs of the test in time order, at whichever station; a day's
    // are its runs of that day.
    const auto attempts = [](const char *first, const char *last) {
        return QStringLiteral("bool_or(passed AND %1 = 1), bool_or(passed AND %1 <= 2), "
                              "bool_or(passed AND %1 <= 3), bool_or(passed AND %2 = 1)")
            .arg(QLatin1String(first), QLatin1String(last));
    };
    const QString sets = QStringLiteral("by_first = EXCLUDED.by_first, by_second = "
                                        "EXCLUDED.by_second, by_third = EXCLUDED.by_third, "
                                        "finally = EXCLUDED.finally");
    return QStringLiteral(
               "WITH touched AS (SELECT DISTINCT test, serial FROM %1 AS boards "
               "WHERE serial IS NOT NULL), "
               "ranked AS (SELECT r.test, r.serial, r.judged_day, r.verdict = 'Pass' AS passed, "
               "row_number() OVER (PARTITION BY r.test, r.serial ORDER BY r.judged, r.id) AS fr, "
               "row_number() OVER (PARTITION BY r.test, r.serial ORDER BY r.judged DESC, "
               "r.id DESC) AS lr, "
               "row_number() OVER (PARTITION BY r.test, r.serial, r.judged_day "
               "ORDER BY r.judged, r.id) AS dfr, "
               "row_number() OVER (PARTITION BY r.test, r.serial, r.judged_day "
               "ORDER BY r.judged DESC, r.id DESC) AS dlr "
               // Each board's runs by the index on serial, however the planner would join.
               "FROM touched t CROSS JOIN LATERAL (SELECT * FROM qc_record r "
               "WHERE r.serial = t.serial AND r.test = t.test) r), "
               "boards AS (INSERT INTO qc_board SELECT test, serial, %2 FROM ranked "
               "GROUP BY test, serial ON CONFLICT (test, serial) DO UPDATE SET %4 RETURNING 1), "
               "days AS (INSERT INTO qc_board_day SELECT test, judged_day, serial, %3 FROM ranked "
               "GROUP BY test, judged_day, serial ON CONFLICT (test, judged_day, serial) "
               "DO UPDATE SET %4 RETURNING 1) "
               "SELECT (SELECT count(*) FROM boards) + (SELECT count(*) FROM days)")
        .arg(boards, attempts("fr", "lr"), attempts("dfr", "dlr"), sets);
}

namespace {

// A channel's samples outside its window as qcOutsideSamples counts them, of the channel `c`
// of a run whose rules are `rules`.
QString outsideOf(const QString &rules)
{
    // The rules under which good counts the samples inside the window, so that samples − good
    // is how many fell outside.
    QStringList countingRules;
    for (Deliverable d :
         {Deliverable::Viewer, Deliverable::Cam, Deliverable::Qc, Deliverable::Lite}) {
        if (!qcRules(d).netCount)
            countingRules << quoted(QLatin1String(deliverableName(d)));
    }
    return QStringLiteral("CASE WHEN c.samples IS NULL OR c.x_low IS NULL THEN NULL "
                          "WHEN c.x_min >= c.x_low AND c.x_max <= c.x_high AND c.y_min >= c.y_low "
                          "AND c.y_max <= c.y_high THEN 0 "
                          "WHEN %1 IN (%2) THEN greatest(0, c.samples - c.good) END")
        .arg(rules, countingRules.join(QLatin1String(", ")));
}

// histogramBinOf of the channel `c`'s mean on `axis`: bins of a twentieth of the window, ten
// each side, clamped. A mean so far out that the division overflows lies beyond the end bin on
// its side.
QString binOf(const char *axis)
{
    return QStringLiteral(
               "CASE WHEN NOT (c.x_low IS NOT NULL AND c.x_mean IS NOT NULL AND c.y_mean IS "
               "NOT NULL) THEN NULL WHEN NOT (c.%1_high - c.%1_low > 0) THEN 0 "
               "WHEN abs(c.%1_mean - c.%1_low) / 1e200 >= (c.%1_high - c.%1_low) / 20 "
               "THEN CASE WHEN c.%1_mean > c.%1_low THEN 39 ELSE 0 END "
               "ELSE least(39, greatest(0, floor((c.%1_mean - c.%1_low) "
               "/ ((c.%1_high - c.%1_low) / 20) + 10)))::smallint END")
        .arg(QLatin1String(axis));
}

} // namespace

QStringList schemaVersion4()
{
    const QString channelsWithRuns
        = QStringLiteral("(SELECT r.test, r.judged_day, c.* FROM qc_channel c JOIN qc_record r ON "
                         "r.id = c.record_id)");
    return {
        // Records arrive by the thousand a second: lz4 packs them several times faster than the
        // default, where the server has it.
        QStringLiteral("DO $$ BEGIN ALTER TABLE qc_record ALTER COLUMN record SET COMPRESSION lz4; "
                       "EXCEPTION WHEN feature_not_supported THEN NULL; END $$"),
        QStringLiteral("ALTER TABLE qc_record ADD COLUMN time_written text"),
        QStringLiteral("UPDATE qc_record SET time_written = record->>%1")
            .arg(quoted(QcRecord::timeJsonKey())),
        QStringLiteral("ALTER TABLE qc_record ALTER COLUMN time_written SET NOT NULL"),
        // The latest runs of a test, newest first, for the charts and the failed runs.
        QStringLiteral("DROP INDEX qc_record_test_judged"),
        QStringLiteral("CREATE INDEX qc_record_test_judged ON qc_record (test, judged, id)"),
        QStringLiteral("ALTER TABLE qc_channel ADD COLUMN outside bigint, "
                       "ADD COLUMN x_bin smallint, ADD COLUMN y_bin smallint"),
        // New rows get these from the writer, by qcOutsideSamples and histogramBinOf; this
        // mirrors them for the rows stored before.
        QStringLiteral("UPDATE qc_channel c SET outside = %1, x_bin = %2, y_bin = %3 "
                       "FROM qc_record r WHERE r.id = c.record_id")
            .arg(outsideOf(QStringLiteral("r.record->>") + quoted(QcRecord::rulesJsonKey())),
                 binOf("x"), binOf("y")),
        QStringLiteral(R"(CREATE TABLE qc_day_yield (
    test text NOT NULL,
    judged_day date NOT NULL,
    runs bigint NOT NULL,
    passes bigint NOT NULL,
    first_judged timestamptz NOT NULL,
    first_id uuid NOT NULL,
    first_time text NOT NULL,
    last_judged timestamptz NOT NULL,
    last_id uuid NOT NULL,
    last_time text NOT NULL,
    PRIMARY KEY (test, judged_day)))"),
        QStringLiteral(R"(CREATE TABLE qc_day_failure (
    test text NOT NULL,
    judged_day date NOT NULL,
    failure text NOT NULL,
    runs bigint NOT NULL,
    PRIMARY KEY (test, judged_day, failure)))"),
        // Per window: a window changed within a day keeps its runs apart.
        QStringLiteral(R"(CREATE TABLE qc_day_channel (
    test text NOT NULL,
    judged_day date NOT NULL,
    channel integer NOT NULL,
    x_low float8 NOT NULL,
    x_high float8 NOT NULL,
    y_low float8 NOT NULL,
    y_high float8 NOT NULL,
    mean_runs bigint NOT NULL,
    runs bigint NOT NULL,
    samples bigint NOT NULL,
    x_mean float8 NOT NULL,
    x_within float8 NOT NULL,
    x_between float8 NOT NULL,
    y_mean float8 NOT NULL,
    y_within float8 NOT NULL,
    y_between float8 NOT NULL,
    outside_runs bigint NOT NULL,
    outside_samples bigint NOT NULL,
    outside bigint NOT NULL,
    PRIMARY KEY (test, judged_day, channel, x_low, x_high, y_low, y_high)))"),
        QStringLiteral(R"(CREATE TABLE qc_day_bin (
    test text NOT NULL,
    judged_day date NOT NULL,
    channel integer NOT NULL,
    x_low float8 NOT NULL,
    x_high float8 NOT NULL,
    y_low float8 NOT NULL,
    y_high float8 NOT NULL,
    axis text NOT NULL,
    bin smallint NOT NULL,
    runs bigint NOT NULL,
    PRIMARY KEY (test, judged_day, channel, x_low, x_high, y_low, y_high, axis, bin)))"),
        QStringLiteral(R"(CREATE TABLE qc_board (
    test text NOT NULL,
    serial text NOT NULL,
    by_first boolean NOT NULL,
    by_second boolean NOT NULL,
    by_third boolean NOT NULL,
    finally boolean NOT NULL,
    PRIMARY KEY (test, serial)))"),
        QStringLiteral(R"(CREATE TABLE qc_board_day (
    test text NOT NULL,
    judged_day date NOT NULL,
    serial text NOT NULL,
    by_first boolean NOT NULL,
    by_second boolean NOT NULL,
    by_third boolean NOT NULL,
    finally boolean NOT NULL,
    PRIMARY KEY (test, judged_day, serial)))"),
        addDayYields(dayYieldRows(QStringLiteral("qc_record"))),
        addDayFailures(dayFailureRows(QStringLiteral("qc_record"))),
        addDayChannels(dayChannelRows(channelsWithRuns)),
        addDayBins(dayBinRows(channelsWithRuns)),
        recountBoards(QStringLiteral("qc_record")),
    };
}

namespace {

// A number of a stored record as SQL reads it: none where the record holds no number or one
// beyond what `type` takes, so that no record, however written, can fail a query (a number too
// close to zero for a double is zero).
QString jsonNumber(const QString &value, const char *type, const char *limit)
{
    return QStringLiteral("CASE WHEN jsonb_typeof(%1) = 'number' AND abs((%1)::numeric) < %3 "
                          "THEN CASE WHEN abs((%1)::numeric) < 1e-323 THEN 0 "
                          "ELSE (%1)::numeric::%2 END END")
        .arg(value, QLatin1String(type), QLatin1String(limit));
}

} // namespace

QString channelView()
{
    const QcRecord::ChannelJsonKeys k = QcRecord::channelJsonKeys();
    const auto key = [](const QString &name) { return quoted(name); };
    const QString e = QStringLiteral("e.v");
    const auto count = [&](const QString &name, const char *type, const char *limit) {
        return jsonNumber(QStringLiteral("%1->%2").arg(e, key(name)), type, limit);
    };
    const auto real = [&](const QString &path) { return jsonNumber(path, "float8", "1e300"); };
    QStringList columns {QStringLiteral("r.id AS record_id"),
                         count(k.channel, "integer", "2147483648") + QLatin1String(" AS channel"),
                         count(k.good, "integer", "2147483648") + QLatin1String(" AS good"),
                         count(k.need, "integer", "2147483648") + QLatin1String(" AS need"),
                         count(k.samples, "bigint", "9e18") + QLatin1String(" AS samples")};
    const std::pair<QString, const char *> axes[] = {{k.x, "x"}, {k.y, "y"}};
    for (const auto &[axis, column] : axes) {
        for (const auto &[end, name] : {std::pair {0, "low"}, std::pair {1, "high"}})
            columns
                << real(QStringLiteral("%1->%2->%3->%4").arg(e, key(k.window), key(axis)).arg(end))
                    + QStringLiteral(" AS %1_%2").arg(QLatin1String(column), QLatin1String(name));
    }
    for (const auto &[axis, column] : axes) {
        const std::pair<QString, const char *> stats[]
            = {{k.min, "min"}, {k.max, "max"}, {k.mean, "mean"}, {k.sd, "sd"}};
        for (const auto &[stat, name] : stats)
            columns << real(QStringLiteral("%1->%2->%3").arg(e, key(axis), key(stat)))
                    + QStringLiteral(" AS %1_%2").arg(QLatin1String(column), QLatin1String(name));
    }
    // Each record's text is read as JSON once, whatever the query takes of its channels.
    return QStringLiteral(
               "CREATE VIEW qc_channel AS SELECT c.record_id, c.channel, c.good, c.need, "
               "c.samples, c.x_low, c.x_high, c.y_low, c.y_high, c.x_min, c.x_max, c.x_mean, "
               "c.x_sd, c.y_min, c.y_max, c.y_mean, c.y_sd, %1 AS outside, %2 AS x_bin, "
               "%3 AS y_bin FROM qc_record r "
               "CROSS JOIN LATERAL (SELECT r.record::jsonb AS doc OFFSET 0) AS j "
               // OFFSET 0: each number is read once, however often the outside count and the
               // bins use it.
               "CROSS JOIN LATERAL (SELECT %4, j.doc->>%5 AS rules "
               "FROM jsonb_array_elements(CASE WHEN jsonb_typeof(j.doc->%6) = 'array' "
               "THEN j.doc->%6 ELSE '[]' END) AS e(v) OFFSET 0) AS c")
        .arg(outsideOf(QStringLiteral("c.rules")), binOf("x"), binOf("y"),
             columns.join(QLatin1String(", ")), key(QcRecord::rulesJsonKey()), key(k.channels));
}

bool BatchSummary::ChannelKey::operator<(const ChannelKey &o) const
{
    const auto tied = [](const ChannelKey &k) {
        return std::tie(k.test, k.day, k.channel, k.window.xMin, k.window.xMax, k.window.yMin,
                        k.window.yMax);
    };
    return tied(*this) < tied(o);
}

void BatchSummary::clear()
{
    yields_.clear();
    failures_.clear();
    channels_.clear();
}

void BatchSummary::add(const QcRecord &r)
{
    const QString day = r.day();
    DayYield &yield = yields_[{r.test, day}];
    const Run run {r.judged, recordKeyOf(r.id), r.id, r.time};
    // First and last by time and then by id, as a log's reader orders runs.
    const auto before = [](const Run &a, const Run &b) {
        return a.judged != b.judged ? a.judged < b.judged : a.key < b.key;
    };
    if (yield.runs == 0 || before(run, yield.first))
        yield.first = run;
    if (yield.runs == 0 || before(yield.last, run))
        yield.last = run;
    ++yield.runs;
    if (r.passed())
        ++yield.passes;
    for (const QString &failure : r.failures)
        ++failures_[{r.test, day, failure}];
    for (const QcRecordChannel &c : r.channels) {
        if (!c.window || !c.x.mean || !c.y.mean)
            continue;
        const QcRecordWindow &w = *c.window;
        ChannelDay &channel = channels_[{r.test, day, c.channel, w}];
        channel.sums.addRun(r, c);
        channel.bins.window = w;
        channel.bins.addMeans(c);
    }
}

QByteArray BatchSummary::dayYieldRows() const
{
    CopyText rows;
    for (auto i = yields_.cbegin(); i != yields_.cend(); ++i) {
        rows.text(i.key().first);
        rows.text(i.key().second);
        rows.number(i->runs);
        rows.number(i->passes);
        for (const Run *end : {&i->first, &i->last}) {
            rows.text(end->judged.toUTC().toString(Qt::ISODateWithMs));
            rows.text(end->id);
            rows.text(end->time);
        }
        rows.endRow();
    }
    return rows.rows();
}

QByteArray BatchSummary::dayFailureRows() const
{
    CopyText rows;
    for (auto i = failures_.cbegin(); i != failures_.cend(); ++i) {
        rows.text(std::get<0>(i.key()));
        rows.text(std::get<1>(i.key()));
        rows.text(std::get<2>(i.key()));
        rows.number(*i);
        rows.endRow();
    }
    return rows.rows();
}

namespace {

void addChannelKey(CopyText &rows, const QString &test, const QString &day, int channel,
                   const QcRecordWindow &w)
{
    rows.text(test);
    rows.text(day);
    rows.number(qint64(channel));
    for (const double bound : {w.xMin, w.xMax, w.yMin, w.yMax})
        rows.number(bound);
}

} // namespace

QByteArray BatchSummary::dayChannelRows() const
{
    CopyText rows;
    for (auto i = channels_.cbegin(); i != channels_.cend(); ++i) {
        const ChannelKey &k = i.key();
        const ChannelSums &sums = i->sums;
        addChannelKey(rows, k.test, k.day, k.channel, k.window);
        rows.number(sums.meanRuns);
        rows.number(sums.x.runs);
        rows.number(sums.x.samples);
        for (const AxisSpread *axis : {&sums.x, &sums.y}) {
            rows.number(axis->mean);
            rows.number(axis->within);
            rows.number(axis->between);
        }
        rows.number(sums.outside.runs);
        rows.number(sums.outside.samples);
        rows.number(sums.outside.outside);
        rows.endRow();
    }
    return rows.rows();
}

QByteArray BatchSummary::dayBinRows() const
{
    CopyText rows;
    for (auto i = channels_.cbegin(); i != channels_.cend(); ++i) {
        const ChannelKey &k = i.key();
        for (int axis = 0; axis < 2; ++axis) {
            const QVector<qint64> &counts = axis == 0 ? i->bins.x : i->bins.y;
            for (int bin = 0; bin < histogramBins; ++bin) {
                if (counts.at(bin) == 0)
                    continue;
                addChannelKey(rows, k.test, k.day, k.channel, k.window);
                rows.text(QLatin1String(axis == 0 ? "x" : "y"));
                rows.number(qint64(bin));
                rows.number(counts.at(bin));
                rows.endRow();
            }
        }
    }
    return rows.rows();
}

} // namespace StoreSummaries
