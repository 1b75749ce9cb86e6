// What showing the stream costs at the module's full line rate, side by side in one run: each
// program's real window beside a bare QSerialPort reader that discards the bytes, each on its own
// pseudo-terminal fed the same stream by a paced writer at 11,520 bytes a second; the windows
// offscreen and under Xvfb, with an X server of their own. Two feeds, steady and scattered
// (support/linefeeds.h), each in rounds of its own. One program at a time, so that the windows do
// not share the caches with each other. The figures are the CPU time of each process alone (from
// /proc), per second of stream, and the window's multiple of the bare reader's in the same round;
// under Xvfb also the X server's. After the rounds, the median multiple of each.
//
//   bench_linerate [--seconds S] [--warmup S] [--platform offscreen|xvfb|both] [--programs a,b]
//                  [--feeds steady,scattered] [--rounds N]
//                  [--before DIR]   (DIR: the host programs of an earlier build, run alongside)
//   bench_linerate --bare PORT      (the bare reader; started by the benchmark itself)

#include "link/serialline.h"
#include "sim/moduleframes.h"
#include "sim/moduleline.h"
#include "sim/simulator.h"
#include "support/linefeeds.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// A feed as the simulator plays it.
class FeedFrames : public ModuleFrames
{
public:
    FeedFrames(LineFeed feed, quint32 seed)
        : frames(feed, seed)
    {
    }
    QVector<StreamPoint> frame(quint64) override { return frames.next(); }

private:
    LineFeedFrames frames;
};

// CPU seconds that a process has used so far: the run time of its threads in nanoseconds where
// the kernel keeps it, else user plus system time in clock ticks.
double processCpu(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    double ns = 0;
    bool precise = true;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        precise = precise && schedstat.open(QIODevice::ReadOnly);
        if (precise)
            ns += schedstat.readAll().split(' ').value(0).toDouble();
    }
    if (precise && ns > 0)
        return ns / 1e9;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces: state is the first, utime the 12th.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / sysconf(_SC_CLK_TCK);
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(' ', 0, 2)
                                          : QStringLiteral("?");
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The bare reader: reads everything and throws it away.
int bareReader(const QString &portName)
{
    QSerialPort port(portName);
    SerialLine::configure(port);
    if (!port.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bare reader: cannot open %s\n", qPrintable(portName));
        return 1;
    }
    qint64 bytes = 0;
    QObject::connect(&port, &QSerialPort::readyRead, [&] { bytes += port.readAll().size(); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::printf("bytes %lld\n", static_cast<long long>(bytes));
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// An X server of its own for one window, so that its share is the window's alone.
struct XServer
{
    QProcess process;
    QString display;

    bool start()
    {
        for (int n = 90; n < 190; ++n) {
            if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                continue;
            process.start(QStringLiteral("Xvfb"),
                          {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"),
                           QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                           QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            if (!process.waitForStarted())
                return false;
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
            for (int wait = 0; wait < 100 && process.state() == QProcess::Running; ++wait) {
                if (QFile::exists(socket)) {
                    display = QStringLiteral(":%1").arg(n);
                    return true;
                }
                QThread::msleep(50);
            }
            process.kill(); // lost the display to someone else: try the next one
            process.waitForFinished();
        }
        return false;
    }
    ~XServer()
    {
        process.terminate();
        process.waitForFinished();
    }
};

struct Consumer
{
    QString name;
    QString platform;
    LineFeed lineFeed = LineFeed::Steady;
    // Where the window's host program is.
    QDir hostDir;
    std::unique_ptr<XServer> xserver;
    std::unique_ptr<PtyLine> line;
    std::unique_ptr<Simulator> feed;
    QProcess process;
    double cpu[2] = {0, 0};
    double xCpu[2] = {0, 0};
    QString count;

    void sample(int i)
    {
        cpu[i] = processCpu(process.processId());
        if (xserver)
            xCpu[i] = processCpu(xserver->process.processId());
    }
};

// Starts the consumer's process on a pseudo-terminal of its own; false when it does not come up.
bool start(Consumer &c)
{
    c.line = std::make_unique<PtyLine>();
    QString error;
    if (!c.line->open(&error)) {
        std::fprintf(stderr, "bench_linerate: %s\n", qPrintable(error));
        return false;
    }
    c.feed = std::make_unique<Simulator>(c.line.get());
    // The same seed, the same stream for everyone.
    c.feed->playFrames(std::make_unique<FeedFrames>(c.lineFeed, 1), 0, -1, 1);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString program = QCoreApplication::applicationFilePath();
    QStringList args = {QStringLiteral("--bare"), c.line->slavePath()};
    if (c.platform != QLatin1String("-")) {
        program = c.hostDir.filePath(QStringLiteral("bench_linerate_host_") + c.name);
        args = QStringList {c.line->slavePath()};
        env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                   c.platform == QLatin1String("xvfb") ? QStringLiteral("xcb")
                                                       : QStringLiteral("offscreen"));
    }
    if (c.platform == QLatin1String("xvfb")) {
        c.xserver = std::make_unique<XServer>();
        if (!c.xserver->start()) {
            std::fprintf(stderr, "bench_linerate: cannot start Xvfb\n");
            return false;
        }
        env.insert(QStringLiteral("DISPLAY"), c.xserver->display);
    }
    c.process.setProcessEnvironment(env);
    c.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    c.process.start(program, args);
    if (!c.process.waitForReadyRead(20000)
        || c.process.readLine().trimmed() != QByteArray("ready")) {
        std::fprintf(stderr, "bench_linerate: %s (%s) did not start\n", qPrintable(c.name),
                     qPrintable(c.platform));
        return false;
    }
    return true;
}

// Feeds the consumers together and takes their CPU time over `seconds` after `warmup`; returns
// the seconds of stream measured.
double measure(std::vector<std::unique_ptr<Consumer>> &consumers, double warmup, double seconds)
{
    for (auto &c : consumers)
        c->feed->start();
    runFor(int(warmup * 1000));
    QElapsedTimer stream;
    stream.start();
    for (auto &c : consumers)
        c->sample(0);
    runFor(int(seconds * 1000));
    for (auto &c : consumers)
        c->sample(1);
    const double measured = stream.elapsed() / 1000.0;
    for (auto &c : consumers) {
        c->process.write("count\n");
        if (c->process.waitForReadyRead(10000))
            c->count = QString::fromLatin1(c->process.readLine().trimmed());
        c->process.waitForFinished(10000);
    }
    return measured;
}

} // namespace

// The median of the rounds' multiples, for one program, build, feed and platform.
double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n == 0 ? 0 : n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser cli;
    cli.setApplicationDescription(
        QStringLiteral("CPU time of each program at the full line rate."));
    cli.addHelpOption();
    cli.addOptions({
        {QStringLiteral("seconds"),
         QStringLiteral("Seconds of stream measured per program (default 20)."),
         QStringLiteral("S"), QStringLiteral("20")},
        {QStringLiteral("warmup"),
         QStringLiteral("Seconds of stream before measuring (default 3)."), QStringLiteral("S"),
         QStringLiteral("3")},
        {QStringLiteral("platform"),
         QStringLiteral("offscreen, xvfb or both (default: both where Xvfb is installed)."),
         QStringLiteral("P")},
        {QStringLiteral("programs"), QStringLiteral("Comma-separated programs (default: all)."),
         QStringLiteral("LIST")},
        {QStringLiteral("feeds"),
         QStringLiteral("Comma-separated feeds: steady, scattered (default: both)."),
         QStringLiteral("LIST"), QStringLiteral("steady,scattered")},
        {QStringLiteral("rounds"), QStringLiteral("Rounds of everything (default 1)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("bare"), QStringLiteral("Run as the bare reader on PORT."),
         QStringLiteral("PORT")},
        {QStringLiteral("before"),
         QStringLiteral("Also run the host programs of an earlier build in DIR, in the same "
                        "rounds."),
         QStringLiteral("DIR")},
    });
    cli.process(app);
    if (cli.isSet(QStringLiteral("bare")))
        return bareReader(cli.value(QStringLiteral("bare")));

    const double seconds = cli.value(QStringLiteral("seconds")).toDouble();
    const double warmup = cli.value(QStringLiteral("warmup")).toDouble();
    const int rounds = qMax(1, cli.value(QStringLiteral("rounds")).toInt());
    const bool haveXvfb = !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty();
    QStringList platforms {QStringLiteral("offscreen")};
    const QString platform = cli.value(QStringLiteral("platform"));
    if (platform == QLatin1String("xvfb"))
        platforms = QStringList {QStringLiteral("xvfb")};
    else if (platform == QLatin1String("both") || (platform.isEmpty() && haveXvfb))
        platforms.append(QStringLiteral("xvfb"));
    else if (!platform.isEmpty() && platform != QLatin1String("offscreen"))
        cli.showHelp(2);
    QStringList programs = {QStringLiteral("envviewer"), QStringLiteral("envviewer_cam"),
                            QStringLiteral("envviewer_qc"), QStringLiteral("envviewer_lite")};
    if (cli.isSet(QStringLiteral("programs")))
        programs = cli.value(QStringLiteral("programs")).split(',');
    QVector<LineFeed> feeds;
    for (const QString &name : cli.value(QStringLiteral("feeds")).split(',')) {
        if (name == QLatin1String(lineFeedName(LineFeed::Steady)))
            feeds.append(LineFeed::Steady);
        else if (name == QLatin1String(lineFeedName(LineFeed::Scattered)))
            feeds.append(LineFeed::Scattered);
        else
            cli.showHelp(2);
    }
    const QDir here(QCoreApplication::applicationDirPath());

    std::printf(
        "Each program beside a bare reader on the same stream, %.0f bytes/s, %.0f s measured "
        "after %.0f s of warm-up, %d round(s). CPU time of each process alone, in %% of one core "
        "(CPU seconds per second of stream); x bare: the window's multiple of the bare reader's "
        "in the same round; +X: the window and its X server together.\n\n",
        Simulator::lineBytesPerSecond, seconds, warmup, rounds);
    std::printf("%5s %-24s %-9s %-9s %6s %6s %6s %6s %6s %7s  %s\n", "round", "program", "feed",
                "platform", "CPU %", "bare %", "x bare", "X %", "+X x", "frames/s",
                "load average before, after");
    // The multiples of every round, by program (with the build), feed and platform.
    std::map<QString, QVector<double>> multiples;
    std::map<QString, QVector<double>> withX;
    QStringList order;
    for (int r = 1; r <= rounds; ++r) {
        for (const QString &where : qAsConst(platforms)) {
            for (const QString &program : qAsConst(programs)) {
                if (!here.exists(QStringLiteral("bench_linerate_host_") + program))
                    continue;
                for (LineFeed lineFeed : qAsConst(feeds)) {
                    // The bare reader first, then the windows: the earlier build's, if any, and
                    // this one.
                    std::vector<std::unique_ptr<Consumer>> round;
                    QVector<QDir> hosts;
                    if (cli.isSet(QStringLiteral("before")))
                        hosts.append(QDir(cli.value(QStringLiteral("before"))));
                    hosts.append(here);
                    round.push_back(std::make_unique<Consumer>());
                    round.back()->name = QStringLiteral("bare");
                    round.back()->platform = QStringLiteral("-");
                    round.back()->lineFeed = lineFeed;
                    for (const QDir &host : qAsConst(hosts)) {
                        round.push_back(std::make_unique<Consumer>());
                        round.back()->name = program;
                        round.back()->platform = where;
                        round.back()->hostDir = host;
                        round.back()->lineFeed = lineFeed;
                    }
                    for (auto &consumer : round) {
                        if (!start(*consumer))
                            return 1;
                    }
                    const QString loadBefore = loadAverage();
                    const double measured = measure(round, warmup, seconds);
                    const Consumer &bare = *round.front();
                    const double bareShare = (bare.cpu[1] - bare.cpu[0]) / measured;
                    for (std::size_t i = 1; i < round.size(); ++i) {
                        const Consumer &window = *round.at(i);
                        const double share = (window.cpu[1] - window.cpu[0]) / measured;
                        const double xShare = (window.xCpu[1] - window.xCpu[0]) / measured;
                        const double multiple = bareShare > 0 ? share / bareShare : 0.0;
                        const double multipleWithX
                            = bareShare > 0 ? (share + xShare) / bareShare : 0.0;
                        // Frames over the whole stream, warm-up included.
                        const double frames
                            = window.count.section(' ', 3, 3).toDouble() / (warmup + measured);
                        const QString name = i + 1 < round.size()
                            ? program + QStringLiteral(" (before)")
                            : program;
                        const QString key
                            = QStringLiteral("%1 %2 %3")
                                  .arg(name, QLatin1String(lineFeedName(lineFeed)), where);
                        if (!multiples.count(key))
                            order.append(key);
                        multiples[key].append(multiple);
                        if (window.xserver)
                            withX[key].append(multipleWithX);
                        std::printf(
                            "%5d %-24s %-9s %-9s %6.2f %6.2f %6.2f %6s %6s %7.1f  %s, %s\n", r,
                            qPrintable(name), lineFeedName(lineFeed), qPrintable(where),
                            100 * share, 100 * bareShare, multiple,
                            window.xserver ? qPrintable(QString::number(100 * xShare, 'f', 2))
                                           : "-",
                            window.xserver ? qPrintable(QString::number(multipleWithX, 'f', 2))
                                           : "-",
                            frames, qPrintable(loadBefore), qPrintable(loadAverage()));
                    }
                    std::fflush(stdout);
                }
            }
        }
    }

    std::printf("\nMedian over the rounds: the window's multiple of the bare reader (with its X "
                "server under Xvfb).\n\n");
    std::printf("%-24s %-9s %-9s %6s %6s %6s\n", "program", "feed", "platform", "x bare", "+X x",
                "rounds");
    for (const QString &key : qAsConst(order)) {
        QStringList parts = key.split(' ');
        const QString where = parts.takeLast();
        const QString feed = parts.takeLast();
        const QVector<double> &x = withX[key];
        std::printf("%-24s %-9s %-9s %6.2f %6s %6d\n", qPrintable(parts.join(' ')),
                    qPrintable(feed), qPrintable(where), median(multiples[key]),
                    x.isEmpty() ? "-" : qPrintable(QString::number(median(x), 'f', 2)),
                    int(multiples[key].size()));
    }
    return 0;
}
