#pragma once

// The HTML page of `envtool report`: one self-contained file, its charts inline SVG and its
// pictures inline PNG, with no script and no link outside the file, laid out to print on A4.

#include "records/reportdata.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// The last frame of a failed run's kept capture (as lastFrameOfCapture paints it), as PNG bytes;
// empty when there is none, and then `unavailable` says why the capture could not be used (empty
// when it holds no frame).
using LastFramePng = std::function<QByteArray(const QcRecord &run, QString *unavailable)>;

struct ReportPage
{
    QString source; // where the records came from, as the page names it
    QString selection; // the --label and --since applied, in words; empty for all
    QString generated; // when the page was made
    QList<ReportTest> tests;
    // Not set: the page shows no pictures.
    LastFramePng lastFramePng;
};

QByteArray reportHtml(const ReportPage &page);

// The colours the charts draw with, for the checks that look at a rendered page.
namespace ReportColour {
constexpr const char *yieldBar = "#2e7d32";
constexpr const char *failureBar = "#c62828";
constexpr const char *histogramBar = "#1565c0";
constexpr const char *bound = "#d84315";
constexpr const char *driftPoint = "#37474f";
constexpr const char *flaggedPoint = "#ff6f00";
constexpr const char *centreLine = "#00838f";
constexpr const char *controlLimit = "#6a1b9a";
constexpr const char *zone = "#b0bec5";
} // namespace ReportColour
