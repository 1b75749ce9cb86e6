#pragma once

#include "qc/qccheck.h"
#include "qc/qcplan.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

// Catches what is written to the process's standard error while it lives, through a real file
// that takes the place of descriptor 2.
class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        saved = ::dup(STDERR_FILENO);
        file = std::tmpfile();
        if (file)
            ::dup2(::fileno(file), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    QByteArray text()
    {
        restore();
        return captured;
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        saved = -1;
        if (file) {
            std::rewind(file);
            char buffer[512];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                captured.append(buffer, static_cast<int>(n));
            std::fclose(file);
            file = nullptr;
        }
    }

    int saved = -1;
    std::FILE *file = nullptr;
    QByteArray captured;
};

// Changes the working directory for a scope.
class WorkingDirectory
{
public:
    explicit WorkingDirectory(const QString &dir)
        : previous(QDir::currentPath())
    {
        QDir::setCurrent(dir);
    }
    ~WorkingDirectory() { QDir::setCurrent(previous); }

private:
    QString previous;
};

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// The test records of a results log, one per line; a line that is no JSON object reads as an
// empty object.
inline QList<QJsonObject> readRecords(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> records;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                records << QJsonDocument::fromJson(line).object();
        }
    }
    return records;
}

// A frame whose every point is (y, x).
inline QList<short> uniformFrame(short y, short x)
{
    QList<short> frame;
    for (int i = 0; i < qcChannelCount; ++i)
        frame << y << x;
    return frame;
}

// A frame of points (0, 0) but for channel `channel`.
inline QList<short> channelFrame(int channel, short y, short x)
{
    QList<short> frame = uniformFrame(0, 0);
    frame[2 * channel] = y;
    frame[2 * channel + 1] = x;
    return frame;
}

// The plan in one line, every number exact, so that a mismatch shows where it lies.
inline QString describePlan(const QList<QcType> &plan)
{
    const auto n = [](double v) { return QString::number(v, 'g', 17); };
    QStringList types;
    for (const QcType &t : plan) {
        QString text = QStringLiteral("%1|%2|%3|%4|%5|")
                           .arg(t.label, n(t.duration), n(t.frames), n(t.yMin), n(t.yMax));
        for (const QcRange &r : t.ranges)
            text += QStringLiteral("[%1 %2 %3 %4 %5 %6]")
                        .arg(n(r.index), n(r.count), n(r.min), n(r.max), n(r.minAdd), n(r.maxAdd));
        types << text;
    }
    return types.join(QLatin1Char('\n'));
}
