#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

// A record's id in 128 bits, for the summaries that remember every run: a UUID's own bits, so
// that keys order as the ids' text does; any other id (a record made in code) a hash of its text.
struct RecordKey
{
    quint64 high = 0;
    quint64 low = 0;

    friend bool operator==(const RecordKey &a, const RecordKey &b)
    {
        return a.high == b.high && a.low == b.low;
    }
    friend bool operator<(const RecordKey &a, const RecordKey &b)
    {
        return a.high != b.high ? a.high < b.high : a.low < b.low;
    }
};

RecordKey recordKeyOf(const QString &id);

// The ids of the records seen, 16 bytes each in an open-addressed table.
class RecordKeySet
{
public:
    // False when `key` was there already.
    bool insert(const RecordKey &key);
    qint64 size() const { return size_ + (zero_ ? 1 : 0); }

private:
    void grow();
    std::vector<RecordKey> table_; // a zero key marks a free place
    qint64 size_ = 0;
    bool zero_ = false; // the nil id, which cannot mark itself
};
