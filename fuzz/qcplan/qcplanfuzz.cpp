// Arbitrary bytes as a plan document: parsing never fails or misbehaves, the two readings agree
// but for the additions, and starting any of its test types stays within the run's bounds.
#include "qc/qccheck.h"
#include "qc/qcplan.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray document(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QList<QcType> withAdditions = parseQcDocument(document, QcAdditions::Read);
    const QList<QcType> without = parseQcDocument(document, QcAdditions::Ignore);
    if (withAdditions.size() != without.size())
        std::abort();
    for (int i = 0; i < without.size(); ++i) {
        QcType expected = withAdditions.at(i);
        for (QcRange &range : expected.ranges)
            range.minAdd = range.maxAdd = 0;
        if (expected != without.at(i))
            std::abort();
    }

    for (Deliverable d : {Deliverable::Viewer, Deliverable::Qc}) {
        QcCheck check(d, d == Deliverable::Qc ? without : withAdditions);
        for (const QcType &type : check.plan()) {
            const QcStart start = check.start(type.label, 1'700'000'000'000);
            if (!start.selected || start.verdict != QLatin1String("Testing"))
                std::abort();
            if (start.judgeAfterMs && *start.judgeAfterMs < 0)
                std::abort();
            for (int c = 0; c < qcChannelCount; ++c) {
                const qint32 listed = check.run().channelListed[c];
                if (listed != c && listed != qcNotListed)
                    std::abort();
            }
            const QcVerdict verdict = check.judge();
            if (verdict.passed != verdict.messages.isEmpty())
                std::abort();
        }
    }
    return 0;
}
