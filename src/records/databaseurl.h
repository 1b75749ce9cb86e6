#pragma once

#include <QList>
#include <QPair>
#include <QString>

// A postgresql:// URL taken apart, as the store connects with it:
// postgresql://[user[:password]@][host][:port][/dbname][?key=value&...]. The password runs from
// the first ':' of the user part to its last '@', so that it may hold both; a ?password= is one
// like any other. Without a password libpq looks where it always does: PGPASSWORD, PGPASSFILE or
// ~/.pgpass, or the file a ?passfile= names.
struct DatabaseUrl
{
    QString scheme; // empty when the text names none
    QString user;
    QString password;
    QString host; // empty: libpq's default (its Unix socket)
    int port = -1;
    QString database;
    QList<QPair<QString, QString>> options; // the query's other keys, decoded, in order
    QString problem; // why the URL cannot be used; empty when it can

    static DatabaseUrl parse(const QString &url);
    // The URL as outputs may show it: every password (and any key that names one) as "***".
    // One that cannot be used is named by its scheme and host only, or as "the --db URL".
    QString redacted() const;
};
