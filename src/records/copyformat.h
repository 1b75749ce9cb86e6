#pragma once

// Rows for PostgreSQL's COPY FROM STDIN: the text format for the few rows of a batch's
// summaries, the binary one for its records, whose long texts and many fields the server then
// takes without parsing them.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class QDate;
class QDateTime;

// Fields apart by tabs, \N for none, a backslash before the backslashes, tabs and line ends of
// the values.
class CopyText
{
public:
    void text(const QByteArray &value);
    void text(const QString &value) { text(value.toUtf8()); }
    void none();
    // The shortest text that reads back as the same double; integers as whole numbers, since a
    // bigint column refuses "1e+17". A double that is not finite is none.
    void number(qint64 value);
    void number(double value);
    void endRow();

    const QByteArray &rows() const { return rows_; }
    void clear() { rows_.resize(0); }

private:
    void separate();
    template<typename Number>
    void digits(Number value);
    QByteArray rows_;
    bool rowStarted_ = false;
};

// The binary format: a header, then each row's field count and each field's length and bytes in
// the server's own binary form, then a trailer.
class CopyBinary
{
public:
    CopyBinary();
    void beginRow(int fields);
    void none();
    void text(const QByteArray &value);
    void text(const QString &value) { text(value.toUtf8()); }
    void textOrNone(const QString &value); // empty is none
    // A UUID's text as its 16 bytes; none when it is no UUID.
    void uuid(const QString &id);
    void timestamp(const QDateTime &time); // timestamptz
    void date(const QDate &day); // none when invalid
    void textArray(const QStringList &values); // text[]

    // Ends the rows with the trailer; nothing may be added after.
    void finish();
    const QByteArray &data() const { return data_; }
    void clear();

private:
    void int16(qint16 value);
    void int32(qint32 value);
    void int64(qint64 value);
    QByteArray data_;
};
