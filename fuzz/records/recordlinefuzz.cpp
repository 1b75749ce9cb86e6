// Arbitrary bytes as one line of a results log: the reader reads it as the QJsonDocument reader
// it replaced did; what it takes, the writer writes back as a line that the reader takes again as
// the same record, and that line is one every store keeps.
#include "records/jsondocumentreader.h"
#include "records/record.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QcRecordLine read = qcReadRecordLine(line);
    const QcRecordLine reference = jsonDocumentRecordLine(line);
    // Parsers word their syntax errors differently; every other reason is the same text.
    const QString syntax = QStringLiteral("no JSON:");
    if (read.status != reference.status
        || (read.problem != reference.problem
            && !(read.problem.startsWith(syntax) && reference.problem.startsWith(syntax)))
        || (read.status == QcRecordLine::Read
            && (read.record.toJson() != reference.record.toJson()
                || read.record.judged != reference.record.judged
                || read.record.judged.offsetFromUtc() != reference.record.judged.offsetFromUtc())))
        std::abort();
    if (read.status != QcRecordLine::Read) {
        if (read.problem.isEmpty())
            std::abort(); // every line refused says why
        return 0;
    }
    QByteArray written = read.record.toLine();
    written.chop(1);
    if (!qcRecordLineProblem(written).isEmpty())
        std::abort();
    const QcRecordLine again = qcReadRecordLine(written);
    if (again.status != QcRecordLine::Read || again.record.toJson() != read.record.toJson()
        || again.record.toLine() != read.record.toLine())
        std::abort();
    return 0;
}
