// Arbitrary bytes as a results log, made into the report's page: every record the reader takes
// is drawn, and no number on the page is "nan" or "inf".
#include "records/reportdata.h"
#include "records/reporthtml.h"
#include "records/resultslog.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QBuffer log(&bytes);
    log.open(QIODevice::ReadOnly);
    ReportData report {YieldQuery()};
    ResultsLog::read(log, [&](const QcRecord &record) { report.add(record); });
    report.setYields(report.totals(), report.days());
    ReportPage page;
    page.source = QStringLiteral("fuzz");
    page.tests = report.tests();
    page.lastFramePng = [](const QcRecord &, QString *unavailable) {
        *unavailable = QStringLiteral("not in this run");
        return QByteArray();
    };
    const QByteArray html = reportHtml(page);
    for (const char *notANumber : {"=\"nan", "=\"-nan", "=\"inf", "=\"-inf", " nan,", " inf,"})
        if (html.contains(notANumber))
            std::abort();
    return 0;
}
