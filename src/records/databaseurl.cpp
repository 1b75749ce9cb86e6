#include "records/databaseurl.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

namespace {

bool namesPassword(const QString &key)
{
    return key.contains(QLatin1String("password"), Qt::CaseInsensitive);
}

QString decoded(const QString &part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

} // namespace

DatabaseUrl DatabaseUrl::parse(const QString &url)
{
    DatabaseUrl u;
    const int schemeEnd = url.indexOf(QLatin1String("://"));
    if (schemeEnd > 0)
        u.scheme = url.left(schemeEnd);
    if (u.scheme != QLatin1String("postgresql") && u.scheme != QLatin1String("postgres")) {
        u.problem = QStringLiteral("it is no postgresql:// URL");
        if (schemeEnd < 0)
            u.scheme.clear();
    }
    QString rest = schemeEnd < 0 ? QString() : url.mid(schemeEnd + 3);
    QString query;
    const int queryAt = rest.indexOf(QLatin1Char('?'));
    if (queryAt >= 0) {
        query = rest.mid(queryAt + 1);
        rest.truncate(queryAt);
    }
    // The user part ends at the last '@' before the path, so that a password may hold '@' and '/'.
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    QString authority = rest;
    if (at >= 0) {
        const QString user = rest.left(at);
        authority = rest.mid(at + 1);
        const int colon = user.indexOf(QLatin1Char(':'));
        u.user = decoded(colon < 0 ? user : user.left(colon));
        if (colon >= 0)
            u.password = decoded(user.mid(colon + 1));
    }
    const int slash = authority.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        u.database = decoded(authority.mid(slash + 1));
        authority.truncate(slash);
    }
    const int portAt = authority.lastIndexOf(QLatin1Char(':'));
    // An IPv6 address in brackets holds colons of its own.
    if (portAt >= 0 && !authority.mid(portAt).contains(QLatin1Char(']'))) {
        bool ok = false;
        u.port = authority.mid(portAt + 1).toInt(&ok);
        if (!ok || u.port <= 0 || u.port > 65535) {
            u.port = -1;
            if (u.problem.isEmpty())
                u.problem = QStringLiteral("its port is no number from 1 to 65535");
        }
        authority.truncate(portAt);
    }
    u.host = decoded(authority);
    if (u.host.startsWith(QLatin1Char('[')) && u.host.endsWith(QLatin1Char(']')))
        u.host = u.host.mid(1, u.host.size() - 2);
    for (const QString &item : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const int equals = item.indexOf(QLatin1Char('='));
        const QString key = decoded(equals < 0 ? item : item.left(equals));
        const QString value = equals < 0 ? QString() : decoded(item.mid(equals + 1));
        if (key == QLatin1String("host")) {
            u.host = value;
            continue;
        }
        if (key == QLatin1String("password")) {
            u.password = value;
            continue;
        }
        u.options.append({key, value});
        static const QRegularExpression keyword(QStringLiteral("^[a-z_]+$"));
        // Qt's driver turns every ';' of the options (not of the host or password) into a space.
        if (u.problem.isEmpty() && (!keyword.match(key).hasMatch() || value.contains(';')))
            u.problem = QStringLiteral("its query holds a key that is no libpq keyword or a ';'");
    }
    return u;
}

QString DatabaseUrl::redacted() const
{
    if (!problem.isEmpty())
        return scheme.isEmpty() || host.isEmpty()
            ? QStringLiteral("the --db URL")
            : QStringLiteral("%1://%2 (in part)")
                  .arg(scheme, QString::fromUtf8(QUrl::toPercentEncoding(host)));
    QString text = scheme + QLatin1String("://");
    if (!user.isEmpty() || !password.isEmpty())
        text += QString::fromUtf8(QUrl::toPercentEncoding(user))
            + (password.isEmpty() ? QString() : QStringLiteral(":***")) + QLatin1Char('@');
    // A socket folder, or any host that is no name or address, is given as ?host=.
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9._-]*$"));
    static const QRegularExpression ipv6(QStringLiteral("^[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*$"));
    const bool v6 = ipv6.match(host).hasMatch();
    const bool inQuery = !v6 && !name.match(host).hasMatch();
    if (!inQuery)
        text += v6 ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    if (port > 0)
        text += QLatin1Char(':') + QString::number(port);
    if (!database.isEmpty())
        text += QLatin1Char('/') + QString::fromUtf8(QUrl::toPercentEncoding(database));
    QStringList query;
    if (inQuery)
        query << QStringLiteral("host=") + QString::fromUtf8(QUrl::toPercentEncoding(host, "/"));
    for (const auto &[key, value] : options)
        query << key + QLatin1Char('=')
                + (namesPassword(key) ? QStringLiteral("***")
                                      : QString::fromUtf8(QUrl::toPercentEncoding(value, "/")));
    if (!query.isEmpty())
        text += QLatin1Char('?') + query.join(QLatin1Char('&'));
    return text;
}
