// Arbitrary bytes as the configuration file: reading it never fails or misbehaves, and the
// database URL it names is never shown with its password.
#include "records/databaseurl.h"
#include "records/recordsettings.h"

#include <QTemporaryFile>

#include <cstdint>
#include <cstdlib>

namespace {

void checkRedaction(const QString &url)
{
    const DatabaseUrl parsed = DatabaseUrl::parse(url);
    const QString shown = parsed.redacted();
    // A password that is also a part of what may be shown cannot be told from it.
    QString rest = parsed.scheme + parsed.user + parsed.host + parsed.database;
    for (const auto &option : parsed.options)
        rest += option.first + option.second;
    if (parsed.password.size() >= 3 && !rest.contains(parsed.password)
        && !QStringLiteral("the --db URL (in part) *").contains(parsed.password)
        && shown.contains(parsed.password))
        std::abort();
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
