#include "records/reporthtml.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

constexpr int chartWidth = 660;
constexpr int paretoBars = 12;

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QString num(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

QString percent(int part, int whole)
{
    return whole == 0 ? QStringLiteral("–") : num(100.0 * part / whole, 1) + QLatin1Char('%');
}

// Text cut to `chars` characters, the whole in the element's tooltip.
QString clipped(const QString &text, int chars)
{
    return text.size() <= chars ? esc(text) : esc(text.left(chars - 1)) + QStringLiteral("…");
}

QString yieldByDay(const QList<YieldRow> &days)
{
    const int height = 190, top = 18, bottom = 40, left = 40;
    const int plotWidth = chartWidth - left - 10;
    const int plotHeight = height - top - bottom;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">")
                      .arg(chartWidth)
                      .arg(height);
    for (int p = 0; p <= 100; p += 25) {
        const double y = top + plotHeight * (1 - p / 100.0);
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#ddd\"/>"
                              "<text x=\"%4\" y=\"%5\" text-anchor=\"end\" "
                              "font-size=\"10\">%6%</text>")
                   .arg(left)
                   .arg(left + plotWidth)
                   .arg(num(y, 1))
                   .arg(left - 4)
                   .arg(num(y + 3, 1))
                   .arg(p);
    }
    const int n = std::max(1, int(days.size()));
    const double slot = double(plotWidth) / n;
    const double barWidth = std::max(1.0, slot * 0.7);
    // Labels for at most about 16 days, the rest in the bars' tooltips.
    const int labelEvery = std::max(1, (n + 15) / 16);
    for (int i = 0; i < days.size(); ++i) {
        const YieldRow &d = days.at(i);
        const double yield = d.runs ? double(d.passes) / d.runs : 0;
        const double barHeight = plotHeight * yield;
        const double x = left + i * slot + (slot - barWidth) / 2;
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\">"
                              "<title>%6: %7 of %8 passed</title></rect>")
                   .arg(num(x, 1), num(top + plotHeight - barHeight, 1), num(barWidth, 1),
                        num(barHeight, 1), QLatin1String(ReportColour::yieldBar), esc(d.group))
                   .arg(d.passes)
                   .arg(d.runs);
        if (i % labelEvery != 0)
            continue;
        if (slot >= 28)
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\" "
                                  "font-size=\"9\">%3</text>")
                       .arg(num(x + barWidth / 2, 1), num(top + plotHeight - barHeight - 3, 1),
                            percent(d.passes, d.runs));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\" "
                              "font-size=\"9\">%3</text>")
                   .arg(num(x + barWidth / 2, 1))
                   .arg(top + plotHeight + 12)
                   .arg(esc(d.group.mid(5)));
    }
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"10\">day (MM-DD)</text></svg>")
               .arg(left)
               .arg(height - 8);
    return svg;
}

// Failure texts counted and ordered, most frequent first, the rest folded into one bar. A
// channel's text differs from run to run only in what it got: counted without it, one fault is
// one bar.
QString pareto(const YieldRow &total)
{
    static const QRegularExpression got(QStringLiteral(", got: -?\\d+$"));
    QHash<QString, int> byFault;
    int sum = 0;
    for (auto it = total.failures.begin(); it != total.failures.end(); ++it) {
        byFault[QString(it.key()).remove(got)] += it.value();
        sum += it.value();
    }
    QList<QPair<QString, int>> all;
    for (auto it = byFault.begin(); it != byFault.end(); ++it)
        all.append({it.key(), it.value()});
    if (all.isEmpty())
        return QStringLiteral("<p>No failures.</p>");
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    if (all.size() > paretoBars) {
        int rest = 0;
        for (int i = paretoBars - 1; i < all.size(); ++i)
            rest += all.at(i).second;
        const int others = int(all.size()) - (paretoBars - 1);
        all = all.mid(0, paretoBars - 1);
        all.append({QStringLiteral("(%1 other texts)").arg(others), rest});
    }
    const int row = 20, labelWidth = 330, countWidth = 90;
    const int barSpace = chartWidth - labelWidth - countWidth;
    const int height = row * int(all.size()) + 6;
    const int most = all.first().second;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">")
                      .arg(chartWidth)
                      .arg(height);
    int cumulative = 0;
    for (int i = 0; i < all.size(); ++i) {
        const auto &[text, count] = all.at(i);
        cumulative += count;
        const int y = 3 + i * row;
        const double width = std::max(1.0, double(barSpace - 6) * count / most);
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\" font-size=\"10\">"
                              "<title>%3</title>%4</text>")
                   .arg(labelWidth - 6)
                   .arg(y + 13)
                   .arg(esc(text), clipped(text, 58));
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>")
                   .arg(labelWidth)
                   .arg(y + 2)
                   .arg(num(width, 1))
                   .arg(row - 5)
                   .arg(QLatin1String(ReportColour::failureBar));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"10\">%3 · %4</text>")
                   .arg(num(labelWidth + width + 4, 1))
                   .arg(y + 13)
                   .arg(count)
                   .arg(percent(cumulative, sum));
    }
    return svg + QStringLiteral("</svg>");
}

// The run means of every window folded into the layout of `latest`: a mean binned against
// another window lands in the bin that holds that bin's centre.
QVector<qint64> foldedBins(const QList<WindowBins> &bins, const QcRecordWindow &latest, bool x)
{
    const double lower = x ? latest.xMin : latest.yMin, upper = x ? latest.xMax : latest.yMax;
    QVector<qint64> folded(histogramBins);
    for (const WindowBins &b : bins) {
        const double low = x ? b.window.xMin : b.window.yMin;
        const double high = x ? b.window.xMax : b.window.yMax;
        const double width = (high - low) / histogramBinsInside;
        const QVector<qint64> &counts = x ? b.x : b.y;
        for (int i = 0; i < histogramBins; ++i) {
            if (counts.at(i) == 0)
                continue;
            const double centre = low + (i - histogramBinsBeside + 0.5) * width;
            folded[histogramBinOf(centre, lower, upper)] += counts.at(i);
        }
    }
    return folded;
}

// A Cpk or Ppk as the captions show it: marked under capableCpk.
QString capabilityText(const char *name, std::optional<double> value)
{
    if (!value)
        return QStringLiteral("%1 not computable").arg(QLatin1String(name));
    if (*value < capableCpk)
        return QStringLiteral("<strong class=\"low\">%1 %2 &lt; %3</strong>")
            .arg(QLatin1String(name), num(*value), num(capableCpk));
    return QStringLiteral("%1 %2").arg(QLatin1String(name), num(*value));
}

QString runsText(qint64 runs)
{
    return QStringLiteral("%1 %2").arg(runs).arg(runs == 1 ? QLatin1String("run")
                                                           : QLatin1String("runs"));
}

QString sdText(std::optional<double> sd)
{
    return sd ? num(*sd) : QStringLiteral("–");
}

// A histogram of run means with the window's bounds drawn on it, and the capability of the
// channel's samples on that axis.
QString histogram(const QString &title, const QVector<qint64> &bins, double lower, double upper,
                  const AxisSpread &spread, std::optional<double> cpk, std::optional<double> ppk)
{
    const int width = chartWidth / 2 - 6, height = 150, top = 16, bottom = 26, side = 8;
    const int plotWidth = width - 2 * side, plotHeight = height - top - bottom;
    const double binWidth = double(plotWidth) / histogramBins;
    // The window spans the middle bins.
    const auto xOf = [&](double bound) {
        return side + binWidth * (histogramBinsBeside + (bound == lower ? 0 : histogramBinsInside));
    };
    const qint64 most = std::max<qint64>(1, *std::max_element(bins.begin(), bins.end()));
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">"
                                 "<text x=\"%3\" y=\"11\" font-size=\"10\">%4</text>")
                      .arg(width)
                      .arg(height)
                      .arg(side)
                      .arg(esc(title));
    for (int i = 0; i < histogramBins; ++i) {
        if (bins.at(i) == 0)
            continue;
        const double h = double(plotHeight) * double(bins.at(i)) / double(most);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\">"
                              "<title>%6 run(s)</title></rect>")
                   .arg(num(side + i * binWidth + 0.5, 1), num(top + plotHeight - h, 1),
                        num(binWidth - 1, 1), num(h, 1), QLatin1String(ReportColour::histogramBar))
                   .arg(bins.at(i));
    }
    svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#555\"/>")
               .arg(side)
               .arg(side + plotWidth)
               .arg(top + plotHeight);
    for (const auto &[bound, anchor] :
         {std::pair<double, const char *> {lower, "start"}, {upper, "end"}}) {
        const double x = xOf(bound);
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\" stroke=\"%4\" "
                              "stroke-width=\"2\" stroke-dasharray=\"4 2\"/>"
                              "<text x=\"%1\" y=\"%5\" text-anchor=\"%6\" font-size=\"9\" "
                              "fill=\"%4\">%7</text>")
                   .arg(num(x, 1))
                   .arg(top - 2)
                   .arg(top + plotHeight)
                   .arg(QLatin1String(ReportColour::bound))
                   .arg(top + plotHeight + 12)
                   .arg(QLatin1String(anchor))
                   .arg(num(bound, 1));
    }
    svg += QStringLiteral("</svg>");

    const QString caption = spread.samples == 0
        ? QStringLiteral("No run recorded its sample count: Cpk and Ppk not computable")
        : QStringLiteral("%1, %2 samples, mean %3, within sd %4, overall sd %5, %6, %7")
              .arg(runsText(spread.runs))
              .arg(spread.samples)
              .arg(num(spread.mean), sdText(spread.withinSd()), sdText(spread.overallSd()),
                   capabilityText("Cpk", cpk), capabilityText("Ppk", ppk));
    return QStringLiteral("<figure class=\"histogram\">%1<figcaption>%2</figcaption></figure>")
        .arg(svg, caption);
}

QString runTime(const DriftPoint &p)
{
    return p.judged.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// The Western Electric rules in words, in the order of their bits.
const char *const ruleTexts[westernElectricRuleCount] = {
    "one point beyond 3σ",
    "two of three beyond 2σ on one side",
    "four of five beyond 1σ on one side",
    "eight in a row on one side of the centre",
};
constexpr int ruleRunsListed = 3;

// An individuals chart of one axis's run means in time order: the centre line, the limits, the
// 1σ and 2σ zones and the window, the points the rules flag marked and listed under it.
QString driftChart(const char *axis, const QVector<DriftPoint> &drift, bool x, double lower,
                   double upper)
{
    QVector<double> values;
    values.reserve(drift.size());
    for (const DriftPoint &p : drift)
        values.append(x ? p.x : p.y);
    std::optional<IndividualsLimits> limits = individualsLimits(values);
    // Means that never vary have no limits to draw.
    const bool still = limits && !(limits->movingRange > 0);
    if (still)
        limits.reset();
    const QVector<quint8> flags
        = limits ? westernElectricFlags(values, *limits) : QVector<quint8>(values.size());

    const int height = 176, top = 16, bottom = 24, left = 8, right = 84;
    const int plotWidth = chartWidth - left - right, plotHeight = height - top - bottom;
    // The scale fits the points and the limits; a bound of the window far beyond them would
    // flatten the drift to a line, so it is named at the edge instead.
    double low = *std::min_element(values.begin(), values.end());
    double high = *std::max_element(values.begin(), values.end());
    if (limits) {
        low = std::min(low, limits->lower());
        high = std::max(high, limits->upper());
    }
    const double span = high - low;
    if (lower >= low - span)
        low = std::min(low, lower);
    if (upper <= high + span)
        high = std::max(high, upper);
    const double pad = span > 0 ? (high - low) * 0.05 : std::max(1.0, std::abs(high) * 0.05);
    low -= pad;
    high += pad;
    const auto yOf = [&](double v) { return top + plotHeight * (high - v) / (high - low); };
    const double step = values.size() > 1 ? double(plotWidth) / (values.size() - 1) : 0;
    const auto xOf = [&](int i) { return left + (values.size() > 1 ? i * step : plotWidth / 2.0); };

    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">"
                                 "<rect x=\"%3\" y=\"%4\" width=\"%5\" height=\"%6\" "
                                 "fill=\"none\" stroke=\"#999\"/>")
                      .arg(chartWidth)
                      .arg(height)
                      .arg(left)
                      .arg(top)
                      .arg(plotWidth)
                      .arg(plotHeight);
    const auto level = [&](double v, const char *colour, const char *dash, const QString &label) {
        if (v < low || v > high)
            return;
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"%4\"%5/>")
                   .arg(left)
                   .arg(left + plotWidth)
                   .arg(num(yOf(v), 1), QLatin1String(colour),
                        *dash ? QStringLiteral(" stroke-dasharray=\"%1\"").arg(QLatin1String(dash))
                              : QString());
        if (!label.isEmpty())
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"9\" fill=\"%3\">%4</text>")
                       .arg(left + plotWidth + 4)
                       .arg(num(yOf(v) + 3, 1), QLatin1String(colour), label);
    };
    if (limits) {
        for (int k : {-2, -1, 1, 2})
            level(limits->centre + k * limits->sigma(), ReportColour::zone, "1 2", QString());
        level(limits->centre, ReportColour::centreLine, "",
              QStringLiteral("CL ") + num(limits->centre));
        level(limits->upper(), ReportColour::controlLimit, "5 2",
              QStringLiteral("UCL ") + num(limits->upper()));
        level(limits->lower(), ReportColour::controlLimit, "5 2",
              QStringLiteral("LCL ") + num(limits->lower()));
    }
    for (const auto &[bound, name, edge] :
         {std::tuple<double, const char *, int> {upper, "upper", top - 4},
          {lower, "lower", height - 8}}) {
        if (bound >= low && bound <= high)
            level(bound, ReportColour::bound, "4 2",
                  QStringLiteral("%1 %2").arg(QLatin1String(name), num(bound, 1)));
        else
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"9\" fill=\"%3\" "
                                  "text-anchor=\"middle\">the window's %4 bound, %5, lies %6 "
                                  "the chart</text>")
                       .arg(left + plotWidth / 2)
                       .arg(edge)
                       .arg(QLatin1String(ReportColour::bound), QLatin1String(name), num(bound, 1),
                            bound > high ? QStringLiteral("above") : QStringLiteral("below"));
    }
    QString line;
    for (int i = 0; i < values.size(); ++i)
        line += QStringLiteral("%1,%2 ").arg(num(xOf(i), 1), num(yOf(values.at(i)), 1));
    svg += QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"#90a4ae\" "
                          "stroke-width=\"0.8\"/>")
               .arg(line.trimmed());
    QString dots;
    for (int i = 0; i < values.size(); ++i) {
        if (flags.at(i) == 0) {
            dots += QStringLiteral("M%1 %2h0").arg(num(xOf(i), 1), num(yOf(values.at(i)), 1));
            continue;
        }
        QStringList rules;
        for (int rule = 0; rule < westernElectricRuleCount; ++rule)
            if (flags.at(i) & (1 << rule))
                rules << QString::number(rule + 1);
        // A square, so that the mark shows in print without its colour too.
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"6\" height=\"6\" fill=\"%3\">"
                              "<title>%4 (%5): %6, rule %7</title></rect>")
                   .arg(num(xOf(i) - 3, 1), num(yOf(values.at(i)) - 3, 1),
                        QLatin1String(ReportColour::flaggedPoint), runTime(drift.at(i)),
                        esc(drift.at(i).id.left(8)), num(values.at(i)),
                        rules.join(QLatin1String(", ")));
    }
    // The unflagged points as round dots of one path: a page of many channels stays small.
    svg += QStringLiteral("<path d=\"%1\" stroke=\"%2\" stroke-width=\"3.6\" "
                          "stroke-linecap=\"round\" fill=\"none\"/>")
               .arg(dots, QLatin1String(ReportColour::driftPoint));
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"9\">%3</text>"
                          "<text x=\"%4\" y=\"%2\" font-size=\"9\" text-anchor=\"end\">%5</text>")
               .arg(left)
               .arg(height - 8)
               .arg(runTime(drift.first()))
               .arg(left + plotWidth)
               .arg(runTime(drift.last()));
    svg += QStringLiteral("</svg>");

    QString caption
        = QStringLiteral("Drift of %1: the latest %2 in time order")
              .arg(QLatin1String(axis),
                   values.size() == 1 ? QStringLiteral("run's mean")
                                      : QStringLiteral("%1 run means").arg(values.size()));
    if (!limits)
        return QStringLiteral("<figure class=\"drift\">%1<figcaption>%2; %3</figcaption></figure>")
            .arg(svg, caption,
                 still ? QStringLiteral("the run means do not vary: no limits.")
                       : QStringLiteral("too few runs for limits."));
    caption += QStringLiteral(", centre %1, limits %2 and %3 (±2.66 × mean moving range %4), "
                              "dotted at 1σ and 2σ.")
                   .arg(num(limits->centre), num(limits->lower()), num(limits->upper()),
                        num(limits->movingRange));
    QString listed;
    for (int rule = 0; rule < westernElectricRuleCount; ++rule) {
        QStringList runs;
        int count = 0;
        for (int i = values.size() - 1; i >= 0; --i) {
            if (!(flags.at(i) & (1 << rule)))
                continue;
            if (++count <= ruleRunsListed)
                runs << QStringLiteral("%1 (%2)").arg(runTime(drift.at(i)),
                                                      esc(drift.at(i).id.left(8)));
        }
        if (count == 0)
            continue;
        listed += QStringLiteral("<li>Rule %1: %2 — %3 %4, latest first: %5%6</li>")
                      .arg(rule + 1)
                      .arg(QString::fromUtf8(ruleTexts[rule]))
                      .arg(count)
                      .arg(count == 1 ? QStringLiteral("run") : QStringLiteral("runs"),
                           runs.join(QLatin1String(", ")),
                           count > ruleRunsListed ? QStringLiteral(", …") : QString());
    }
    caption += listed.isEmpty() ? QStringLiteral(" No rule flags a run.")
                                : QStringLiteral("<ul class=\"rules\">%1</ul>").arg(listed);
    return QStringLiteral("<figure class=\"drift\">%1<figcaption>%2</figcaption></figure>")
        .arg(svg, caption);
}

QString outsideText(const ReportChannel &c)
{
    const std::optional<double> share = c.outside.share();
    if (!share)
        return QStringLiteral("<p class=\"outside\">Samples outside the window: not known (no "
                              "run's counts tell).</p>");
    return QStringLiteral("<p class=\"outside\">Samples outside the window: %1% of %2, known "
                          "over %3 of %4 runs.</p>")
        .arg(num(100 * *share))
        .arg(c.outside.samples)
        .arg(c.outside.runs)
        .arg(c.meanRuns);
}

QString channelSection(const ReportChannel &c, int shownChannel)
{
    const QcRecordWindow &w = c.window;
    const bool low = c.marked();
    QString html
        = QStringLiteral("<div class=\"channel%1\"><h4>Channel %2%3</h4>")
              .arg(low ? QStringLiteral(" lowcpk") : QString())
              .arg(shownChannel)
              .arg(low ? QStringLiteral(" — Cpk or Ppk under %1").arg(num(capableCpk)) : QString());
    if (c.windowsDiffer)
        html += QStringLiteral("<p class=\"note\">Runs were judged with different windows; the "
                               "latest window holds: the bounds, Cpk and Ppk use the latest "
                               "run's.</p>");
    html += outsideText(c);
    html += histogram(QStringLiteral("Histogram of run means of X (%1), window [%2, %3]")
                          .arg(runsText(c.meanRuns), num(w.xMin, 1), num(w.xMax, 1)),
                      foldedBins(c.bins, w, true), w.xMin, w.xMax, c.x, c.cpkX(), c.ppkX());
    html += histogram(QStringLiteral("Histogram of run means of Y (%1), window [%2, %3]")
                          .arg(runsText(c.meanRuns), num(w.yMin, 1), num(w.yMax, 1)),
                      foldedBins(c.bins, w, false), w.yMin, w.yMax, c.y, c.cpkY(), c.ppkY());
    if (!c.drift.isEmpty()) {
        html += driftChart("X", c.drift, true, w.xMin, w.xMax);
        html += driftChart("Y", c.drift, false, w.yMin, w.yMax);
    }
    return html + QStringLiteral("</div>");
}

QString failedRuns(const QList<QcRecord> &runs, const LastFramePng &lastFramePng)
{
    if (runs.isEmpty())
        return QStringLiteral("<p>No failed runs.</p>");
    QString html = QStringLiteral("<table class=\"failed\"><tr><th>Time</th><th>Host</th>"
                                  "<th>Serial</th><th>Failures</th><th>Run</th>%1</tr>")
                       .arg(lastFramePng ? QStringLiteral("<th>Last frame</th>") : QString());
    for (const QcRecord &r : runs) {
        QStringList failures;
        for (const QString &f : r.failures)
            failures << esc(f);
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td>")
                    .arg(esc(r.time.left(19).replace(QLatin1Char('T'), QLatin1Char(' '))),
                         esc(r.host), r.serial.isEmpty() ? QStringLiteral("–") : esc(r.serial),
                         failures.join(QLatin1String("<br>")));
        // What `envtool runs show` and the capture folder find it by.
        html += QStringLiteral("<td><code>%1</code><br>%2</td>")
                    .arg(esc(r.id),
                         r.capture ? esc(QFileInfo(r.capture->path).fileName())
                                   : QStringLiteral("no capture"));
        if (lastFramePng) {
            QString unavailable;
            const QByteArray png = r.capture ? lastFramePng(r, &unavailable) : QByteArray();
            html += png.isEmpty()
                ? QStringLiteral("<td>%1</td>")
                      .arg(!r.capture ? QStringLiteral("no capture")
                               : unavailable.isEmpty()
                               ? QStringLiteral("no frame")
                               : QStringLiteral("capture unavailable: ") + esc(unavailable))
                : QStringLiteral("<td><img alt=\"last frame\" "
                                 "src=\"data:image/png;base64,%1\"></td>")
                      .arg(QString::fromLatin1(png.toBase64()));
        }
        html += QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</table>");
}

QString testSection(const ReportTest &t, const ReportPage &page)
{
    const YieldRow &y = t.total;
    QString html = QStringLiteral("<section class=\"test\"><h2>%1</h2>").arg(esc(t.test));
    html += QStringLiteral(
                "<table class=\"yields\"><tr><th>Runs</th><th>Passes</th><th>Fails</th>"
                "<th>Yield</th><th>Boards</th><th>First-pass yield</th><th>Final yield</th>"
                "<th>Passed by attempt 2</th><th>Passed by attempt 3</th>"
                "</tr><tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td>"
                "<td>%7</td><td>%8</td><td>%9</td></tr></table>")
                .arg(y.runs)
                .arg(y.passes)
                .arg(y.runs - y.passes)
                .arg(percent(y.passes, y.runs))
                .arg(y.boards)
                .arg(percent(y.firstPasses, y.boards), percent(y.finalPasses, y.boards),
                     percent(y.secondPasses, y.boards), percent(y.thirdPasses, y.boards));
    html += QStringLiteral("<h3>Yield per day</h3><figure>%1</figure>").arg(yieldByDay(t.days));
    html += QStringLiteral("<h3>Failures (Pareto: count · cumulative share)</h3><figure>%1"
                           "</figure>")
                .arg(pareto(y));
    html += QStringLiteral("<h3>Channels: capability of the samples, run means and drift</h3>");
    if (t.channels.isEmpty())
        html += QStringLiteral("<p>No run recorded its channels' measurements.</p>");
    for (const ReportChannel &c : t.channels)
        html += channelSection(c, t.shownChannel(c.channel));
    html += QStringLiteral("<h3>Latest failed runs</h3>");
    html += failedRuns(t.latestFailed, page.lastFramePng);
    return html + QStringLiteral("</section>");
}

const char *style = R"(
@page { size: A4; margin: 12mm; }
body { font-family: "DejaVu Sans", sans-serif; font-size: 10pt; color: #222; max-width: 186mm;
  margin: 0 auto; }
h1 { font-size: 16pt; } h2 { font-size: 13pt; border-bottom: 2px solid #444; }
h3 { font-size: 11pt; margin: 14px 0 4px; } h4 { font-size: 10pt; margin: 8px 0 2px; }
section.test + section.test { break-before: page; }
figure { margin: 0; break-inside: avoid; }
svg { max-width: 100%; height: auto; font-family: "DejaVu Sans", sans-serif; }
.channel { break-inside: avoid; }
.histogram { display: inline-block; vertical-align: top; width: 49%; }
figcaption { font-size: 8.5pt; }
.drift { margin-top: 4px; }
ul.rules { margin: 2px 0; padding-left: 16px; }
.outside { font-size: 8.5pt; margin: 0; }
.low, .lowcpk h4 { color: #c62828; }
.note { font-size: 8.5pt; color: #8a5a00; margin: 0; }
table { border-collapse: collapse; margin: 4px 0; }
th, td { border: 1px solid #bbb; padding: 2px 6px; text-align: left; vertical-align: top; }
table.yields td { text-align: right; }
table.failed { font-size: 8.5pt; } table.failed tr { break-inside: avoid; }
table.failed img { max-width: 60mm; display: block; }
)";

} // namespace

QByteArray reportHtml(const ReportPage &page)
{
    QString html
        = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta "
                         "charset=\"utf-8\"><title>Test report</title><style>%1</style>"
                         "</head><body><h1>Test report</h1><p>Records from %2%3. Made "
                         "%4. Capability is that of the samples, which the window bounds: Cpk "
                         "uses the runs' standard deviations pooled by their sample counts, "
                         "Ppk the spread of all samples (within and between runs), both from "
                         "the grand mean to the nearer bound of the latest window; under %5 is "
                         "marked. The histograms count run means, far tighter than the samples. "
                         "The drift charts plot the latest run means in time order with limits "
                         "at ±2.66 mean moving ranges, and flag the four Western Electric rules. "
                         "Channels are numbered as the failure "
                         "texts of the program that judged a test's latest run number "
                         "them: from 1 for envviewer and envviewer_cam, from 0 for "
                         "envviewer_qc.</p>")
              .arg(QLatin1String(style), esc(page.source),
                   page.selection.isEmpty() ? QString()
                                            : QStringLiteral(", ") + esc(page.selection),
                   esc(page.generated), num(capableCpk));
    if (page.tests.isEmpty())
        html += QStringLiteral("<p>No records match.</p>");
    for (const ReportTest &t : page.tests)
        html += testSection(t, page);
    return (html + QStringLiteral("</body></html>\n")).toUtf8();
}
