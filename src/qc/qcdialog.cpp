#include "qc/qcdialog.h"

#include "qc/apppath.h"
#include "qc/qcfiles.h"
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

QcDialog::QcDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::QcDialog)
    , model(nullptr)
    , qc(deliverable)
    , judgeTimer(nullptr)
{
    registerQcFrameType();
    ui->setupUi(this);

    // Read once per dialog: an edited plan takes effect in the next dialog.
    planFile = findQcPlan(qcConfigDir(appPath));
    if (planFile.path.isEmpty())
        std::fputs("fail to open QC json config\n", stderr);
    else if (!planFile.problem.isEmpty())
        std::fputs(qPrintable(QLatin1String(deliverableName(deliverable)) + QLatin1String(": ")
                              + planFile.problem + QLatin1Char('\n')),
                   stderr);
    qc = QcCheck(deliverable, parseQcDocument(planFile.bytes, qcRules(deliverable).additions));
    recorder.setPlan(planFile.path, planFile.bytes);
    const QcRecordSettings settings = readQcRecordSettings();
    if (!settings.problem.isEmpty())
        std::fputs(qPrintable(settings.problem + QLatin1Char('\n')), stderr);
    captureKeeping = settings.captures;
    recorder.setProgram(QLatin1String(deliverableName(deliverable)), deliverable);
    for (const QcType &type : qc.plan())
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
    recorder.setProgram(QLatin1String(deliverableName(program)), program);
    recorder.setSource(port);
}

void QcDialog::on_closeButton_pressed()
{
    close();
}

void QcDialog::on_startButton_pressed()
{
    judgeTimer->stop();
    // The run this Start cancels keeps nothing.
    capture.discard();

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
    const QString problem = qcSelectionProblem(planFile, qc.plan(), label);
    if (!problem.isEmpty()) {
        messages = QStringList {problem};
        model->setStringList(messages);
        return;
    }
    const QcStart start = qc.start(label, clocks_.steadyMs());
    ui->durationLabel->setText(start.duration);
    ui->expFrameLabel->setText(start.expFrames);
    ui->yMinLabel->setText(start.yMin);
    ui->yMaxLabel->setText(start.yMax);
    ui->xLabel->setText(start.ranges);
    ui->passLabel->setText(start.verdict);
    if (!start.judgeAfterMs)
        return;
    judgeTimer->start(*start.judgeAfterMs);
    // Written from the start whatever the verdict will be: an hour's test costs no memory. A
    // capture that cannot be made says why at the verdict, if the run was to keep it.
    if (captureKeeping != QcCaptureKeeping::None)
        capture.open(qcCapturesDir());
}

void QcDialog::moduleBytes(const QByteArray &bytes)
{
    if (capture.isOpen() && qc.deadline() && clocks_.steadyMs() <= *qc.deadline())
        capture.add(bytes);
}

void QcDialog::frameDone(QList<short> frame)
{
    if (qc.addFrame(frame, clocks_.steadyMs()))
        ui->frameLabel->setText(QString::number(qc.run().frameCount));
}

void QcDialog::checkQc()
{
    const QcVerdict verdict = qc.judge();
    messages = verdict.messages;
    model->setStringList(messages);
    ui->passLabel->setText(verdict.text);

    QcRecord record = recorder.judgement(qc, verdict, clocks_.wall());
    if (qcKeepsCapture(captureKeeping, verdict.passed)) {
        record.capture = capture.keep(QcCaptureFile::pathFor(qcCapturesDir(), record.id));
        // The verdict and its record stand without it.
        if (!record.capture)
            std::fputs(qPrintable(recorder.program() + QLatin1String(": ") + capture.error()
                                  + QLatin1Char('\n')),
                       stderr);
    }
    capture.discard();

    QString error;
    if (!recorder.append(record.toJson(), &error)) {
        std::fputs(qPrintable(recorder.program() + QLatin1String(": ") + error + QLatin1Char('\n')),
                   stderr);
        // An operator started from a menu never sees standard error; the verdict stands.
        messages << QStringLiteral("The test record was not kept: ") + error;
        model->setStringList(messages);
    }
}
