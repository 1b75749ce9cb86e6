// The quality check inside a real program window: the QC button's dialog, fed by frames that
// the module sends over a pseudo-terminal and the window decodes. Built once against the
// envviewer window, once against envviewer_cam's and once against envviewer_qc's.
#include "app/mainwindow.h"
#include "link/sessionfile.h"
#include "link/streamencoder.h"
#include "qc/qcdialog.h"
#include "qctestsupport.h"
#include "support/mainwindowprobe.h"
#include "support/pseudoterminal.h"
#include "support/temporaryxdg.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

constexpr int shown = MainWindow::deliverable == Deliverable::Qc ? 0 : 1;

class TestQcWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pressOpensModalDialog();
    void eachPressOpensNewDialog();
    void framesFromLineAreJudged_data();
    void framesFromLineAreJudged();

private:
    QList<QcDialog *> dialogs() const { return window->findChildren<QcDialog *>(); }
    void startLine();
    QcDialog *openDialog();

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TemporaryXdg> xdg;
    std::unique_ptr<PseudoTerminal> module;
    MainWindow *window = nullptr;
};

void TestQcWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    xdg = std::make_unique<TemporaryXdg>();
    QVERIFY(writeFile(dir->filePath("qc.json"), R"([{"label": "One second", "duration": 1,
        "frames": 3, "y": {"min": 100, "max": 500},
        "x": [{"index": 0, "count": 3, "min": -20, "max": 20},
              {"index": 26, "count": 3, "min": -20, "max": 20, "minadd": 100}]}])"));
    window = new MainWindow;
    window->setProgramPath(dir->filePath(deliverableName(MainWindow::deliverable)));
    window->show();
}

void TestQcWindow::cleanup()
{
    delete window; // takes every dialog it owns along
    window = nullptr;
    module.reset();
    dir.reset();
    xdg.reset();
}

// Opens the module's line the way the operator does; Start also enables the QC button.
void TestQcWindow::startLine()
{
    module = std::make_unique<PseudoTerminal>();
    QVERIFY(module->isOpen());
    QVERIFY(startOnPort(*window, module->slavePath()));
    QVERIFY(window->findChild<QPushButton *>("qcButton")->isEnabled());
}

QcDialog *TestQcWindow::openDialog()
{
    // The dialog comes with the press, before any release.
    QTest::mousePress(window->findChild<QPushButton *>("qcButton"), Qt::LeftButton);
    QcDialog *dialog = dialogs().value(0);
    QTest::mouseRelease(window->findChild<QPushButton *>("qcButton"), Qt::LeftButton);
    return dialog;
}

void TestQcWindow::pressOpensModalDialog()
{
    startLine();
    QCOMPARE(dialogs().size(), 0);
    QcDialog *dialog = openDialog();
    QVERIFY(dialog);
    QCOMPARE(dialogs().size(), 1);
    QCOMPARE(dialog->parentWidget(), window);
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->isModal());
    QCOMPARE(dialog->size(),
             MainWindow::deliverable == Deliverable::Qc ? QSize(650, 606) : QSize(740, 422));
    QCOMPARE(dialog->findChild<QComboBox *>("qcTypeBox")->currentText(),
             QStringLiteral("One second"));
}

void TestQcWindow::eachPressOpensNewDialog()
{
    startLine();
    QPointer<QcDialog> first = openDialog();
    QVERIFY(first);
    QTest::mousePress(first->findChild<QPushButton *>("closeButton"), Qt::LeftButton);
    // Closed dialogs go: they neither stay hidden counting frames nor pile up in the window.
    QTRY_VERIFY(first.isNull());
    QPointer<QcDialog> second = openDialog();
    QVERIFY(second);
    QCOMPARE(dialogs().size(), 1);
}

void TestQcWindow::framesFromLineAreJudged_data()
{
    QTest::addColumn<int>("goodFrames");
    QTest::addColumn<int>("badFrames");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("channels"); // as the record gives them
    // How the run's capture goes: "kept", "restarted" (a first Start cancelled by a second one) or
    // "blocked" (the captures folder cannot be made).
    QTest::addColumn<QString>("capture");

    // Every sample has X = 5; channel 26's Y window is raised by its addition (100) in the
    // programs that read the additions.
    const bool additions = MainWindow::deliverable != Deliverable::Qc;
    const auto counts = [&](int good0, int good26, int samples, const QString &y) {
        const QString entry = R"({"channel": %1, "good": %2, "need": 3, "samples": %3,
            "window": {"x": [-20, 20], "y": [%4, 500]},
            "x": {"min": 5, "max": 5, "mean": 5, "sd": 0}, "y": %5})";
        return "[" + entry.arg(0).arg(good0).arg(samples).arg(100).arg(y) + ", "
            + entry.arg(26).arg(good26).arg(samples).arg(additions ? 200 : 100).arg(y) + "]";
    };
    // A passed run keeps no capture: failed runs keep theirs by default.
    QTest::newRow("pass") << 3 << 0 << "Pass" << QStringList()
                          << counts(3, 3, 3, R"({"min": 300, "max": 300, "mean": 300, "sd": 0})")
                          << "kept";
    // The second kind of frame has Y = 150: inside the plan's window, but below channel 26's
    // raised lower bound (200) in the programs that read the additions.
    const QStringList failures {
        "Frame Count Fail",
        QString("Sample Count Fail : %1 [-20, 20], need: 3, got: %2").arg(shown).arg(2),
        QString("Sample Count Fail : %1 [-20, 20], need: 3, got: %2")
            .arg(26 + shown)
            .arg(additions ? 0 : 2)};
    const QString failedChannels
        = counts(2, additions ? 0 : 2, 2, R"({"min": 150, "max": 300, "mean": 225, "sd": 75})");
    for (const char *capture : {"kept", "restarted", "blocked"})
        QTest::addRow("short and bad, capture %s", capture)
            << 1 << 1 << "Fail" << failures << failedChannels << capture;
}

void TestQcWindow::framesFromLineAreJudged()
{
    QFETCH(int, goodFrames);
    QFETCH(int, badFrames);
    QFETCH(QString, verdict);
    QFETCH(QStringList, messages);
    QFETCH(QString, channels);
    QFETCH(QString, capture);

    const QString captures = xdg->path("data/envviewer/captures");
    if (capture == "blocked")
        QVERIFY(QDir().mkpath(xdg->path("data/envviewer"))
                && writeFile(captures, "a file where the folder goes"));
    startLine();
    QcDialog *dialog = openDialog();
    QVERIFY(dialog);
    auto *startButton = dialog->findChild<QPushButton *>("startButton");
    QTest::mousePress(startButton, Qt::LeftButton);
    if (capture == "restarted") {
        // The first run's capture is under way; the second Start cancels it.
        QCOMPARE(QDir(captures).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QTest::mousePress(startButton, Qt::LeftButton);
    }
    auto *passLabel = dialog->findChild<QLabel *>("passLabel");
    auto *frameLabel = dialog->findChild<QLabel *>("frameLabel");
    QCOMPARE(passLabel->text(), QStringLiteral("Testing"));

    StreamEncoder encoder;
    encoder.appendSync();
    const auto sendFrame = [&](qint16 y, qint16 x) {
        QVector<StreamPoint> points(qcChannelCount, StreamPoint {x, y});
        return encoder.appendFrame(points, 0) == qcChannelCount;
    };
    for (int i = 0; i < goodFrames; ++i)
        QVERIFY(sendFrame(300, 5));
    for (int i = 0; i < badFrames; ++i)
        QVERIFY(sendFrame(150, 5));
    const QByteArray sent = encoder.takeBytes();
    QVERIFY(module->write(sent));

    const int frames = goodFrames + badFrames;
    QTRY_COMPARE(frameLabel->text(), QString::number(frames));
    QCOMPARE(passLabel->text(), QStringLiteral("Testing"));
    QTRY_COMPARE_WITH_TIMEOUT(passLabel->text(), verdict, 3000);
    QStringList listed;
    QAbstractItemModel *model = dialog->findChild<QListView *>("rangeListView")->model();
    for (int r = 0; r < model->rowCount(); ++r)
        listed << model->index(r, 0).data().toString();
    QCOMPARE(listed.mid(0, messages.size()), messages);

    // The record keeps what the dialog showed; the list names it, and its capture when kept.
    const QList<QJsonObject> records = readRecords(xdg->log());
    QCOMPARE(records.size(), 1);
    QJsonObject record = records.first();
    QStringList summary {"record " + record.value("id").toString()};
    if (record.value("capture").isObject())
        summary << "capture " + record.value("capture").toObject().value("path").toString();
    QCOMPARE(listed.mid(messages.size()), summary);
    listed = messages;
    // A station without a name of its own is named by its host.
    QCOMPARE(record.take("station").toString(), QSysInfo::machineHostName());
    const QString time = record.take("time").toString();
    QVERIFY2(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)")
                 .match(time)
                 .hasMatch(),
             qPrintable(time));
    QCOMPARE(record.take("failures").toVariant().toStringList(), listed);
    // A failed run keeps the bytes of its counting window, and nothing else is left behind.
    const QJsonValue kept = record.take("capture");
    const QStringList files = QDir(captures).entryList(QDir::Files | QDir::Hidden);
    if (verdict == "Pass" || capture == "blocked") {
        QVERIFY(kept.isNull());
        QVERIFY(files.isEmpty());
    } else {
        QCOMPARE(files, QStringList {record.value("id").toString() + ".session"});
        QFile file(QDir(captures).filePath(files.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(kept.toObject().value("path").toString(), file.fileName());
        QCOMPARE(kept.toObject().value("bytes").toInt(), bytes.size());
        QCOMPARE(kept.toObject().value("sha256").toString(),
                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        QVERIFY(bytes.startsWith("envtool session 1\n"));
        QByteArray module;
        QString error;
        QVERIFY2(SessionFile::readModuleBytes(file.fileName(), &module, &error), qPrintable(error));
        QCOMPARE(module, sent);
    }
    QVERIFY(
        QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
            .match(record.take("id").toString())
            .hasMatch());
    QVERIFY(record.take("software")
                .toString()
                .startsWith(QString(deliverableName(MainWindow::deliverable)) + " 1."));
    QFile plan(dir->filePath("qc.json"));
    QVERIFY(plan.open(QIODevice::ReadOnly));
    const QString expected
        = QString(R"({"version": 1, "program": "%1", "rules": "%1", "host": "%2",
        "source": "%3", "plan": {"path": "%4", "sha256": "%5"}, "test": "One second",
        "duration": 1, "framesRequired": 3, "frames": %6, "channels": %7, "verdict": "%8"})")
              .arg(
                  QString(deliverableName(MainWindow::deliverable)), QSysInfo::machineHostName(),
                  module->slavePath().mid(int(strlen("/dev/"))), plan.fileName(),
                  QString(
                      QCryptographicHash::hash(plan.readAll(), QCryptographicHash::Sha256).toHex()),
                  frameLabel->text(), channels, passLabel->text());
    QCOMPARE(record, QJsonDocument::fromJson(expected.toUtf8()).object());
}

QTEST_MAIN(TestQcWindow)
#include "tst_qcwindow.moc"
