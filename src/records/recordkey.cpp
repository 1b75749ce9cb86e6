#include "records/recordkey.h"

#include <QCryptographicHash>

namespace {

int hexDigit(ushort c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

quint64 mixed(const RecordKey &key)
{
    // splitmix64's finaliser: ids need not be random (derived or sequential UUIDs).
    quint64 z = key.high ^ (key.low * 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

RecordKey recordKeyOf(const QString &id)
{
    // The reader writes every id as a lower-case UUID without braces.
    if (id.size() == 36) {
        RecordKey key;
        int nibbles = 0;
        bool canonical = true;
        for (int i = 0; i < 36 && canonical; ++i) {
            const ushort c = id.at(i).unicode();
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                canonical = c == '-';
                continue;
            }
            const int digit = hexDigit(c);
            canonical = digit >= 0;
            quint64 &half = nibbles < 16 ? key.high : key.low;
            half = half << 4 | quint64(digit & 15);
            ++nibbles;
        }
        if (canonical)
            return key;
    }
    const QByteArray hash = QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Md5);
    RecordKey key;
    for (int i = 0; i < 8; ++i) {
        key.high = key.high << 8 | uchar(hash.at(i));
        key.low = key.low << 8 | uchar(hash.at(8 + i));
    }
    return key;
}

bool RecordKeySet::insert(const RecordKey &key)
{
    if (key == RecordKey()) {
        const bool added = !zero_;
        zero_ = true;
        return added;
    }
    // At most 70% full, so that a probe is short.
    if (10 * (size_ + 1) > 7 * qint64(table_.size()))
        grow();
    const size_t mask = table_.size() - 1;
    for (size_t at = mixed(key) & mask;; at = (at + 1) & mask) {
        RecordKey &place = table_[at];
        if (place == key)
            return false;
        if (place == RecordKey()) {
            place = key;
            ++size_;
            return true;
        }
    }
}

void RecordKeySet::grow()
{
    std::vector<RecordKey> old;
    old.swap(table_);
    table_.assign(old.empty() ? 1024 : old.size() * 2, RecordKey());
    const size_t mask = table_.size() - 1;
    for (const RecordKey &key : old) {
        if (key == RecordKey())
            continue;
        size_t at = mixed(key) & mask;
        while (!(table_[at] == RecordKey()))
            at = (at + 1) & mask;
        table_[at] = key;
    }
}
