#include "cli.h"
#include "commands.h"
#include "qccommand.h"

#include <QCoreApplication>

int runQc(const QStringList &args)
{
    SubcommandParser cli(QStringLiteral("qc"),
                         QStringLiteral("Runs one test of a plan, with the quality check of the "
                                        "viewer's dialog, on a port or on a capture. Prints "
                                        "\"Pass\" or \"Fail\", then each failure, one per line; "
                                        "exits 0 on Pass and 1 on Fail. Appends the test record "
                                        "to the results log (see 'envtool results')."));
    QCommandLineParser &p = cli.parser();
    p.addOption({QStringLiteral("plan"),
                 QStringLiteral("The plan (a qc.json file). Without it, qc.json beside envtool, "
                                "then envviewer/qc.json in $XDG_CONFIG_HOME (~/.config), then "
                                "in each of $XDG_CONFIG_DIRS (/etc/xdg)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("test"), QStringLiteral("The label of the test type to run."),
                 QStringLiteral("LABEL")});
    p.addOption({QStringLiteral("port"),
                 QStringLiteral("Count the frames arriving on this port for the test's duration."),
                 QStringLiteral("NAME")});
    p.addOption({QStringLiteral("capture"),
                 QStringLiteral("Count every frame of this raw capture, or of the module's "
                                "direction of this session."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("program"),
                 QStringLiteral("Whose rules to judge by: envviewer (default), envviewer_cam or "
                                "envviewer_qc."),
                 QStringLiteral("NAME"), QStringLiteral("envviewer")});
    p.addOption({QStringLiteral("json"), QStringLiteral("Also write the test record to FILE."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("log"),
                 QStringLiteral("Append the test record to FILE instead of the results log "
                                "($XDG_DATA_HOME/envviewer/qc-results.jsonl)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("no-log"), QStringLiteral("Append the test record nowhere.")});
    p.addOption({QStringLiteral("serial"),
                 QStringLiteral("The board's serial number, kept in the test record."),
                 QStringLiteral("S")});
    p.addOption({QStringLiteral("keep-capture"),
                 QStringLiteral("Keep the bytes judged in this session file (module direction "
                                "only), whatever captures= in the [records] group of "
                                "$XDG_CONFIG_HOME/envviewer/envviewer.conf says. Without it, "
                                "failed runs keep theirs in $XDG_DATA_HOME/envviewer/captures/ "
                                "(captures=failed, the default; all or none)."),
                 QStringLiteral("FILE")});
    if (const auto done = cli.parse(args))
        return *done;
    if (!cli.isSet(QStringLiteral("test")))
        return cli.usageError(QStringLiteral("--test is required"));
    if (cli.isSet(QStringLiteral("log")) && cli.isSet(QStringLiteral("no-log")))
        return cli.usageError(QStringLiteral("give either --log or --no-log"));
    if (cli.isSet(QStringLiteral("port")) == cli.isSet(QStringLiteral("capture")))
        return cli.usageError(QStringLiteral("give either --port or --capture"));
    QcOptions options;
    const QString program = cli.value(QStringLiteral("program"));
    const std::optional<Deliverable> rules = deliverableNamed(program);
    if (!rules || *rules == Deliverable::Lite)
        return cli.usageError(QStringLiteral("--program is envviewer, envviewer_cam or "
                                             "envviewer_qc, not '%1'")
                                  .arg(program));
    options.rules = *rules;
    options.plan = cli.value(QStringLiteral("plan"));
    options.programPath = QCoreApplication::arguments().value(0);
    options.test = cli.value(QStringLiteral("test"));
    options.port = cli.value(QStringLiteral("port"));
    options.capture = cli.value(QStringLiteral("capture"));
    options.json = cli.value(QStringLiteral("json"));
    options.log = cli.value(QStringLiteral("log"));
    options.noLog = cli.isSet(QStringLiteral("no-log"));
    options.serial = cli.value(QStringLiteral("serial"));
    options.keepCapture = cli.value(QStringLiteral("keep-capture"));
    return QcCommand(options).run();
}
