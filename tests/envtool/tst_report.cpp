// envtool report's page: its numbers against a table computed by hand, its pictures through a
// stand-in renderer, and the page as a real browser shows it.
#include "commands/report.h"

#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void numbers_data();
    void numbers();
    void selfContained();
    void pictures();
    void channelNumbering_data();
    void channelNumbering();
    void chromiumRendersPage_data();
    void chromiumRendersPage();

private:
    QString writeReport(const QString &name, ReportOptions options = {});

    QTemporaryDir dir;
    QString log;
    QString capture; // a kept capture of the latest failed run
    QString silentCapture; // one the renderer finds no frame in
    QByteArray html;
};

namespace {

struct Run
{
    const char *time, *serial, *verdict;
    double x0, y0, x5, y5;
    double window5; // channel 5's X window is [-window5, window5]
    const char *capture;
};

// Test "T1": boards A (fails, then passes), B (passes), C (fails twice); test "T2": one run.
QByteArray runLine(const Run &r, const QString &test, const QString &capture,
                   const QString &rules = "envviewer")
{
    const QString channel = R"({"channel": %1, "good": 3, "need": 3, "samples": 3,
        "window": {"x": [%2, %3], "y": [100, 500]},
        "x": {"min": 0, "max": 0, "mean": %4, "sd": 1},
        "y": {"min": 0, "max": 0, "mean": %5, "sd": 1}})";
    const bool passed = QByteArray(r.verdict) == "Pass";
    const QString line
        = QString(R"({"version": 1, "id": "%1", "time": "%2", "program": "envtool",
        "rules": "RULES", "host": "station-%3", "test": "%4", "verdict": "%5", "serial": "%6",
        "failures": %7, "channels": [%8, %9], "capture": %10})")
              .arg(QUuid::createUuid().toString(QUuid::WithoutBraces), r.time,
                   QString::number(QByteArray(r.serial).at(0) % 2), test, r.verdict, r.serial,
                   passed ? QString("[]")
                          : QString(R"(["Frame Count Fail",
                                "Sample Count Fail : 6 [-20, 20], need: 3, got: %1"])")
                                .arg(r.x0),
                   channel.arg(0).arg(-20).arg(20).arg(r.x0).arg(r.y0),
                   channel.arg(5).arg(-r.window5).arg(r.window5).arg(r.x5).arg(r.y5))
              .arg(capture.isEmpty()
                       ? "null"
                       : QString(R"({"path": "%1", "sha256": "00", "bytes": 1})").arg(capture));
    return QString(line).replace("RULES", rules).simplified().toUtf8() + '\n';
}

QByteArray png(Qt::GlobalColor colour)
{
    QImage image(8, 4, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

void TestReport::initTestCase()
{
    QVERIFY(dir.isValid());
    log = dir.filePath("results.jsonl");
    capture = dir.filePath("kept.session");
    silentCapture = dir.filePath("silent.session");
    for (const QString &path : {capture, silentCapture}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const Run runs[] = {
        {"2026-03-01T08:00:00.000+01:00", "A", "Fail", 2, 300, 0, 300, 10, "silent"},
        {"2026-03-01T09:00:00.000+01:00", "A", "Pass", 4, 310, 5, 300, 10, ""},
        {"2026-03-01T10:00:00.000+01:00", "B", "Pass", 6, 290, -5, 300, 10, ""},
        {"2026-03-02T08:00:00.000+01:00", "C", "Fail", 8, 305, 8, 300, 10, ""},
        {"2026-03-02T09:00:00.000+01:00", "C", "Fail", 10, 295, -8, 300, 12, "kept"},
    };
    QFile file(log);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (const Run &r : runs)
        file.write(runLine(r, "T1",
                           QByteArray(r.capture) == "kept"         ? capture
                               : QByteArray(r.capture) == "silent" ? silentCapture
                                                                   : QString()));
    file.write(runLine(runs[1], "T2", QString()));
    // Judged by envviewer_qc, whose failure texts number channels from 0.
    file.write(runLine(runs[0], "T3", QString(), "envviewer_qc"));
    // T4 drifts: eight runs about 0, then eight about 2.
    for (int i = 0; i < 16; ++i) {
        const QString time = QString("2026-03-03T%1:00:00.000+01:00").arg(i, 2, 10, QChar('0'));
        const QByteArray timeText = time.toUtf8();
        const Run run {timeText.constData(),
                       "D",
                       "Pass",
                       (i < 8 ? 0 : 2) + (i % 2) * 0.1,
                       300,
                       0,
                       300,
                       10,
                       ""};
        file.write(runLine(run, "T4", QString()));
    }
    file.close();
    QVERIFY(!writeReport("report.html").isEmpty());
    QFile page(dir.filePath("report.html"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    html = page.readAll();
}

QString TestReport::writeReport(const QString &name, ReportOptions options)
{
    options.selection.log = log;
    options.output = dir.filePath(name);
    const int exitCode = ReportCommand(options).run();
    return exitCode == 0 ? options.output : QString();
}

void TestReport::numbers_data()
{
    QTest::addColumn<QString>("expected");
    // T1: 5 runs, 2 passes; boards A, B, C: first runs pass for B only, last runs for A and B.
    QTest::newRow("yields") << "<td>5</td><td>2</td><td>3</td><td>40.0%</td><td>3</td>"
                               "<td>33.3%</td><td>66.7%</td>";
    QTest::newRow("day 1") << "<title>2026-03-01: 2 of 3 passed</title>";
    QTest::newRow("day 2") << "<title>2026-03-02: 0 of 2 passed</title>";
    // Both failures 3 times (the channel's text differs only in what it got, so its runs make one
    // bar): ordered by text, the second closing the cumulative share.
    QTest::newRow("pareto") << "3 · 50.0%</text>";
    QTest::newRow("pareto total") << "3 · 100.0%</text>";
    // Channel 0, X means 2..10 of 3 samples with sd 1: grand mean 6; within sd √(15 / 10);
    // overall sd √((15 + 3 · 40) / 14); Cpk = 14 / (3 · 1.2247), Ppk = 14 / (3 · 3.1053).
    QTest::newRow("x capability") << "5 runs, 15 samples, mean 6.00, within sd 1.22, overall sd "
                                     "3.11, Cpk 3.81, Ppk 1.50</figcaption>";
    // Y means 300 ± 10, ± 5: overall sd √((15 + 3 · 250) / 14); 200 / (3 sd).
    QTest::newRow("y capability") << "5 runs, 15 samples, mean 300.00, within sd 1.22, overall "
                                     "sd 7.39, Cpk 54.43, Ppk 9.02</figcaption>";
    // Channel 5: X means 0, ±5, ±8: overall sd √((15 + 3 · 178) / 14); the latest window
    // [-12, 12]: Ppk 12 / (3 · 6.2621).
    QTest::newRow("low ppk") << "5 runs, 15 samples, mean 0.00, within sd 1.22, overall sd 6.26, "
                                "Cpk 3.27, <strong class=\"low\">Ppk 0.64 &lt; 1.33</strong>";
    // Channel 5 as envviewer's failure texts name it: "Sample Count Fail : 6".
    QTest::newRow("marked channel") << "<h4>Channel 6 — Cpk or Ppk under 1.33</h4>";
    QTest::newRow("histogram labelled")
        << "Histogram of run means of X (5 runs), window [-20.0, 20.0]</text>";
    // The samples' bounds (0) lie outside the Y window and envviewer's counts are net.
    QTest::newRow("outside unknown") << "Samples outside the window: not known";
    // Moving ranges of 2..10 are 2: limits 6 ± 5.32.
    QTest::newRow("drift limits") << "Drift of X: the latest 5 run means in time order, centre "
                                     "6.00, limits 0.68 and 11.32 (±2.66 × mean moving range "
                                     "2.00), dotted at 1σ and 2σ. No rule flags a run.";
    QTest::newRow("drift without spread") << "Drift of Y: the latest 5 run means in time order; "
                                             "the run means do not vary: no limits.";
    // T4: centre 1.05, MR̄ 3.3 / 15 = 0.22, limits 1.05 ± 0.585: every run lies beyond.
    QTest::newRow("rule 1 listed") << "<li>Rule 1: one point beyond 3σ — 16 runs, latest first: "
                                      "2026-03-03 15:00:00";
    // Eight below the centre end at 07:00, eight above at 15:00.
    QTest::newRow("rule 4 listed") << "<li>Rule 4: eight in a row on one side of the centre — "
                                      "2 runs, latest first: 2026-03-03 15:00:00 (";
    QTest::newRow("numbering stated") << "Channels are numbered as the failure texts of the "
                                         "program that judged a test's latest run number them";
    QTest::newRow("failed run's capture") << "<br>kept.session</td>";
    QTest::newRow("windows differ") << "judged with different windows";
    // T2's single run.
    QTest::newRow("one run") << "1 run, 3 samples, mean 4.00, within sd 1.22, overall sd 1.22, "
                                "Cpk 4.35, Ppk 4.35</figcaption>";
    QTest::newRow("one point") << "Drift of X: the latest run's mean in time order; too few runs "
                                  "for limits.";
}

void TestReport::numbers()
{
    QFETCH(QString, expected);
    QVERIFY2(html.contains(expected.toUtf8()), qPrintable(expected));
}

void TestReport::selfContained()
{
    for (const char *outside : {"<script", "src=\"http", "href=", "url(", "@import"})
        QVERIFY2(!html.contains(outside), outside);
    QVERIFY(html.startsWith("<!DOCTYPE html>"));
}

void TestReport::pictures()
{
    const QByteArray frame = png(Qt::darkCyan);
    ReportOptions options;
    QStringList asked;
    options.lastFramePng = [&](const QcRecord &run, QString *) {
        asked << run.capture->path;
        return run.capture->path == capture ? frame : QByteArray();
    };
    const QString path = writeReport("pictures.html", options);
    QVERIFY(!path.isEmpty());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray page = file.readAll();
    // The latest failed runs, newest first: a frame, no capture, a capture without a frame.
    QCOMPARE(asked, (QStringList {capture, silentCapture}));
    const int picture = page.indexOf("data:image/png;base64," + frame.toBase64() + "\"");
    const int none = page.indexOf("<td>no capture</td>");
    const int empty = page.indexOf("<td>no frame</td>");
    QVERIFY(picture > 0 && picture < none && none < empty);
    QVERIFY(!html.contains("<img"));
}

void TestReport::channelNumbering_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<QStringList>("headings");
    QTest::newRow("envviewer") << "T1" << QStringList {"Channel 1</h4>", "Channel 6 — "};
    QTest::newRow("envviewer_qc") << "T3" << QStringList {"Channel 0</h4>", "Channel 5</h4>"};
}

void TestReport::channelNumbering()
{
    QFETCH(QString, test);
    QFETCH(QStringList, headings);
    const QString page = QString::fromUtf8(html);
    const int from = page.indexOf("<h2>" + test + "</h2>");
    QVERIFY(from > 0);
    const QString section = page.mid(from, page.indexOf("</section>", from) - from);
    for (const QString &heading : headings)
        QVERIFY2(section.contains("<h4>" + heading), qPrintable(heading));
    // Stated once for the whole page.
    QCOMPARE(page.count("Channels are numbered as"), 1);
}

void TestReport::chromiumRendersPage_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<QStringList>("colours");
    QTest::newRow("bars") << QString()
                          << QStringList {ReportColour::yieldBar, ReportColour::failureBar};
    QTest::newRow("drift chart") << "T4" << QStringList {ReportColour::flaggedPoint};
}

// The page as Chromium shows it: not blank, the bars and the flagged runs in their colours.
void TestReport::chromiumRendersPage()
{
    QFETCH(QString, test);
    QFETCH(QStringList, colours);
    const QString chromium = QStandardPaths::findExecutable("chromium");
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (scripts/install-deps.sh test)");
    ReportOptions options;
    options.selection.query.test = test;
    const QString page = writeReport(QString("rendered%1.html").arg(test), options);
    QVERIFY(!page.isEmpty());
    const QString shot = dir.filePath("report.png");
    QProcess browser;
    // Its profile and caches go to the temporary folder, not the user's home.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", dir.path());
    browser.setProcessEnvironment(environment);
    browser.start(chromium,
                  {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                   "--user-data-dir=" + dir.filePath("profile"), "--screenshot=" + shot,
                   "--window-size=900,1400", QUrl::fromLocalFile(page).toString()});
    QVERIFY(browser.waitForStarted());
    if (!browser.waitForFinished(60000)) {
        browser.kill();
        QFAIL("chromium took longer than a minute");
    }
    QImage image(shot);
    QVERIFY2(!image.isNull(), browser.readAllStandardError().constData());
    QCOMPARE(image.size(), QSize(900, 1400));
    QMap<QRgb, int> counts;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            ++counts[image.pixel(x, y) & 0xffffff];
    QVERIFY(counts.size() > 8);
    for (const QString &colour : colours)
        QVERIFY2(counts.value(QColor(colour).rgb() & 0xffffff) > 20, qPrintable(colour));
}

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"
