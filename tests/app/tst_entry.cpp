// The entry point of a program run for real: it builds the application, keeps the path it was
// started by as UTF-8 before the window exists, shows the window, and returns the event loop's
// code once the window is closed. The built program answers --help and --version without a
// display, and without one says so instead of aborting.

#include "app/entry.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QTextCodec>
#include <QtTest>

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
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *window = qobject_cast<MainWindow *>(widget)) {
#ifdef ENV_HAS_QC
                seen.appPath = window->programPath();
#endif
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
    void answersWithoutWindow_data();
    void answersWithoutWindow();
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
    const int exitCode = runProgram(path.isNull() ? 0 : 1, argv);

    QCOMPARE(exitCode, 0);
    QVERIFY(seen.windowShown);
#ifdef ENV_HAS_QC
    QCOMPARE(seen.appPath, path.isNull() ? QString() : path);
#endif
}

void TestEntry::answersWithoutWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display"); // null: no display named at all
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("firstLine"); // of standard output on success, else standard error

    const QString name = QString::fromLatin1(deliverableName(MainWindow::deliverable));
    const QString usage = QStringLiteral("Usage: %1 [Qt options]").arg(name);
    QTest::newRow("--help") << QStringList {"--help"} << QString() << 0 << usage;
    QTest::newRow("-h after a Qt option")
        << QStringList {"-style", "fusion", "-h"} << QString() << 0 << usage;
    QTest::newRow("--version") << QStringList {"--version"} << QString() << 0
                               << QStringLiteral("%1 %2").arg(name, ENV_VERSION);
    const QString noDisplay = name + QStringLiteral(": no display");
    QTest::newRow("no display") << QStringList() << QString() << 1
                                << noDisplay + " (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    QTest::newRow("display not reachable")
        << QStringList() << QStringLiteral(":65000") << 1
        << noDisplay + " could be opened (Qt's platform plugin did not start)";
}

void TestEntry::answersWithoutWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(int, exitCode);
    QFETCH(QString, firstLine);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(variable));
    if (!display.isNull())
        environment.insert(QStringLiteral("DISPLAY"), display);
    // Qt's own warnings about the display come before the program's line: quiet here.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(ENV_PROGRAM_PATH), arguments);
    QVERIFY(program.waitForFinished(60000));

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    const QByteArray output
        = exitCode == 0 ? program.readAllStandardOutput() : program.readAllStandardError();
    QCOMPARE(QString::fromUtf8(output).section(QLatin1Char('\n'), 0, 0), firstLine);
}

QTEST_APPLESS_MAIN(TestEntry)
#include "tst_entry.moc"
