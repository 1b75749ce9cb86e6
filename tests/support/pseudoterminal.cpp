#include "support/pseudoterminal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    char name[256] = {};
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        masterFd = slaveFd = -1;
        return;
    }
    // Raw mode on the line: no echo, no translation of bytes such as 0x0D or 0xFF.
    termios tio {};
    tcgetattr(slaveFd, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveFd, TCSANOW, &tio);
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    // A program the test starts must not hold the module end open: closeMaster() hangs up.
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    path = QString::fromLocal8Bit(name);
    // The slave stays open here too, so that the line does not hang up between ports.
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (slaveFd >= 0)
        ::close(slaveFd);
}

bool PseudoTerminal::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(5000);
    while (done < bytes.size() && masterFd >= 0) {
        const ssize_t n = ::write(masterFd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (deadline.hasExpired())
                return false;
            // The line is full: let the port read before writing more.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    return done == bytes.size();
}

QByteArray PseudoTerminal::read(int count, int timeoutMs)
{
    QByteArray result;
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (masterFd >= 0) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n > 0)
            result.append(buffer, int(n));
        if (result.size() >= count || deadline.hasExpired())
            break;
        if (n <= 0)
            QTest::qWait(1);
    }
    return result;
}

QByteArray PseudoTerminal::readPending(int settleMs)
{
    QTest::qWait(settleMs);
    return read(1 << 30, 0);
}

void PseudoTerminal::closeMaster()
{
    if (masterFd >= 0) {
        ::close(masterFd);
        masterFd = -1;
    }
}
