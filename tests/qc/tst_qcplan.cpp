// The plan as read from real qc.json files beside a program path or in the XDG config folders.
#include "qc/qcfiles.h"
#include "qc/qcplan.h"
#include "qctestsupport.h"
#include "support/temporaryxdg.h"

#include <QTemporaryDir>
#include <QtTest>

class TestQcPlan : public QObject
{
    Q_OBJECT

private slots:
    void loads_data();
    void loads();
    void searchOrder_data();
    void searchOrder();
    void programPath_data();
    void programPath();
    void selection_data();
    void selection();
};

static const QByteArray example = R"([{
    "label": "Board A", "duration": 10, "frames": 50, "y": { "min": 200, "max": 1500 },
    "x": [
        { "index": 0, "count": 30, "min": -100, "max": 100, "minadd": 0, "maxadd": 0 },
        { "index": 26, "count": 30, "min": -80, "max": 80, "minadd": 50, "maxadd": -50 }
    ]
}])";

void TestQcPlan::loads_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("readAdditions");
    QTest::addColumn<QString>("expected");

    QTest::newRow("example") << example << true
                             << "Board A|10|50|200|1500|[0 30 -100 100 0 0][26 30 -80 80 50 -50]";
    QTest::newRow("example without additions")
        << example << false << "Board A|10|50|200|1500|[0 30 -100 100 0 0][26 30 -80 80 0 0]";
    QTest::newRow("empty array") << QByteArray("[]") << true << "";
    QTest::newRow("empty file") << QByteArray() << true << "";
    QTest::newRow("object at the top")
        << QByteArray(R"({"label": "A", "duration": 1})") << true << "";
    QTest::newRow("invalid json") << QByteArray(R"([{"label": "A",}])") << true << "";
    QTest::newRow("truncated") << example.left(example.size() - 3) << true << "";
    QTest::newRow("number out of double range")
        << QByteArray(R"([{"duration": 1e400}])") << true << "";
    QTest::newRow("missing keys") << QByteArray("[{}]") << true << "|0|0|0|0|";
    QTest::newRow("no y, ranges kept")
        << QByteArray(R"([{"x": [{"index": 3, "count": 2}]}])") << true << "|0|0|0|0|[3 2 0 0 0 0]";
    QTest::newRow("y with one bound")
        << QByteArray(R"([{"y": {"max": 7}}])") << true << "|0|0|0|7|";
    QTest::newRow("label not a string")
        << QByteArray(R"([{"label": 5, "duration": 1}])") << true << "|1|0|0|0|";
    QTest::newRow("numbers as strings, booleans, null")
        << QByteArray(R"([{"label": "A", "duration": "10", "frames": true,
                          "y": {"min": "1", "max": null}}])")
        << true << "A|0|0|0|0|";
    QTest::newRow("y not an object")
        << QByteArray(R"([{"y": [1, 2], "frames": 3}])") << true << "|0|3|0|0|";
    QTest::newRow("x not an array")
        << QByteArray(R"([{"x": {"index": 1, "count": 1}}])") << true << "|0|0|0|0|";
    QTest::newRow("range keys of other types")
        << QByteArray(R"([{"x": [{"index": "4", "count": false, "min": null, "max": [1],
                                   "minadd": {}, "maxadd": "2"}]}])")
        << true << "|0|0|0|0|[0 0 0 0 0 0]";
    QTest::newRow("non-object elements")
        << QByteArray(R"([1, "A", null, [], {"label": "B", "x": [5, {"index": 2}, "x"]}])") << true
        << "|0|0|0|0|\n|0|0|0|0|\n|0|0|0|0|\n|0|0|0|0|\nB|0|0|0|0|[0 0 0 0 0 0][2 0 0 0 0 0]"
           "[0 0 0 0 0 0]";
    QTest::newRow("duplicate labels in file order")
        << QByteArray(R"([{"label": "A", "frames": 1}, {"label": "A", "frames": 2}])") << true
        << "A|0|1|0|0|\nA|0|2|0|0|";
    QTest::newRow("duplicate ranges kept in order")
        << QByteArray(R"([{"x": [{"index": 1, "count": 5}, {"index": 1, "count": 9}]}])") << true
        << "|0|0|0|0|[1 5 0 0 0 0][1 9 0 0 0 0]";
    QTest::newRow("fractional and out-of-range values as read")
        << QByteArray(R"([{"duration": 2.5, "frames": -3.75, "y": {"min": 1500, "max": 200},
                          "x": [{"index": 26.9, "count": 0.5, "min": -0.25, "max": 1e300},
                                {"index": -4, "count": -1}, {"index": 1e12}]}])")
        << true
        << "|2.5|-3.75|1500|200|[26.899999999999999 0.5 -0.25 1.0000000000000001e+300 0 0]"
           "[-4 -1 0 0 0 0][1000000000000 0 0 0 0 0]";
    QTest::newRow("keys are case-sensitive, others ignored")
        << QByteArray(R"([{"Label": "A", "DURATION": 3, "comment": "x",
                          "x": [{"Index": 2, "minAdd": 4, "index": 1}]}])")
        << true << "|0|0|0|0|[1 0 0 0 0 0]";
    QTest::newRow("additions ignored when not read")
        << QByteArray(R"([{"x": [{"index": 1, "minadd": 4, "maxadd": -4}]}])") << false
        << "|0|0|0|0|[1 0 0 0 0 0]";
    QTest::newRow("utf-8 label") << QByteArray("[{\"label\": \"Pr\xc3\xbc"
                                               "fung\"}]")
                                 << true
                                 << QString::fromUtf8("Pr\xc3\xbc"
                                                      "fung|0|0|0|0|");
}

void TestQcPlan::loads()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, readAdditions);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("qc.json"), document));
    const QString appPath = dir.filePath("envviewer");

    const QList<QcType> plan
        = parseQcDocument(findQcPlan(qcConfigDir(appPath)).bytes,
                          readAdditions ? QcAdditions::Read : QcAdditions::Ignore);
    QCOMPARE(describePlan(plan), expected);
    // The parser and the file reader agree.
    QCOMPARE(describePlan(parseQcDocument(document,
                                          readAdditions ? QcAdditions::Read : QcAdditions::Ignore)),
             expected);
}

void TestQcPlan::searchOrder_data()
{
    // Places: "bin" beside the program, "config" the XDG config home, "etc1" and "etc2" the XDG
    // config folders in their order. A place in `folders` holds a folder named qc.json instead.
    QTest::addColumn<QStringList>("plans");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("found");

    QTest::newRow("beside the program first")
        << QStringList {"bin", "config", "etc1", "etc2"} << QStringList() << "bin";
    QTest::newRow("then the config home")
        << QStringList {"config", "etc1"} << QStringList() << "config";
    QTest::newRow("then the config folders in order")
        << QStringList {"etc1", "etc2"} << QStringList() << "etc1";
    QTest::newRow("a folder named qc.json is passed over")
        << QStringList {"etc2"} << QStringList {"bin", "config", "etc1"} << "etc2";
    QTest::newRow("none") << QStringList() << QStringList {"bin"} << "";
}

void TestQcPlan::searchOrder()
{
    QFETCH(QStringList, plans);
    QFETCH(QStringList, folders);
    QFETCH(QString, found);

    TemporaryXdg xdg;
    const auto place = [&](const QString &name) {
        return xdg.path(name == "bin" ? "bin/qc.json" : name + "/envviewer/qc.json");
    };
    for (const QString &name : plans + folders)
        QVERIFY(QDir().mkpath(QFileInfo(place(name)).path()));
    for (const QString &name : plans)
        QVERIFY(writeFile(place(name), "[{\"label\": \"" + name.toUtf8() + "\"}]"));
    for (const QString &name : folders)
        QVERIFY(QDir().mkpath(place(name)));

    const QcPlanFile plan = findQcPlan(xdg.path("bin"));
    QCOMPARE(plan.path, found.isEmpty() ? QString() : place(found));
    QCOMPARE(describePlan(parseQcDocument(plan.bytes)), found.isEmpty() ? "" : found + "|0|0|0|0|");
}

void TestQcPlan::programPath_data()
{
    // "@" is a temporary folder, "work" below it the working directory; "app" stands for the
    // folder that holds the running program.
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("folder");

    QTest::newRow("relative path below") << "bin/envviewer"
                                         << "@/work/bin";
    QTest::newRow("relative path from another directory") << "../inst/envviewer"
                                                          << "@/inst";
    QTest::newRow("dot path") << "./envviewer"
                              << "@/work";
    QTest::newRow("absolute path") << "@/inst/envviewer"
                                   << "@/inst";
    // Found on the PATH (a menu's Exec=envviewer): where the menu happened to be says nothing.
    QTest::newRow("bare name: the program's own folder") << "envviewer"
                                                         << "app";
    QTest::newRow("empty path: the program's own folder") << ""
                                                          << "app";
}

void TestQcPlan::programPath()
{
    QFETCH(QString, program);
    QFETCH(QString, folder);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath("work/bin") && QDir(dir.path()).mkpath("inst"));
    WorkingDirectory cwd(dir.filePath("work"));
    const QString appPath = program.replace("@", dir.path());
    const QString expected = folder == "app" ? QCoreApplication::applicationDirPath()
                                             : folder.replace("@", dir.path());
    QCOMPARE(qcConfigDir(appPath), expected);
}

void TestQcPlan::selection_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("problem");
    QTest::newRow("held") << "Board B"
                          << "";
    QTest::newRow("none chosen") << ""
                                 << "no test type is chosen";
    // The next try can name one the plan holds.
    QTest::newRow("not held") << "Board C"
                              << "plan.json has no test \"Board C\"; it holds \"Board A\", "
                                 "\"Board B\"";
    QTest::newRow("case differs") << "board a"
                                  << "plan.json has no test \"board a\"; it holds \"Board A\", "
                                     "\"Board B\"";
}

void TestQcPlan::selection()
{
    QFETCH(QString, label);
    QFETCH(QString, problem);
    const QcPlanFile plan {"plan.json", R"([{"label": "Board A"}, {"label": "Board B"}])", {}};
    QCOMPARE(qcSelectionProblem(plan, parseQcDocument(plan.bytes), label), problem);
}

QTEST_GUILESS_MAIN(TestQcPlan)
#include "tst_qcplan.moc"
