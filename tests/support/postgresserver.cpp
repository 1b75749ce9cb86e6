#include "support/postgresserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace {

// The newest installed server's programs.
QString serverBinaries()
{
    const QStringList versions
        = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int newest = 0;
    for (const QString &v : versions)
        newest = qMax(newest, v.toInt());
    const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(newest);
    return QFileInfo::exists(bin + QLatin1String("/initdb")) ? bin : QString();
}

} // namespace

PostgresServer::PostgresServer()
    : binaries_(serverBinaries())
{
}

PostgresServer::~PostgresServer()
{
    stop();
}

bool PostgresServer::run(const QString &program, const QStringList &args, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // The server refuses to run as root: there it runs as the postgres user, which owns the
    // folder.
    if (::geteuid() == 0)
        process.start(QStringLiteral("runuser"),
                      QStringList {QStringLiteral("-u"), QStringLiteral("postgres"),
                                   QStringLiteral("--"), binaries_ + QLatin1Char('/') + program}
                          + args);
    else
        process.start(binaries_ + QLatin1Char('/') + program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        whyNot_ = QStringLiteral("%1 failed: %2")
                      .arg(program, QString::fromLocal8Bit(process.readAll()).simplified());
        if (process.error() == QProcess::FailedToStart)
            whyNot_
                = QStringLiteral("%1 cannot be started: %2").arg(program, process.errorString());
        return false;
    }
    if (output)
        *output = QString::fromUtf8(process.readAll()).trimmed();
    return true;
}

bool PostgresServer::start()
{
    if (running_)
        return true;
    if (binaries_.isEmpty()) {
        whyNot_ = QStringLiteral("no PostgreSQL server is installed (/usr/lib/postgresql/*/bin)");
        return false;
    }
    if (!dir_.isValid()) {
        whyNot_ = QStringLiteral("no temporary folder: ") + dir_.errorString();
        return false;
    }
    if (!made_) {
        if (::geteuid() == 0) {
            const passwd *user = ::getpwnam("postgres");
            if (!user) {
                whyNot_ = QStringLiteral("running as root, and there is no postgres user to run "
                                         "the server as");
                return false;
            }
            if (::chown(QFile::encodeName(dir_.path()).constData(), user->pw_uid, user->pw_gid)
                != 0) {
                whyNot_ = QStringLiteral("cannot give %1 to the postgres user").arg(dir_.path());
                return false;
            }
        }
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dir_.filePath(QStringLiteral("data")), QStringLiteral("-U"),
                  QStringLiteral("postgres"), QStringLiteral("--auth=trust"),
                  QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8")}))
            return false;
        made_ = true;
    }
    // A crash (an immediate stop) leaves the cluster to recover on the next start.
    running_
        = run(QStringLiteral("pg_ctl"),
              {QStringLiteral("-D"), dir_.filePath(QStringLiteral("data")), QStringLiteral("-l"),
               dir_.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
               QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
               QStringLiteral("-k %1 -c listen_addresses='' -c fsync=off").arg(dir_.path()),
               QStringLiteral("start")});
    return running_;
}

bool PostgresServer::stop(bool immediate)
{
    if (!running_)
        return true;
    running_
        = !run(QStringLiteral("pg_ctl"),
               {QStringLiteral("-D"), dir_.filePath(QStringLiteral("data")), QStringLiteral("-m"),
                immediate ? QStringLiteral("immediate") : QStringLiteral("fast"),
                QStringLiteral("-w"), QStringLiteral("stop")});
    return !running_;
}

QString PostgresServer::createDatabase(const QString &name)
{
    if (!run(QStringLiteral("createdb"),
             {QStringLiteral("-h"), dir_.path(), QStringLiteral("-U"), QStringLiteral("postgres"),
              name}))
        return QString();
    return QStringLiteral("postgresql://postgres@/%1?host=%2").arg(name, dir_.path());
}

QString PostgresServer::query(const QString &name, const QString &sql)
{
    QString rows;
    run(QStringLiteral("psql"),
        {QStringLiteral("-h"), dir_.path(), QStringLiteral("-U"), QStringLiteral("postgres"),
         QStringLiteral("-d"), name, QStringLiteral("-Atc"), sql},
        &rows);
    return rows;
}
