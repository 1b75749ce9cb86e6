// envtool ports: the serial ports of this machine, what each is and who holds it.
#include "cli.h"
#include "commands/commands.h"
#include "link/portinventory.h"

#include <cstdio>

int runPorts(const QStringList &args)
{
    SubcommandParser cli(
        QStringLiteral("ports"),
        QStringLiteral("Lists the serial ports: each device with its stable names (the links in "
                       "/dev/serial/by-id and /dev/serial/by-path), its description, "
                       "manufacturer and serial number, and whether it is busy, with who holds "
                       "it where a lock file or a flock() on the device tells. No port is "
                       "opened."));
    const QCommandLineOption format(
        QStringLiteral("format"),
        QStringLiteral("table (one line per port, the default) or json (an array of objects: "
                       "device, byId, byPath, description, manufacturer, serialNumber, busy, "
                       "holder)."),
        QStringLiteral("FORMAT"), QStringLiteral("table"));
    cli.parser().addOption(format);
    if (const auto done = cli.parse(args))
        return *done;
    const QString formatName = cli.value(format);
    if (formatName != QLatin1String("table") && formatName != QLatin1String("json"))
        return cli.usageError(
            QStringLiteral("--format is table or json, not '%1'").arg(formatName));

    const QList<PortInfo> ports = listPorts();
    const QByteArray text
        = formatName == QLatin1String("json") ? portsJson(ports) : portsTable(ports).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    if (!text.endsWith('\n'))
        std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout)
        ? ExitSuccess
        : reportError(QStringLiteral("ports"), QStringLiteral("cannot write standard output"));
}
