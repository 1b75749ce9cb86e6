#pragma once

// The module's end of a serial line, for the simulator: a pseudo-terminal that a viewer opens by
// its path, or a real port. Both take the module's bytes and report what the computer sends.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

class QSocketNotifier;

// A pseudo-terminal in raw mode, its master non-blocking, both ends closed on exec; false with
// the system's reason in `error`.
bool openRawPty(int *masterFd, int *slaveFd, QString *slavePath, QString *error);
// Makes `link` a symbolic link to `target`. Replaces an older link, never another file, nor a
// link to a pseudo-terminal that is alive: another running process holds that one.
bool makeSymLink(const QString &target, const QString &link, QString *error);
// Removes `link` if it still points to `target`.
void removeSymLink(const QString &link, const QString &target);

// The master of a pseudo-terminal whose slave only a viewer holds open, so that it sees the viewer
// come and go: the viewer may open and close the path as often as it likes. The simulator's line
// and the tap's viewer end both notice the viewer through it.
class PtyMaster : public QObject
{
    Q_OBJECT
public:
    explicit PtyMaster(QObject *parent = nullptr);
    ~PtyMaster() override;

    // Creates the pseudo-terminal and watches for a viewer; false with the system's reason.
    bool open(QString *error);
    int fd() const { return masterFd; }
    QString slavePath() const { return path; }
    // Makes `link` a symbolic link to the slave, as makeSymLink does; removed with this object.
    bool makeLink(const QString &link, QString *error);
    bool isViewerOpen() const { return viewerOpen; }
    // Called once a read or write shows that nobody holds the slave: what the viewer left unread
    // would greet it when it opens the path again, and a real line loses it.
    void viewerLeft();
    // Drops what the slave holds unread.
    void dropUnread();
    // Closes the master: the viewer sees its line hung up.
    void close();

signals:
    void viewerOpened();
    void viewerClosed();

private:
    void watchForViewer();

    int masterFd = -1;
    QString path;
    QString linkPath;
    QTimer watch;
    bool viewerOpen = false;
};

class ModuleLine : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Takes the bytes or a part of them; returns how many it took (0 when the line is full).
    virtual qint64 send(const char *data, qint64 size) = 0;
    // Whether everything sent has left the simulator's side of the line.
    virtual bool drained() const = 0;
    // Whether the computer has its end of the line open: what is sent while it has not is lost.
    virtual bool hasReader() const { return true; }

signals:
    void received(const QByteArray &bytes);
    // The line is unusable; the simulator must stop.
    void lost(const QString &reason);
};

// A pseudo-terminal in raw mode. Like a real line, it carries bytes only while a viewer has its
// end open: the simulator does not hold the slave itself, so that it sees the viewer come and go
// (the master reads EIO while nobody has the slave open), and a viewer may open and close it as
// often as it likes.
class PtyLine : public ModuleLine
{
    Q_OBJECT
public:
    explicit PtyLine(QObject *parent = nullptr);
    ~PtyLine() override;

    // Creates the pseudo-terminal; false with the system's reason in `error`.
    bool open(QString *error);
    QString slavePath() const { return master.slavePath(); }
    // Makes `link` a symbolic link to the slave, as makeSymLink does.
    bool makeLink(const QString &link, QString *error) { return master.makeLink(link, error); }

    qint64 send(const char *data, qint64 size) override;
    bool drained() const override;
    bool hasReader() const override { return master.isViewerOpen(); }

private:
    bool readMaster();

    PtyMaster master;
    QSocketNotifier *notifier = nullptr;
    QElapsedTimer sinceTaken; // since the line last took a byte
};

// A real serial port with the viewer's line settings.
class PortLine : public ModuleLine
{
    Q_OBJECT
public:
    explicit PortLine(const QString &name, QObject *parent = nullptr);
    ~PortLine() override;

    bool open(QString *error);
    qint64 send(const char *data, qint64 size) override;
    bool drained() const override;

private:
    QSerialPort port;
};
