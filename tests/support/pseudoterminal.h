#pragma once

#include <QByteArray>
#include <QString>

// The module's end of a serial line: a pseudo-terminal whose slave side a QSerialPort opens by
// its path like any port, while the test reads and writes the master side.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isOpen() const { return masterFd >= 0; }
    QString slavePath() const { return path; }

    // Writes all bytes to the module end; they arrive at the port that opened the slave.
    bool write(const QByteArray &bytes);
    // Reads what the port wrote, waiting until at least `count` bytes came or `timeoutMs` passed
    // while the Qt event loop keeps running.
    QByteArray read(int count, int timeoutMs = 2000);
    // Reads whatever is pending now, after letting the event loop run for `settleMs`.
    QByteArray readPending(int settleMs = 50);
    // Hangs up the module end, as when the module is unplugged.
    void closeMaster();

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString path;
};
