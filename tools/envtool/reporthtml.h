#pragma once

// The HTML page of `envtool report`: one self-contained file, its charts inline SVG and its
// pictures inline PNG, with no script and no link outside the file, laid out to print on A4.

#include "yieldreport.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

struct ReportPage
{
    QString source; // where the records came from, as the page names it
    QString selection; // the --label and --since applied, in words; empty for all
    QString generated; // when the page was made
    QList<ReportTest> tests;
    // The last frame of a kept capture as PNG bytes; empty for none. Not set: no pictures.
    std::function<QByteArray(const QString &capturePath)> lastFramePng;
};

QByteArray reportHtml(const ReportPage &page);

// The colours the charts draw with, for the checks that look at a rendered page.
namespace ReportColour {
constexpr const char *yieldBar = "#2e7d32";
constexpr const char *failureBar = "#c62828";
constexpr const char *histogramBar = "#1565c0";
constexpr const char *bound = "#d84315";
} // namespace ReportColour
