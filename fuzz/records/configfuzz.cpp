// Arbitrary bytes as the configuration file: reading it never fails or misbehaves, and the
// database URL it names is never shown with its password.
#include "records/databaseurl.h"
#include "records/recordsettings.h"

#include <QTemporaryFile>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

namespace {

void checkRedaction(const QString &url)
{
    const DatabaseUrl parsed = DatabaseUrl::parse(url);
    const QString shown = parsed.redacted();
    // A password that is also a part of what may be shown, or of the words around it, cannot be
    // told from it: the redaction rebuilds the URL from its other parts.
    QString rest = QStringLiteral("the --db URL (in part) ://***@[]/?&=") + parsed.scheme
        + QStringLiteral("://");
    for (const QString &part : {parsed.user, parsed.host, parsed.database})
        rest += QLatin1Char('\n') + part + QLatin1Char('\n')
            + QString::fromUtf8(QUrl::toPercentEncoding(part)) + QStringLiteral("://")
            + QString::fromUtf8(QUrl::toPercentEncoding(part)) + QLatin1Char(':');
    for (const auto &option : parsed.options)
        rest += QLatin1Char('\n') + option.first + option.second
            + QString::fromUtf8(QUrl::toPercentEncoding(option.second, "/"));
    if (parsed.password.size() >= 3 && !rest.contains(parsed.password)
        && shown.contains(parsed.password))
        std::abort();
    // What is shown of a usable URL reads back as the same URL without its password.
    if (parsed.problem.isEmpty()) {
        const DatabaseUrl again = DatabaseUrl::parse(shown);
        if (!again.problem.isEmpty() || again.host != parsed.host || again.user != parsed.user
            || (again.password != QLatin1String("***") && !again.password.isEmpty()))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    checkRedaction(QString::fromUtf8(bytes));
    static QTemporaryFile file;
    if (!file.isOpen() && !file.open())
        std::abort();
    if (!file.resize(0) || !file.seek(0) || file.write(bytes) != bytes.size() || !file.flush())
        std::abort();
    const QcRecordSettings settings = readQcRecordSettings(file.fileName());
    checkRedaction(settings.database);
    return 0;
}
