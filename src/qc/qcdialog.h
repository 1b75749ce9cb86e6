#pragma once

#include "qc/qccheck.h"
#include "qc/qcrecord.h"

#include <QDialog>
#include <QList>
#include <QStringList>

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
    explicit QcDialog(QWidget *parent = nullptr);
    ~QcDialog() override;

    const QcCheck &check() const { return qc; }
    // Who judges and on which port, for the test records; until set, the dialog's own rules
    // name the program and the source is empty.
    void setRecordSource(Deliverable program, const QString &port);

private slots:
    void on_closeButton_pressed();
    void on_startButton_pressed();
    void frameDone(QList<short> frame);
    void checkQc();

private:
    Ui::QcDialog *ui;
    QStringListModel *model;
    QStringList messages;
    QcCheck qc;
    QcRecorder recorder;
    // One timer for the pending judgement: a new Start restarts it, so a run is judged only at
    // its own time and never on the counts of a later run.
    QTimer *judgeTimer;
};

// Registers the frame type under the name the signal-string connections use.
void registerQcFrameType();
