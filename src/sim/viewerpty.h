#pragma once

// The viewer's end of a tap: a pseudo-terminal that the viewer opens by its path, and may close
// and open again as often as it likes. Bytes reach it only while the viewer has it open; what
// comes while it is closed is dropped, as a real line drops what nobody reads.

#include "sim/moduleline.h"
#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

class ViewerPty : public QObject
{
    Q_OBJECT
public:
    explicit ViewerPty(QObject *parent = nullptr);
    ~ViewerPty() override;

    // Creates the pseudo-terminal; false with the system's reason in `error`.
    bool open(QString *error);
    QString slavePath() const { return master.slavePath(); }
    // Makes `link` a symbolic link to the slave; replaces an older link, never another file.
    bool makeLink(const QString &link, QString *error) { return master.makeLink(link, error); }
    bool isViewerOpen() const { return master.isViewerOpen(); }

    // Hands the bytes to the viewer, queued while it does not read; dropped while it is closed.
    void send(const QByteArray &bytes);
    // Reports what the viewer wrote and was not reported yet, unless reading is paused.
    void readAll();
    // Pauses or resumes reading the viewer: what it writes meanwhile waits in its own side, and
    // its writes wait once that is full.
    void setReading(bool on);
    // Hangs the line up: the viewer sees its module unplugged.
    void hangUp();

signals:
    void received(const QByteArray &bytes);
    void viewerOpened();
    void viewerClosed();

private:
    void writePending();
    void viewerLeft();

    PtyMaster master;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QByteArray pending;
    bool reading = true;
};
