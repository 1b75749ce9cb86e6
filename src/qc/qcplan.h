#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One channel's requirement in a test type: the X window, the good samples it must reach and the
// additions to the test type's Y window. Values are kept exactly as read.
struct QcRange
{
    double index = 0;
    double count = 0;
    double min = 0;
    double max = 0;
    double minAdd = 0;
    double maxAdd = 0;
};

// One test type of the plan, in file order.
struct QcType
{
    QString label;
    double duration = 0;
    double frames = 0;
    double yMin = 0;
    double yMax = 0;
    QList<QcRange> ranges;
};

bool operator==(const QcRange &a, const QcRange &b);
inline bool operator!=(const QcRange &a, const QcRange &b)
{
    return !(a == b);
}
bool operator==(const QcType &a, const QcType &b);
inline bool operator!=(const QcType &a, const QcType &b)
{
    return !(a == b);
}

// Whether the ranges' "minadd" and "maxadd" keys are read or left at 0.
enum class QcAdditions { Read, Ignore };

// Converts a plan document. Never fails: what does not parse, or is not an array at the top,
// gives an empty plan; missing or mistyped keys give their defaults.
QList<QcType> parseQcDocument(const QByteArray &document,
                              QcAdditions additions = QcAdditions::Read);

// The folder beside a program started by `programPath`, where its plan is looked for first: the
// directory part of the path, made absolute against the current working directory; for a bare
// name (found on the PATH), the folder that holds the running program.
QString qcConfigDir(const QString &programPath);
