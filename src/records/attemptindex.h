#pragma once

#include <QString>

#include <optional>

// A board's runs of one test at one station: what an attempt counts.
struct QcAttemptKey
{
    QString station;
    QString test;
    QString serial;
};

// How often each board was run on each test at each station, kept beside a results log so that a
// run learns its attempt without reading the whole log. The index covers the log up to a byte
// offset; the lines after it are read on each lookup, up to maxTailBytes. An index that is
// missing, damaged or made for another log is never trusted: the log is read instead, and only
// when it is small.
//
// File: "envatt01", then the covered bytes, the log's inode, a hash of the covered part's last
// bytes and the number of entries (each a native 64-bit integer), then the entries sorted by key
// hash: a 64-bit key hash and a 32-bit count, padded to 16 bytes.
class QcAttemptIndex
{
public:
    static constexpr qint64 maxTailBytes = 1 << 20;

    explicit QcAttemptIndex(const QString &logPath);
    static QString pathFor(const QString &logPath);

    // The runs of `key` in the log, or none when answering would read more than maxTailBytes of
    // it: then update() first. A log that does not exist holds no run.
    std::optional<int> runs(const QcAttemptKey &key) const;
    // Whether the lines after the index are many enough that a lookup reads much.
    bool lags() const;
    // Brings the index up to the whole log: reads only the log's new lines when the index is
    // sound, every line otherwise. Any thread; slow with a large log and no index.
    bool update(QString *error = nullptr) const;
    // runs(), updating the index first when it must; reads the whole log when the index cannot be
    // written.
    int runsUpdating(const QcAttemptKey &key) const;
    // The runs of `key` counted by reading the whole log, without the index.
    int runsInWholeLog(const QcAttemptKey &key) const;

private:
    QString log_;
};
