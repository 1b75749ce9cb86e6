#include "qc/qcdialog.h"

#include "qc/qcplan.h"

#include QC_FORM_HEADER

#include <QDateTime>
#include <QMetaType>
#include <QStringListModel>
#include <QTimer>

#include <cstdio>

namespace {

constexpr Deliverable deliverable = QC_DELIVERABLE;

} // namespace

void registerQcFrameType()
{
    qRegisterMetaType<QList<short>>("QList<short>");
}

QcDialog::QcDialog(const QString &planFolder, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::QcDialog)
    , model(nullptr)
    , judgeTimer(nullptr)
{
    registerQcFrameType();
    ui->setupUi(this);

    // Read once per dialog: an edited plan takes effect in the next dialog.
    const QcPlanFile planFile = findQcPlan(planFolder);
    if (planFile.path.isEmpty())
        std::fputs("fail to open QC json config\n", stderr);
    else if (!planFile.problem.isEmpty())
        std::fputs(qPrintable(QLatin1String(deliverableName(deliverable)) + QLatin1String(": ")
                              + planFile.problem + QLatin1Char('\n')),
                   stderr);
    run = std::make_unique<QcRun>(deliverable, planFile);
    const QcRecordSettings settings = readQcRecordSettings();
    if (!settings.problem.isEmpty())
        std::fputs(qPrintable(settings.problem + QLatin1Char('\n')), stderr);
    run->setCaptureKeeping(settings.captures, qcCapturesDir());
    run->recorder().setProgram(QLatin1String(deliverableName(deliverable)), deliverable);
    for (const QcType &type : run->check().plan())
        ui->qcTypeBox->addItem(type.label);

    model = new QStringListModel(this);
    model->setStringList(messages);
    ui->rangeListView->setModel(model);

    judgeTimer = new QTimer(this);
    judgeTimer->setSingleShot(true);
    // A coarse timer may fire up to 5% early, judging before the counting window has closed.
    judgeTimer->setTimerType(Qt::PreciseTimer);
    connect(judgeTimer, SIGNAL(timeout()), this, SLOT(checkQc()));
}

QcDialog::~QcDialog()
{
    delete ui;
}

void QcDialog::setRecordSource(Deliverable program, const QString &port)
{
    run->recorder().setProgram(QLatin1String(deliverableName(program)), program);
    run->recorder().setSource(port);
}

void QcDialog::on_closeButton_pressed()
{
    close();
}

void QcDialog::on_startButton_pressed()
{
    judgeTimer->stop();
    // The run this Start cancels keeps nothing.
    run->cancel();

    ui->durationLabel->clear();
    ui->expFrameLabel->clear();
    ui->yMinLabel->clear();
    ui->yMaxLabel->clear();
    ui->xLabel->clear();
    ui->passLabel->clear();
    // The previous run's count would read as this run's until its first frame.
    ui->frameLabel->clear();
    messages.clear();
    model->setStringList(messages);
    ui->rangeListView->setModel(model);

    // Without a test type to run there is nothing to judge: no verdict, no record, and the list
    // says why.
    const QString label = ui->qcTypeBox->currentText();
    const QString problem = run->problem(label);
    if (!problem.isEmpty()) {
        messages = QStringList {problem};
        model->setStringList(messages);
        return;
    }
    const QcStart start = run->start(label, clocks_.steadyMs());
    ui->durationLabel->setText(start.duration);
    ui->expFrameLabel->setText(start.expFrames);
    ui->yMinLabel->setText(start.yMin);
    ui->yMaxLabel->setText(start.yMax);
    ui->xLabel->setText(start.ranges);
    ui->passLabel->setText(start.verdict);
    if (!start.judgeAfterMs)
        return;
    judgeTimer->start(*start.judgeAfterMs);
}

void QcDialog::moduleBytes(const QByteArray &bytes)
{
    run->addBytes(bytes.constData(), bytes.size(), clocks_.steadyMs());
}

void QcDialog::frameDone(QList<short> frame)
{
    if (run->addFrame(frame, clocks_.steadyMs()))
        ui->frameLabel->setText(QString::number(run->check().run().frameCount));
}

void QcDialog::checkQc()
{
    const QcRun::Outcome outcome = run->finish(clocks_.wall());
    messages = outcome.verdict.messages;
    model->setStringList(messages);
    ui->passLabel->setText(outcome.verdict.text);
    for (const QString &problem : {outcome.captureProblem, outcome.recordProblem}) {
        if (!problem.isEmpty())
            std::fputs(qPrintable(run->recorder().program() + QLatin1String(": ") + problem
                                  + QLatin1Char('\n')),
                       stderr);
    }
    // An operator started from a menu never sees standard error; the verdict stands.
    if (!outcome.recordProblem.isEmpty()) {
        messages << QStringLiteral("The test record was not kept: ") + outcome.recordProblem;
        model->setStringList(messages);
    }
}
