// The entry point of a program run for real: it builds the application, keeps the path it was
// started by as UTF-8 before the window exists, shows the window, and returns the event loop's
// code once the window is closed.

#include "app/mainwindow.h"
#include "qc/apppath.h"

#include <QApplication>
#include <QTextCodec>
#include <QtTest>

int programMain(int argc, char *argv[]); // main.cpp's main, renamed for this test

namespace {

struct
{
    QString appPath;
    bool windowShown = false;
} seen;

// Runs inside every application the entry point builds: once its event loop runs, notes what the
// program set up and closes the window as an operator does.
void watchProgram()
{
    seen = {QStringLiteral("(not seen)"), false};
    QTimer::singleShot(0, [] {
        seen.appPath = appPath;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *window = qobject_cast<MainWindow *>(widget)) {
                seen.windowShown = window->isVisible();
                window->close();
            }
        }
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchProgram)

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keepsProgramPath_data();
    void keepsProgramPath();
};

void TestEntry::initTestCase()
{
    // A locale whose encoding is not UTF-8, so that only argv[0] read as UTF-8 gives the path back.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
}

void TestEntry::keepsProgramPath_data()
{
    QTest::addColumn<QString>("path"); // null: no argv[0] at all

    QTest::newRow("relative") << QStringLiteral("envviewer");
    QTest::newRow("absolute, not ASCII") << QStringLiteral("/opt/Prüfstand Süd/μ-Test/envviewer");
    QTest::newRow("no argv[0]") << QString();
}

void TestEntry::keepsProgramPath()
{
    QFETCH(QString, path);

    QByteArray first = path.toUtf8();
    char *argv[] = {path.isNull() ? nullptr : first.data(), nullptr};
    const int exitCode = programMain(path.isNull() ? 0 : 1, argv);

    QCOMPARE(exitCode, 0);
    QVERIFY(seen.windowShown);
    QCOMPARE(seen.appPath, path.isNull() ? QString() : path);
}

QTEST_APPLESS_MAIN(TestEntry)
#include "tst_entry.moc"
