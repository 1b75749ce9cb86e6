#pragma once

// A PostgreSQL server of the test's own: a fresh cluster in a temporary folder, reached through a
// Unix socket in that folder and no TCP port, stopped and removed at the end.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PostgresServer
{
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // Makes the cluster on first use and starts the server; false with whyNot() where no server
    // can be started here.
    bool start();
    // `immediate`: as if the server died, without a clean shutdown.
    bool stop(bool immediate = false);
    const QString &whyNot() const { return whyNot_; }

    // A new, empty database and its postgresql:// URL; empty on failure (whyNot() says why).
    QString createDatabase(const QString &name);
    // The rows `sql` gives in database `name`, as psql's unaligned output; empty on failure.
    QString query(const QString &name, const QString &sql);

private:
    bool run(const QString &program, const QStringList &args, QString *output = nullptr);

    QTemporaryDir dir_;
    QString binaries_;
    QString whyNot_;
    bool made_ = false;
    bool running_ = false;
};
