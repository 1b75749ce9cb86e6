// The dialog as the operator sees it, built once with the viewer's form and rules and once with
// the qc program's (QC_TEST_QC).
#include "qc/qcdialog.h"
#include "qctestsupport.h"
#include "records/attemptindex.h"
#include "support/temporaryxdg.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#ifdef QC_TEST_QC
constexpr Deliverable deliverable = Deliverable::Qc;
#else
constexpr Deliverable deliverable = Deliverable::Viewer;
#endif
constexpr int shown = deliverable == Deliverable::Qc ? 0 : 1;

// Stands in for the main window: announces frames through the same signal.
class FrameSource : public QObject
{
    Q_OBJECT
public:
    int listeners() const { return receivers(SIGNAL(frameDone(QList<short>))); }
signals:
    void frameDone(QList<short> frame);
};

// Renders one source text of the dialog's context differently, to show which texts are
// translated and under which context.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (QByteArray(context) == "QcDialog")
            return QStringLiteral("<%1>").arg(QString::fromUtf8(sourceText));
        return QString();
    }
    bool isEmpty() const override { return false; }
};

class TestQcDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void inventory_data();
    void inventory();
    void dialogProperties();
    void textsAreTranslated();
    void freshDialogWithoutPlan();
    void shortRun_data();
    void shortRun();
    void noTestTypeNoVerdict_data();
    void noTestTypeNoVerdict();
    void countsOnTheSteadyClock();
    void restartCancelsEarlierJudgement();
    void unwritableLogKeepsVerdict_data();
    void unwritableLogKeepsVerdict();
    void planReadOncePerDialog();
    void closeDestroysWhenAskedTo();
    void scannerStartsRun_data();
    void scannerStartsRun();
    void serialFieldCoversNothing();
    void attemptCountedOffTheGuiThread();

private:
    QcDialog *openDialog(const QByteArray &plan);
    template<typename T>
    T *child(const char *name)
    {
        T *widget = dialog->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QString text(const char *label) { return child<QLabel>(label)->text(); }
    QStringList listed()
    {
        QStringList rows;
        QAbstractItemModel *model = child<QListView>("rangeListView")->model();
        for (int r = 0; r < model->rowCount(); ++r)
            rows << model->index(r, 0).data().toString();
        return rows;
    }
    void press(const char *button)
    {
        QTest::mousePress(child<QPushButton>(button), Qt::LeftButton);
        QTest::mouseRelease(child<QPushButton>(button), Qt::LeftButton);
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TemporaryXdg> xdg;
    QPointer<QcDialog> dialog;
    FrameSource source;
};

void TestQcDialog::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    xdg = std::make_unique<TemporaryXdg>();
}

void TestQcDialog::cleanup()
{
    delete dialog;
    dir.reset();
    xdg.reset();
}

QcDialog *TestQcDialog::openDialog(const QByteArray &plan)
{
    if (!plan.isNull() && !writeFile(dir->filePath("qc.json"), plan))
        return nullptr;
    dialog = new QcDialog(dir->path());
    // As the main window connects it: by signature string.
    if (!QObject::connect(&source, SIGNAL(frameDone(QList<short>)), dialog,
                          SLOT(frameDone(QList<short>))))
        return nullptr;
    dialog->show();
    return dialog;
}

void TestQcDialog::inventory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pointSize"); // 0: the default font
    QTest::addColumn<QString>("text");

    const bool qc = deliverable == Deliverable::Qc;
    const auto row
        = [](const char *name, const char *cls, QRect geometry, int pt, const char *text) {
              QTest::newRow(name) << name << cls << geometry << pt << text;
          };
    row("closeButton", "QPushButton", qc ? QRect(560, 570, 75, 23) : QRect(640, 10, 75, 23), 0,
        "Close");
    row("qcTypeBox", "QComboBox", QRect(10, 10, 151, 22), 0, "");
    row("startButton", "QPushButton", QRect(190, 10, 75, 23), 0, "Start");
    row("label", "QLabel", QRect(20, 60, 81, 21), 16, "Duration:");
    row("label_2", "QLabel", QRect(20, 100, 71, 21), 16, "Frames:");
    row("label_3", "QLabel", QRect(20, 140, 71, 21), 16, "Y Min:");
    row("label_4", "QLabel", QRect(330, 140, 71, 21), 16, "Y Max:");
    row("label_5", "QLabel", QRect(20, 180, 47, 21), 16, "X:");
    row("durationLabel", "QLabel", QRect(110, 56, 101, 31), 16, "");
    row("expFrameLabel", "QLabel", qc ? QRect(110, 96, 161, 31) : QRect(110, 96, 81, 31), 16, "");
    row("yMinLabel", "QLabel", QRect(90, 136, 221, 31), 16, "");
    row("yMaxLabel", "QLabel", QRect(400, 136, 221, 31), 16, "");
    row("xLabel", "QLabel", qc ? QRect(50, 176, 561, 31) : QRect(50, 176, 671, 31), qc ? 16 : 12,
        "");
    row("passLabel", "QLabel", qc ? QRect(280, 50, 101, 31) : QRect(360, 30, 231, 71), qc ? 16 : 28,
        "");
    row("frameLabel", "QLabel", qc ? QRect(240, 97, 101, 31) : QRect(200, 95, 101, 31), 16, "");
    row("rangeListView", "QListView", qc ? QRect(40, 210, 591, 351) : QRect(40, 210, 671, 201), 16,
        "");
    // Added beside the form, right of Start and above the verdict.
    row("serialLabel", "QLabel", qc ? QRect(271, 10, 54, 22) : QRect(271, 8, 54, 21), 0, "Serial:");
    row("serialEdit", "QLineEdit", qc ? QRect(328, 10, 297, 22) : QRect(328, 8, 287, 21), 0, "");
}

void TestQcDialog::inventory()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(int, pointSize);
    QFETCH(QString, text);

    QVERIFY(openDialog("[]"));
    // The form's widgets come first among the dialog's children, then the list's model.
    QList<QWidget *> widgets;
    const QObjectList children = dialog->children();
    for (QObject *object : children) {
        if (object->isWidgetType())
            widgets << static_cast<QWidget *>(object);
    }
    QCOMPARE(widgets.size(), 18);
    QCOMPARE(children.mid(0, 18), (QObjectList(widgets.begin(), widgets.end())));
    QVERIFY(qobject_cast<QStringListModel *>(children.value(18)));
    QCOMPARE(child<QListView>("rangeListView")->model(), children.value(18));
    // Created in table order: the row's place among the dialog's widget children.
    static const QStringList order {
        "closeButton", "qcTypeBox", "startButton",   "label",         "label_2",     "label_3",
        "label_4",     "label_5",   "durationLabel", "expFrameLabel", "yMinLabel",   "yMaxLabel",
        "xLabel",      "passLabel", "frameLabel",    "rangeListView", "serialLabel", "serialEdit"};
    const int place = order.indexOf(name);
    QWidget *widget = widgets.value(place);
    QVERIFY(widget);
    QCOMPARE(widget->objectName(), name);
    QCOMPARE(QString(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    if (pointSize == 0) {
        QVERIFY(!widget->testAttribute(Qt::WA_SetFont));
    } else {
        QVERIFY(widget->testAttribute(Qt::WA_SetFont));
        QCOMPARE(widget->font().pointSize(), pointSize);
    }
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    QCOMPARE(widget->styleSheet(), name == "passLabel" ? QStringLiteral("color: #f00") : QString());
}

void TestQcDialog::dialogProperties()
{
    QVERIFY(openDialog("[]"));
    QCOMPARE(dialog->objectName(), QStringLiteral("QcDialog"));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(dialog->size(), deliverable == Deliverable::Qc ? QSize(650, 606) : QSize(740, 422));
    QVERIFY(dialog->windowFlags().testFlag(Qt::Dialog));
    QVERIFY(!child<QComboBox>("qcTypeBox")->isEditable());

    // The slots, in their order, reachable by the signatures the connections use.
    const QMetaObject *meta = dialog->metaObject();
    QStringList slotList;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Slot)
            slotList << QString(meta->method(i).methodSignature());
    }
    QCOMPARE(slotList,
             (QStringList {"on_closeButton_pressed()", "on_startButton_pressed()",
                           "frameDone(QList<short>)", "moduleBytes(QByteArray)", "checkQc()"}));
    QVERIFY(QMetaType::type("QList<short>") != QMetaType::UnknownType);
}

void TestQcDialog::textsAreTranslated()
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    QVERIFY(openDialog("[]"));
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("<Dialog>"));
    QCOMPARE(child<QPushButton>("startButton")->text(), QStringLiteral("<Start>"));
    QCOMPARE(child<QPushButton>("closeButton")->text(), QStringLiteral("<Close>"));
    QCOMPARE(text("label_3"), QStringLiteral("<Y Min:>"));
}

void TestQcDialog::freshDialogWithoutPlan()
{
    StderrCapture err;
    QVERIFY(openDialog(QByteArray()));
    QCOMPARE(err.text(), QByteArray("fail to open QC json config\n"));
    QCOMPARE(child<QComboBox>("qcTypeBox")->count(), 0);
    for (const char *label : {"durationLabel", "expFrameLabel", "yMinLabel", "yMaxLabel", "xLabel",
                              "passLabel", "frameLabel"})
        QCOMPARE(text(label), QString());
    QCOMPARE(listed(), QStringList());
    // Frames before the first Start change nothing, not even the frame count.
    emit source.frameDone(uniformFrame(0, 0));
    QCOMPARE(text("frameLabel"), QString());
    QCOMPARE(dialog->check().run().frameCount, 0);
}

void TestQcDialog::shortRun_data()
{
    QTest::addColumn<int>("goodFrames");
    QTest::addColumn<int>("badFrames");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QStringList>("messages");

    const QString ch = QString::number(shown);
    const QString ch26 = QString::number(26 + shown);
    QTest::newRow("pass") << 3 << 0 << "Pass" << QStringList();
    QTest::newRow("pass exactly at the counts") << 2 << 0 << "Pass" << QStringList();
    QTest::newRow("too few frames")
        << 1 << 0 << "Fail"
        << QStringList {"Frame Count Fail",
                        "Sample Count Fail : " + ch + " [-100, 100], need: 2, got: 1",
                        "Sample Count Fail : " + ch26 + " [-80, 80], need: 2, got: 1"};
    // X = 90 lies inside channel 0's window only; the viewer takes the bad samples away.
    QTest::newRow("bad samples") << 1 << 2 << "Fail"
                                 << QStringList {"Sample Count Fail : " + ch26
                                                 + " [-80, 80], need: 2, got: "
                                                 + (deliverable == Deliverable::Qc ? "1" : "0")};
}

void TestQcDialog::shortRun()
{
    QFETCH(int, goodFrames);
    QFETCH(int, badFrames);
    QFETCH(QString, verdict);
    QFETCH(QStringList, messages);

    // Under a second the verdict comes at the next turn of the event loop; frames keep counting
    // until the exact duration.
    QVERIFY(openDialog(R"([{"label": "Other", "duration": 5, "frames": 99},
        {"label": "Quick", "duration": 0.4, "frames": 2, "y": {"min": 200, "max": 1500},
         "x": [{"index": 0, "count": 2, "min": -100, "max": 100},
               {"index": 26, "count": 2, "min": -80, "max": 80, "minadd": 50, "maxadd": -50}]}])"));
    QComboBox *box = child<QComboBox>("qcTypeBox");
    QCOMPARE(box->count(), 2);
    box->setCurrentIndex(1);

    press("startButton");
    QCOMPARE(text("passLabel"), QStringLiteral("Testing"));
    QCOMPARE(text("durationLabel"), QStringLiteral("0"));
    QCOMPARE(text("expFrameLabel"), QStringLiteral("2"));
    QCOMPARE(text("yMinLabel"), QStringLiteral("200"));
    QCOMPARE(text("yMaxLabel"), QStringLiteral("1500"));
    QCOMPARE(text("xLabel"),
             QStringLiteral("%1 [-100, 100] (2), %2 [-80, 80] (2)").arg(shown).arg(26 + shown));
    QCOMPARE(text("frameLabel"), QString());

    for (int i = 0; i < goodFrames; ++i)
        emit source.frameDone(uniformFrame(300, 0));
    for (int i = 0; i < badFrames; ++i)
        emit source.frameDone(uniformFrame(300, 90));
    emit source.frameDone(QList<short>(uniformFrame(300, 0)).mid(2)); // 52 samples: ignored
    const int counted = goodFrames + badFrames;
    QCOMPARE(text("frameLabel"), QString::number(counted));

    QTRY_COMPARE(text("passLabel"), verdict);
    // The failures, then the record kept.
    const QList<QJsonObject> records = readRecords(xdg->log());
    QCOMPARE(records.size(), 1);
    QStringList kept {"record " + records.first().value("id").toString()};
    if (records.first().value("capture").isObject())
        kept << "capture " + records.first().value("capture").toObject().value("path").toString();
    QCOMPARE(listed(), messages + kept);

    // Judged, but still counting until the deadline, without a new verdict.
    const qint64 deadline = dialog->check().deadline().value_or(0);
    if (qcSteadyMs() < deadline - 100) {
        emit source.frameDone(uniformFrame(300, 0));
        QCOMPARE(text("frameLabel"), QString::number(counted + 1));
        QCOMPARE(text("passLabel"), verdict);
    }
    QTRY_VERIFY(qcSteadyMs() > deadline);
    const QString before = text("frameLabel");
    emit source.frameDone(uniformFrame(300, 0));
    QCOMPARE(text("frameLabel"), before);
    QCOMPARE(listed().mid(0, messages.size()), messages);
}

void TestQcDialog::noTestTypeNoVerdict_data()
{
    // A null plan is no file at all; the line in the list says why nothing is judged.
    QTest::addColumn<QByteArray>("plan");
    QTest::addColumn<bool>("chooseNone");
    QTest::addColumn<QString>("why"); // "%plan" stands for the plan's path
    QTest::addColumn<QString>("stderrLine");

    const QString prefix = QStringLiteral("%1: ").arg(deliverableName(deliverable));
    QTest::newRow("no plan") << QByteArray() << false
                             << "fail to open QC json config (looked for %plan, "
                             << "fail to open QC json config";
    QTest::newRow("not JSON") << QByteArray("[\n  {\"label\": \"A\",,}\n]") << false
                              << "%plan is not JSON: unterminated object at line 2, column 18"
                              << prefix
            + "%plan is not JSON: unterminated object at line 2, column 18";
    QTest::newRow("not an array") << QByteArray(R"({"label": "A"})") << false
                                  << "%plan is not a plan: its top level is not an array"
                                  << prefix + "%plan is not a plan: its top level is not an array";
    QTest::newRow("empty") << QByteArray("[]") << false << "%plan holds no test type"
                           << prefix + "%plan holds no test type";
    QTest::newRow("none chosen") << QByteArray(R"([{"label": "A"}])") << true
                                 << "no test type is chosen"
                                 << "";
}

void TestQcDialog::noTestTypeNoVerdict()
{
    QFETCH(QByteArray, plan);
    QFETCH(bool, chooseNone);
    QFETCH(QString, why);
    QFETCH(QString, stderrLine);

    const QString planPath = dir->filePath("qc.json");
    StderrCapture err;
    QVERIFY(openDialog(plan));
    QCOMPARE(QString::fromUtf8(err.text()).trimmed(),
             QString(stderrLine).replace("%plan", planPath));
    if (chooseNone)
        child<QComboBox>("qcTypeBox")->setCurrentIndex(-1);
    press("startButton");
    QCOMPARE(text("passLabel"), QString());
    QCOMPARE(listed().size(), 1);
    QVERIFY2(listed().first().startsWith(QString(why).replace("%plan", planPath)),
             qPrintable(listed().first()));
    emit source.frameDone(uniformFrame(0, 0));
    QCOMPARE(text("frameLabel"), QString());
    // No judgement is pending, so no verdict and no record will come.
    QVERIFY(!dialog->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly)->isActive());
    QVERIFY(!QFile::exists(xdg->log()));
}

void TestQcDialog::countsOnTheSteadyClock()
{
    // The wall clock steps (NTP, a changed system time) during the run; the steady clock does
    // not, and only it times the counting window. The record keeps the wall time.
    qint64 steady = 0;
    QDateTime wall = QDateTime::currentDateTime();
    QVERIFY(openDialog(R"([{"label": "A", "duration": 1, "frames": 2}])"));
    dialog->setClocks({[&] { return steady; }, [&] { return wall; }});
    press("startButton");
    const auto frameAt = [&](qint64 ms, qint64 wallStepSeconds) {
        steady = ms;
        wall = wall.addSecs(wallStepSeconds);
        emit source.frameDone(uniformFrame(0, 0));
    };
    frameAt(10, 3600);
    frameAt(999, -7200);
    frameAt(1001, 0); // past the window on the steady clock
    QCOMPARE(text("frameLabel"), QStringLiteral("2"));
    QTRY_COMPARE(text("passLabel"), QStringLiteral("Pass"));
    const QList<QJsonObject> records = readRecords(xdg->log());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("time").toString(), qcRecordTime(wall));
}

void TestQcDialog::restartCancelsEarlierJudgement()
{
    // Two one-second runs, the second started 500 ms into the first: the first run's judgement
    // is due at 1000 ms but must not judge the second run's counts; one verdict at 1500 ms.
    QVERIFY(openDialog(R"([{"label": "A", "duration": 1, "frames": 1},
                           {"label": "B", "duration": 1, "frames": 2}])"));
    press("startButton");
    const qint64 first = qcSteadyMs();
    emit source.frameDone(uniformFrame(0, 0));
    QCOMPARE(text("frameLabel"), QStringLiteral("1"));

    child<QComboBox>("qcTypeBox")->setCurrentIndex(1); // read only by the next Start
    QCOMPARE(text("expFrameLabel"), QStringLiteral("1"));
    QTRY_VERIFY(qcSteadyMs() - first >= 500);
    press("startButton");
    const qint64 second = qcSteadyMs();
    QCOMPARE(text("expFrameLabel"), QStringLiteral("2"));
    QCOMPARE(text("frameLabel"), QString());
    emit source.frameDone(uniformFrame(0, 0));

    QTRY_VERIFY_WITH_TIMEOUT(qcSteadyMs() - first >= 1100, 3000);
    QCOMPARE(text("passLabel"), QStringLiteral("Testing"));
    QCOMPARE(listed(), QStringList());
    emit source.frameDone(uniformFrame(0, 0));

    QTRY_COMPARE_WITH_TIMEOUT(text("passLabel"), QStringLiteral("Pass"), 3000);
    QVERIFY(qcSteadyMs() - second >= 995);
    QCOMPARE(text("frameLabel"), QStringLiteral("2"));
    // The cancelled run left no record.
    const QList<QJsonObject> records = readRecords(xdg->log());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("test").toString(), QStringLiteral("B"));
}

void TestQcDialog::unwritableLogKeepsVerdict_data()
{
    QTest::addColumn<QString>("dataHome"); // relative to the temporary XDG folder
    QTest::addColumn<QString>("reason");
    QTest::newRow("data home is a file") << "plain-file"
                                         << "Not a directory";
    QTest::newRow("log is a folder") << "data"
                                     << "Is a directory";
    // A link planted in the log's place (here to /dev/full) is not written through.
    QTest::newRow("a link in the log's place") << "full"
                                               << "it is a symbolic link";
}

void TestQcDialog::unwritableLogKeepsVerdict()
{
    QFETCH(QString, dataHome);
    QFETCH(QString, reason);
    QVERIFY(writeFile(xdg->path("plain-file"), "x"));
    QVERIFY(QDir().mkpath(xdg->log()));
    QVERIFY(QDir().mkpath(xdg->path("full/envviewer")));
    QVERIFY(QFile::link("/dev/full", xdg->path("full/envviewer/qc-results.jsonl")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(xdg->path(dataHome)));

    QVERIFY(openDialog(R"([{"label": "A", "duration": 0}])"));
    StderrCapture err;
    press("startButton");
    QTRY_COMPARE(text("passLabel"), QStringLiteral("Pass"));
    const QString error = QStringLiteral("cannot append the test record to %1: %2")
                              .arg(xdg->path(dataHome + "/envviewer/qc-results.jsonl"), reason);
    QCOMPARE(QString::fromLocal8Bit(err.text()),
             QStringLiteral("%1: %2\n").arg(deliverableName(deliverable), error));
    // An operator started from a menu never sees standard error: the list says it too.
    QCOMPARE(listed(), QStringList {"The test record was not kept: " + error});
}

void TestQcDialog::planReadOncePerDialog()
{
    QVERIFY(openDialog(R"([{"label": "A"}, {"label": "A"}, {"label": "B"}])"));
    QComboBox *box = child<QComboBox>("qcTypeBox");
    QCOMPARE(box->count(), 3);
    QCOMPARE(box->itemText(0), QStringLiteral("A"));
    QCOMPARE(box->itemText(2), QStringLiteral("B"));
    QVERIFY(box->itemIcon(0).isNull() && !box->itemData(0).isValid());

    QVERIFY(writeFile(dir->filePath("qc.json"), R"([{"label": "C"}])"));
    QCOMPARE(box->count(), 3);
    delete dialog;
    QVERIFY(openDialog(QByteArray()));
    QCOMPARE(child<QComboBox>("qcTypeBox")->count(), 1);
    QCOMPARE(child<QComboBox>("qcTypeBox")->itemText(0), QStringLiteral("C"));
}

void TestQcDialog::closeDestroysWhenAskedTo()
{
    QVERIFY(openDialog(R"([{"label": "A", "duration": 1}])"));
    press("startButton");
    QPointer<QcDialog> kept = dialog;
    press("closeButton");
    QVERIFY(!kept->isVisible());
    QVERIFY(kept); // closing alone only hides

    dialog->setAttribute(Qt::WA_DeleteOnClose); // as the main window creates it
    dialog->show();
    press("closeButton");
    QTRY_VERIFY(kept.isNull());
    // The pending judgement and the frame connection went with it.
    emit source.frameDone(uniformFrame(0, 0));
    QCOMPARE(source.listeners(), 0);
}

void TestQcDialog::scannerStartsRun_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("why"); // empty: the run starts
    QTest::newRow("good") << "SN-0042/a.7:+#" << true << "";
    QTest::newRow("empty, not required") << "" << false << "";
    QTest::newRow("empty, required")
        << "" << true << "no serial number is given, and this station requires one";
    QTest::newRow("too long") << QString(65, 'A') << false
                              << "the serial number is longer than 64 characters";
    QTest::newRow("longest") << QString(64, 'A') << true << "";
    QTest::newRow("control character")
        << "SN\x1d"
           "42"
        << false << "the serial number holds a control character (0x1d)";
    QTest::newRow("space") << "SN 42" << false
                           << "the serial number holds ' '; it may hold letters, digits and - _ . "
                              "/ : + #";
}

void TestQcDialog::scannerStartsRun()
{
    QFETCH(QString, serial);
    QFETCH(bool, required);
    QFETCH(QString, why);
    QVERIFY(QDir().mkpath(xdg->path("config/envviewer")));
    QVERIFY(writeFile(xdg->path("config/envviewer/envviewer.conf"),
                      QByteArray("[station]\nname=station-a\nfixture=F7\noperator=Kim\n")
                          + "require_serial=" + (required ? "true" : "false") + "\n"));
    QVERIFY(openDialog(R"([{"label": "A", "duration": 0}])"));
    QLineEdit *edit = child<QLineEdit>("serialEdit");
    edit->setFocus();
    // As a barcode reader sends it: the characters, then Enter. A control character reaches the
    // field only pasted.
    if (serial.contains(QRegularExpression("[\\x00-\\x1f]")))
        edit->setText(serial);
    else
        QTest::keyClicks(edit, serial);
    QTest::keyClick(edit, Qt::Key_Return);
    QVERIFY(dialog->isVisible()); // Enter pressed Start, not the dialog's default button
    if (!why.isEmpty()) {
        QCOMPARE(text("passLabel"), QString());
        QCOMPARE(listed(), QStringList {why});
        QVERIFY(!QFile::exists(xdg->log()));
        return;
    }
    QTRY_COMPARE(text("passLabel"), QStringLiteral("Pass"));
    QCOMPARE(edit->selectedText(), serial); // the next scan replaces it
    // The same board again: its second attempt at this station.
    QTest::keyClick(edit, Qt::Key_Return);
    QTRY_COMPARE(readRecords(xdg->log()).size(), 2);
    const QJsonObject record = readRecords(xdg->log()).last();
    QCOMPARE(record.value("serial").toString(), serial);
    QCOMPARE(record.value("station").toString(), QStringLiteral("station-a"));
    QCOMPARE(record.value("fixture").toString(), QStringLiteral("F7"));
    QCOMPARE(record.value("operator").toString(), QStringLiteral("Kim"));
    QCOMPARE(record.value("version").toInt(), 1);
    QStringList summary {"record " + record.value("id").toString()};
    if (serial.isEmpty()) {
        QVERIFY(!record.contains("serial") && !record.contains("attempt"));
    } else {
        QCOMPARE(record.value("attempt").toInt(), 2);
        const QDateTime judged
            = QDateTime::fromString(record.value("time").toString(), Qt::ISODateWithMs);
        summary.prepend("attempt 2: passed at " + judged.toString("HH:mm") + " on station-a");
    }
    QTRY_COMPARE(listed(), summary);
}

void TestQcDialog::serialFieldCoversNothing()
{
    // The dialog with the field and without it differ only inside the field and its caption,
    // fresh and after a verdict.
    QVERIFY(openDialog(R"([{"label": "A", "duration": 0, "frames": 3}])"));
    const QList<QWidget *> added {child<QWidget>("serialLabel"), child<QWidget>("serialEdit")};
    const auto compare = [&] {
        const QImage with = dialog->grab().toImage();
        for (QWidget *w : added)
            w->hide();
        const QImage without = dialog->grab().toImage();
        for (QWidget *w : added)
            w->show();
        QCOMPARE(with.size(), without.size());
        int inside = 0;
        for (int y = 0; y < with.height(); ++y) {
            for (int x = 0; x < with.width(); ++x) {
                const bool covered
                    = added[0]->geometry().contains(x, y) || added[1]->geometry().contains(x, y);
                if (with.pixel(x, y) == without.pixel(x, y))
                    continue;
                QVERIFY2(covered, qPrintable(QStringLiteral("pixel %1, %2").arg(x).arg(y)));
                ++inside;
            }
        }
        QVERIFY(inside > 0); // the field is drawn at all
    };
    compare();
    child<QLineEdit>("serialEdit")->setText("SN-1");
    press("startButton");
    QTRY_COMPARE(text("passLabel"), QStringLiteral("Fail"));
    compare();
}

void TestQcDialog::attemptCountedOffTheGuiThread()
{
    // A log too long to read at Start and no index: the verdict shows at once, the record follows
    // with the attempt counted on a worker thread.
    QVERIFY(QDir().mkpath(QFileInfo(xdg->log()).path()));
    QByteArray lines;
    for (int i = 0; lines.size() <= QcAttemptIndex::maxTailBytes; ++i) {
        QcRecord r;
        r.id = qcNewRecordId();
        r.time = "2026-03-01T10:00:00.000+01:00";
        r.station = "station-a";
        r.test = "A";
        r.serial = i % 1000 == 0 ? QStringLiteral("SN-1") : QStringLiteral("SN-%1").arg(i + 2);
        r.verdict = "Fail";
        lines += r.toLine();
    }
    QVERIFY(writeFile(xdg->log(), lines));
    QVERIFY(QDir().mkpath(xdg->path("config/envviewer")));
    QVERIFY(writeFile(xdg->path("config/envviewer/envviewer.conf"), "[station]\nname=station-a\n"));
    QVERIFY(openDialog(R"([{"label": "A", "duration": 0}])"));
    QLineEdit *edit = child<QLineEdit>("serialEdit");
    QTest::keyClicks(edit, "SN-1");
    QTest::keyClick(edit, Qt::Key_Return);
    QTRY_COMPARE(text("passLabel"), QStringLiteral("Pass"));
    const int earlier = lines.count("\"SN-1\"");
    QTRY_VERIFY(listed().size() == 2);
    const QJsonObject record = readRecords(xdg->log()).last();
    QCOMPARE(record.value("attempt").toInt(), earlier + 1);
    QVERIFY(listed().first().startsWith(QStringLiteral("attempt %1: passed").arg(earlier + 1)));
    QVERIFY(QFile::exists(QcAttemptIndex::pathFor(xdg->log())));
}

QTEST_MAIN(TestQcDialog)
#include "tst_qcdialog.moc"
