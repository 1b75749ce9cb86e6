#pragma once

#include "qc/qcrun.h"

#include <QDateTime>
#include <QDialog>
#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

class QStringListModel;
class QTimer;

namespace Ui {
class QcDialog;
}

// Runs one quality-check test at a time on the frames it is handed and shows the verdict. The
// program it belongs to is fixed when the library is built (envqcdialog or envqcdialog_qc).
class QcDialog : public QDialog
{
    Q_OBJECT

public:
    // `planFolder`: where the plan is looked for first, the folder of the program's own files.
    explicit QcDialog(const QString &planFolder, QWidget *parent = nullptr);
    ~QcDialog() override;

    // The clocks the dialog reads: the counting window runs on one that never steps, the
    // record's time comes from the wall clock.
    struct Clocks
    {
        std::function<qint64()> steadyMs = qcSteadyMs;
        std::function<QDateTime()> wall = [] { return QDateTime::currentDateTime(); };
    };
    void setClocks(Clocks clocks) { clocks_ = std::move(clocks); }

    const QcCheck &check() const { return run->check(); }
    // Who judges and on which port, for the test records; until set, the dialog's own rules
    // name the program and the source is empty.
    void setRecordSource(Deliverable program, const QString &port);

private slots:
    void on_closeButton_pressed();
    void on_startButton_pressed();
    void frameDone(QList<short> frame);
    // The bytes read from the port, handed in before the frames they end: those of the counting
    // window make the run's capture.
    void moduleBytes(const QByteArray &bytes);
    void checkQc();

private:
    // The list after a verdict: the failures, then what became of the record.
    void showOutcome(const QcRun::Outcome &outcome);
    // Counts the run's attempt on a worker thread when the log's index could not at Start.
    void countAttemptOffThread();
    void attemptCounted(quint64 generation, int earlierRuns);
    // Appends the record; false and the list says why when it cannot.
    void keepRecord(QcRun::Outcome &outcome);

    Ui::QcDialog *ui;
    QStringListModel *model;
    QStringList messages;
    std::unique_ptr<QcRun> run;
    Clocks clocks_;
    // One timer for the pending judgement: a new Start restarts it, so a run is judged only at
    // its own time and never on the counts of a later run.
    QTimer *judgeTimer;
    // Which Start an attempt being counted off the thread belongs to.
    quint64 attemptGeneration_ = 0;
    // A verdict whose record waits for its attempt.
    std::optional<QcRun::Outcome> waitingForAttempt_;
};

// Registers the frame type under the name the signal-string connections use.
void registerQcFrameType();
