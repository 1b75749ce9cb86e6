// A plan, then a script of Starts, frames, clock steps and judgements run through the check.
//
// Input: one byte choosing the program's rules, two bytes (little-endian) giving the length of
// the plan document that follows, then operations of one byte each with their arguments:
//   0 start: one byte picks the test type (or an unknown label)
//   1 frame: one byte for the length (54 unless >= 224), then two bytes per sample
//   2 step: two bytes, the clock moves by that signed number of milliseconds
//   3 judge
//   4 jump: eight bytes, the clock is set to that value
// Missing argument bytes read as 0. The run's invariants are checked after every operation.
#include "qc/qccheck.h"
#include "qc/qcplan.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class Reader
{
public:
    Reader(const uint8_t *data, size_t size)
        : data(data)
        , size(size)
    {
    }
    bool atEnd() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t u16()
    {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | (byte() << 8));
    }
    uint64_t u64()
    {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= uint64_t(byte()) << (8 * i);
        return value;
    }
    QByteArray bytes(size_t n)
    {
        n = std::min(n, size - std::min(pos, size));
        QByteArray out(reinterpret_cast<const char *>(data + pos), static_cast<int>(n));
        pos += n;
        return out;
    }

private:
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in(data, size);
    const Deliverable deliverable = in.byte() % 2 ? Deliverable::Qc : Deliverable::Viewer;
    const QcRules &rules = qcRules(deliverable);
    const QByteArray document = in.bytes(in.u16());
    QcCheck qc(deliverable, parseQcDocument(document, rules.additions));

    qint64 now = 1'700'000'000'000;
    for (int ops = 0; !in.atEnd() && ops < 4096; ++ops) {
        const QcCounts before = qc.run();
        switch (in.byte() % 5) {
        case 0: {
            const int pick = in.byte();
            const QString label = pick < qc.plan().size() ? qc.plan().at(pick).label
                                                          : QStringLiteral("\x01unknown");
            const QcStart start = qc.start(label, now);
            check(start.judgeAfterMs.value_or(0) >= 0);
            check(qc.run().frameCount == 0);
            break;
        }
        case 1: {
            const int n = in.byte();
            const int length = n < 224 ? qcFrameLength : n - 224;
            QList<short> frame;
            for (int i = 0; i < length; ++i)
                frame.append(static_cast<short>(in.u16()));
            const bool used = qc.addFrame(frame, now);
            check(!used || length == qcFrameLength);
            check(qc.run().frameCount == before.frameCount + (used ? 1 : 0));
            if (!rules.netCount) {
                for (int c = 0; c < qcChannelCount; ++c)
                    check(qc.run().goodCount[c] >= before.goodCount[c]);
            }
            break;
        }
        case 2:
            // Wraps rather than overflows: the clock may be anywhere after a jump.
            now = static_cast<qint64>(
                static_cast<uint64_t>(now)
                + static_cast<uint64_t>(int64_t(static_cast<int16_t>(in.u16()))));
            break;
        case 3: {
            const QcVerdict verdict = qc.judge();
            check(verdict.passed == verdict.messages.isEmpty());
            check(verdict.text == (verdict.passed ? QLatin1String("Pass") : QLatin1String("Fail")));
            check(verdict.messages.size() <= qcChannelCount + 1);
            break;
        }
        case 4: {
            const uint64_t raw = in.u64();
            std::memcpy(&now, &raw, sizeof now);
            break;
        }
        }
        for (int c = 0; c < qcChannelCount; ++c) {
            check(qc.run().goodCount[c] >= 0);
            check(qc.run().channelListed[c] == c || qc.run().channelListed[c] == qcNotListed);
        }
        check(qc.run().frameCount >= 0);
    }
    return 0;
}
