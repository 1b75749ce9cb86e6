#include "qc/qcdialog.h"

#include "qc/qcplan.h"

#include QC_FORM_HEADER

#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QMetaType>
#include <QPointer>
#include <QStringListModel>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstdio>

namespace {

constexpr Deliverable deliverable = QC_DELIVERABLE;

// A barcode reader types the serial and presses Enter: that Enter starts the run, and goes no
// further, where the dialog would press its default button.
class EnterStarts : public QObject
{
public:
    EnterStarts(QObject *parent, std::function<void()> start)
        : QObject(parent)
        , start_(std::move(start))
    {
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                start_();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> start_;
};

// Brings the log's attempt index up to date off the GUI thread, one update at a time.
void refreshAttemptIndex(const QString &log)
{
    static std::atomic<bool> busy {false};
    if (busy.exchange(true))
        return;
    QThreadPool::globalInstance()->start([log] {
        QcAttemptIndex(log).update();
        busy = false;
    });
}

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
    const QcStationSettings station = readQcStationSettings();
    if (!station.problem.isEmpty())
        std::fputs(qPrintable(station.problem + QLatin1Char('\n')), stderr);
    run->recorder().setStation(station.name, station.fixture, station.operatorName);
    run->setRequireSerial(station.requireSerial);
    ui->serialEdit->installEventFilter(
        new EnterStarts(ui->serialEdit, [this] { on_startButton_pressed(); }));
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
    // A verdict is never without its record: one still waiting for its attempt goes without it.
    if (waitingForAttempt_)
        keepRecord(*waitingForAttempt_);
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
    // The run this Start cancels keeps nothing; a verdict still waiting for its attempt is kept
    // without it.
    run->cancel();
    ++attemptGeneration_;
    if (waitingForAttempt_) {
        keepRecord(*waitingForAttempt_);
        waitingForAttempt_.reset();
    }

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
    run->recorder().setSerial(ui->serialEdit->text());
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
    if (run->attemptPending())
        countAttemptOffThread();
    judgeTimer->start(*start.judgeAfterMs);
}

void QcDialog::countAttemptOffThread()
{
    const quint64 generation = attemptGeneration_;
    const QString log = run->recorder().log();
    const QcAttemptKey key = run->attemptKey();
    const QPointer<QcDialog> self(this);
    QThreadPool::globalInstance()->start([=] {
        const int earlier = QcAttemptIndex(log).runsUpdating(key);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [=] {
                if (self)
                    self->attemptCounted(generation, earlier);
            },
            Qt::QueuedConnection);
    });
}

void QcDialog::attemptCounted(quint64 generation, int earlierRuns)
{
    if (generation != attemptGeneration_)
        return;
    if (!waitingForAttempt_) {
        run->setEarlierRuns(earlierRuns);
        return;
    }
    QcRun::Outcome outcome = std::move(*waitingForAttempt_);
    waitingForAttempt_.reset();
    outcome.record.attempt = earlierRuns + 1;
    keepRecord(outcome);
    showOutcome(outcome);
}

void QcDialog::keepRecord(QcRun::Outcome &outcome)
{
    if (run->recorder().append(outcome.record.toJson(), &outcome.recordProblem))
        return;
    std::fputs(qPrintable(run->recorder().program() + QLatin1String(": ") + outcome.recordProblem
                          + QLatin1Char('\n')),
               stderr);
}

void QcDialog::showOutcome(const QcRun::Outcome &outcome)
{
    messages = outcome.verdict.messages;
    // An operator started from a menu never sees standard error; the verdict stands.
    if (!outcome.recordProblem.isEmpty())
        messages << QStringLiteral("The test record was not kept: ") + outcome.recordProblem;
    else
        messages << qcRecordSummary(outcome.record);
    model->setStringList(messages);
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
    // The verdict shows at once; a record whose attempt is still being counted waits for it.
    const bool waiting = run->attemptPending();
    QcRun::Outcome outcome = run->finish(clocks_.wall(), !waiting);
    ui->passLabel->setText(outcome.verdict.text);
    // The next scan replaces this board's serial.
    ui->serialEdit->selectAll();
    for (const QString &problem : {outcome.captureProblem, outcome.recordProblem}) {
        if (!problem.isEmpty())
            std::fputs(qPrintable(run->recorder().program() + QLatin1String(": ") + problem
                                  + QLatin1Char('\n')),
                       stderr);
    }
    if (waiting) {
        messages = outcome.verdict.messages;
        model->setStringList(messages);
        waitingForAttempt_ = std::move(outcome);
        return;
    }
    showOutcome(outcome);
    if (outcome.recordProblem.isEmpty() && QcAttemptIndex(run->recorder().log()).lags())
        refreshAttemptIndex(run->recorder().log());
}
