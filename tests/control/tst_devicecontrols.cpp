// The device controls of one program, driven as an operator would, with a pseudo-terminal as the
// module: every byte on the line is compared with the command the control stands for.

#include "app/mainwindow.h"
#include "control/commandreader.h"
#include "support/mainwindowprobe.h"
#include "support/messagelog.h"
#include "support/pseudoterminal.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QSerialPort>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QtTest>

namespace {
constexpr Deliverable program = MainWindow::deliverable;
const char *const unopenablePort = "/nonexistent/ttyENV0";

// Packets written as their code and argument bytes; each gets the four 0xFF bytes in front.
QByteArray packets(const QStringList &bodies)
{
    QByteArray bytes;
    for (const QString &body : bodies)
        bytes += QByteArray::fromHex("FFFFFFFF" + body.toLatin1());
    return bytes;
}

int droppedCommands(const MessageLog &log)
{
    int count = 0;
    for (const QString &line : log.messages(QtDebugMsg))
        count += line.startsWith(QLatin1String("command not sent")) ? 1 : 0;
    return count;
}

// The handle's centre when the slider shows `value`, as its style places it.
QPoint handleCentre(const QSlider *slider, int value)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = value;
    option.sliderValue = value;
    option.singleStep = slider->singleStep();
    option.pageStep = slider->pageStep();
    option.upsideDown
        = slider->invertedAppearance() != (slider->layoutDirection() == Qt::RightToLeft);
    option.tickPosition = slider->tickPosition();
    option.tickInterval = slider->tickInterval();
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    return slider->style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider)
        .center();
}

// The text of the label that shows the slider's value.
QString labelOf(const MainWindow &window, const QString &slider)
{
    static const QMap<QString, QString> labels {
        {"calibxSlider", "xlabel"},
        {"calibySlider", "ylabel"},
        {"calibzSlider", "zlabel"},
        {"pwmSlider", program == Deliverable::Qc ? "pwmValue" : "pwmlavel"},
    };
    const auto *label = window.findChild<QLabel *>(labels.value(slider));
    return label ? label->text() : QString();
}

// The value labels of the window, as they read now.
QString labelTexts(const MainWindow &window)
{
    QStringList texts;
    for (const char *name : {"xlabel", "ylabel", "zlabel", "pwmlavel", "pwmValue", "exlabel"}) {
        if (const auto *label = window.findChild<QLabel *>(name))
            texts.append(label->text());
    }
    return texts.join(' ');
}

// A real port that notes what the window's labels show at the moment each packet is handed to it.
class WatchingPort : public QSerialPort
{
public:
    WatchingPort(const QString &name, const MainWindow &window)
        : QSerialPort(name)
        , window(window)
    {
    }
    QStringList seen;

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        CommandReader reader;
        for (const ReceivedCommand &command : reader.feed(QByteArray(data, int(size))))
            seen.append(command.text() + " | " + labelTexts(window));
        return QSerialPort::writeData(data, size);
    }

private:
    const MainWindow &window;
};

const QMap<QString, int> keys {
    {"Right", Qt::Key_Right},       {"Left", Qt::Key_Left}, {"PageUp", Qt::Key_PageUp},
    {"PageDown", Qt::Key_PageDown}, {"Home", Qt::Key_Home}, {"End", Qt::Key_End},
};
} // namespace

class TestDeviceControls : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void labelsShowTheValueBeforeItIsSent_data();
    void labelsShowTheValueBeforeItIsSent();
    void afterStartEnablesTheControls();

private:
    void viewerRows();
    void camRows();
    void qcRows();
    // Runs one operator action; returns false (with a test failure) when it cannot be done.
    bool act(MainWindow &window, PseudoTerminal &line, const QString &action);
};

void TestDeviceControls::commands_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QByteArray>("expected"); // bytes on the line
    QTest::addColumn<QStringList>("state"); // label texts and slider values, "name=value"
    QTest::addColumn<QString>("settings"); // see MainWindowProbe::settings
    QTest::addColumn<int>("dropped"); // packets the port refused

    if constexpr (program == Deliverable::Viewer)
        viewerRows();
    else if constexpr (program == Deliverable::Cam)
        camRows();
    else
        qcRows();
}

void TestDeviceControls::viewerRows()
{
    const QStringList defaults {"xlabel=13",       "ylabel=25",      "zlabel=5",
                                "pwmlavel=155",    "exlabel=1",      "calibxSlider=13",
                                "calibySlider=25", "calibzSlider=5", "pwmSlider=155"};
    const QString settings = "155 1 13 25 5 0";

    QTest::newRow("start sends nothing")
        << QStringList {"start"} << QByteArray() << defaults << settings << 0;
    QTest::newRow("controls wait for Start")
        << QStringList {"click onButton", "key calibxSlider Right", "click irSetButton", "start"}
        << QByteArray() << defaults << settings << 0;
    QTest::newRow("LaserON") << QStringList {"start", "click onButton"} << packets({"0201"})
                             << defaults << settings << 0;
    QTest::newRow("LaserOFF") << QStringList {"start", "click offButton"} << packets({"0200"})
                              << defaults << settings << 0;
    QTest::newRow("EXP once shows the step it sent")
        << QStringList {"start", "click expButton"} << packets({"0401"})
        << QStringList {"exlabel=1"} << "155 2 13 25 5 0" << 0;
    QTest::newRow("EXP four times")
        << QStringList {"start", "click expButton", "click expButton", "click expButton",
                        "click expButton"}
        << packets({"0401", "0402", "0403", "0400"}) << QStringList {"exlabel=0"} << settings << 0;
    QTest::newRow("Ver twice") << QStringList {"start", "click verButton", "click verButton"}
                               << packets({"0600", "0601"}) << defaults << settings << 0;
    QTest::newRow("Ver starts at 0 after every Start")
        << QStringList {"start-fail", "click verButton", "start", "click verButton"}
        << packets({"0600"}) << defaults << "155 1 13 25 5 1" << 1;
    QTest::newRow("calibX set") << QStringList {"start", "set calibxSlider 7"} << packets({"0707"})
                                << QStringList {"xlabel=7", "calibxSlider=7"} << "155 1 7 25 5 0"
                                << 0;
    QTest::newRow("calibX dragged by the mouse")
        << QStringList {"start", "mousedrag calibxSlider 14 15 16 20"}
        << packets({"070E", "070F", "0710", "0714"}) << QStringList {"xlabel=20", "calibxSlider=20"}
        << "155 1 20 25 5 0" << 0;
    QTest::newRow("calibY dragged down by the mouse")
        << QStringList {"start", "mousedrag calibySlider 24 23 14"}
        << packets({"0818", "0817", "080E"}) << QStringList {"ylabel=14"} << "155 1 13 14 5 0" << 0;
    QTest::newRow("calibZ by keys")
        << QStringList {"start",
                        "key calibzSlider Right",
                        "key calibzSlider Left",
                        "key calibzSlider Left",
                        "key calibzSlider PageUp",
                        "key calibzSlider Home"}
        << packets({"0906", "0905", "0904", "090A", "0901"})
        << QStringList {"zlabel=1", "calibzSlider=1"} << "155 1 13 25 1 0" << 0;
    QTest::newRow("a key at the end of the range sends nothing")
        << QStringList {"start", "key calibzSlider End", "key calibzSlider Right"}
        << packets({"090A"}) << QStringList {"zlabel=10"} << "155 1 13 25 10 0" << 0;
    QTest::newRow("calibZ by the wheel")
        << QStringList {"start", "wheel calibzSlider 1"} << packets({"0908"})
        << QStringList {"zlabel=8"} << "155 1 13 25 8 0" << 0;
    QTest::newRow("PWM dragged") << QStringList {"start", "drag pwmSlider 156 157 158 230"}
                                 << packets({"039C", "039D", "039E", "03E6"})
                                 << QStringList {"pwmlavel=230", "pwmSlider=230"}
                                 << "230 1 13 25 5 0" << 0;
    QTest::newRow("calibReset at the defaults") << QStringList {"start", "click cresetButton"}
                                                << packets({"0A00"}) << defaults << settings << 0;
    QTest::newRow("calibReset away from the defaults")
        << QStringList {"start",
                        "set calibxSlider 7",
                        "set calibySlider 40",
                        "set calibzSlider 9",
                        "set pwmSlider 100",
                        "click cresetButton"}
        << packets({"0707", "0828", "0909", "0364", "070D", "0819", "0905", "0A00"})
        << QStringList {"xlabel=13",       "ylabel=25",       "zlabel=5",       "pwmlavel=100",
                        "calibxSlider=13", "calibySlider=25", "calibzSlider=5", "pwmSlider=100"}
        << "100 1 13 25 5 0" << 0;
    QTest::newRow("calibReset moves only what is away")
        << QStringList {"start", "set calibySlider 30", "click cresetButton"}
        << packets({"081E", "0819", "0A00"}) << defaults << settings << 0;
    QTest::newRow("pwmReset at the default") << QStringList {"start", "click irRstButton"}
                                             << packets({"0500"}) << defaults << settings << 0;
    QTest::newRow("pwmReset away from the default")
        << QStringList {"start", "set pwmSlider 80", "click irRstButton"}
        << packets({"0350", "039B", "0500"}) << defaults << settings << 0;
    QTest::newRow("pwmSet") << QStringList {"start", "click irSetButton"} << packets({"0C01"})
                            << defaults << settings << 0;
    QTest::newRow("calibSet") << QStringList {"start", "click calibsetButton"} << packets({"0B01"})
                              << defaults << settings << 0;
    QTest::newRow("second Start after a failed open")
        << QStringList {"start-fail",      "set calibxSlider 7", "set pwmSlider 100",
                        "click expButton", "click verButton",    "start"}
        << QByteArray()
        << QStringList {"xlabel=13", "ylabel=25",      "zlabel=5",     "pwmlavel=155",
                        "exlabel=1", "calibxSlider=7", "pwmSlider=100"}
        << settings << 4;
    QTest::newRow("commands after the module hung up are dropped")
        << QStringList {"start", "click onButton", "hangup", "click offButton",
                        "set calibxSlider 6"}
        << QByteArray() << QStringList {"xlabel=6"} << "155 1 6 25 5 0" << 2;
    QTest::newRow("commands after a failed open are dropped")
        << QStringList {"start-fail", "click onButton", "click cresetButton", "set calibzSlider 2",
                        "click irSetButton"}
        << QByteArray() << QStringList {"zlabel=2", "calibzSlider=2"} << "155 1 13 25 2 0" << 4;
}

void TestDeviceControls::camRows()
{
    const QStringList defaults {"xlabel=13",      "ylabel=25",       "zlabel=5",
                                "pwmlavel=pwm",   "calibxSlider=13", "calibySlider=25",
                                "calibzSlider=5", "pwmSlider=155"};
    const QString settings = "155 0 13 25 5 0";

    QTest::newRow("start sends nothing")
        << QStringList {"start"} << QByteArray() << defaults << settings << 0;
    QTest::newRow("controls wait for Start")
        << QStringList {"click onButton", "key pwmSlider Right", "start"} << QByteArray()
        << defaults << settings << 0;
    QTest::newRow("LaserON") << QStringList {"start", "click onButton"} << packets({"0201"})
                             << defaults << settings << 0;
    QTest::newRow("LaserOFF") << QStringList {"start", "click offButton"} << packets({"0200"})
                              << defaults << settings << 0;
    QTest::newRow("EXP four times")
        << QStringList {"start", "click expButton", "click expButton", "click expButton",
                        "click expButton"}
        << packets({"0400", "0401", "0402", "0403"}) << defaults << settings << 0;
    QTest::newRow("Ver twice") << QStringList {"start", "click verButton", "click verButton"}
                               << packets({"0600", "0601"}) << defaults << settings << 0;
    QTest::newRow("calibX dragged by the mouse")
        << QStringList {"start", "mousedrag calibxSlider 12 11 10 1"}
        << packets({"070C", "070B", "070A", "0701"}) << QStringList {"xlabel=1", "calibxSlider=1"}
        << "155 0 1 25 5 0" << 0;
    QTest::newRow("calibY by keys")
        << QStringList {"start", "key calibySlider Right", "key calibySlider PageUp",
                        "key calibySlider End"}
        << packets({"081A", "0824", "0831"}) << QStringList {"ylabel=49"} << "155 0 13 49 5 0" << 0;
    QTest::newRow("calibZ set") << QStringList {"start", "set calibzSlider 15"} << packets({"090F"})
                                << QStringList {"zlabel=15"} << "155 0 13 25 15 0" << 0;
    QTest::newRow("PWM dragged shows its label")
        << QStringList {"start", "drag pwmSlider 154 153 80"} << packets({"039A", "0399", "0350"})
        << QStringList {"pwmlavel=80"} << "80 0 13 25 5 0" << 0;
    QTest::newRow("calibReset at the defaults") << QStringList {"start", "click cresetButton"}
                                                << packets({"0A00"}) << defaults << settings << 0;
    QTest::newRow("calibReset away from the defaults, PWM too")
        << QStringList {"start",
                        "set calibxSlider 2",
                        "set calibySlider 3",
                        "set calibzSlider 4",
                        "set pwmSlider 200",
                        "click cresetButton"}
        << packets({"0702", "0803", "0904", "03C8", "070D", "0819", "0905", "039B", "0A00"})
        << QStringList {"xlabel=13",       "ylabel=25",       "zlabel=5",       "pwmlavel=155",
                        "calibxSlider=13", "calibySlider=25", "calibzSlider=5", "pwmSlider=155"}
        << settings << 0;
    QTest::newRow("calibSet") << QStringList {"start", "click calibsetButton"} << packets({"0B01"})
                              << defaults << settings << 0;
    QTest::newRow("second Start keeps the settings")
        << QStringList {"start-fail", "set calibxSlider 7", "click expButton", "click verButton",
                        "start"}
        << QByteArray()
        << QStringList {"xlabel=13", "ylabel=25", "zlabel=5", "pwmlavel=pwm", "calibxSlider=7"}
        << "155 1 7 25 5 1" << 3;
    QTest::newRow("the step cycle goes on across Starts")
        << QStringList {"start-fail", "click expButton", "click verButton",
                        "start",      "click expButton", "click verButton"}
        << packets({"0401", "0601"}) << defaults << "155 2 13 25 5 0" << 2;
}

void TestDeviceControls::qcRows()
{
    QTest::newRow("start sends nothing")
        << QStringList {"start"} << QByteArray() << QStringList {"pwmValue=0", "pwmSlider=0"}
        << QString() << 0;
    QTest::newRow("slider waits for Start")
        << QStringList {"key pwmSlider Right", "start"} << QByteArray()
        << QStringList {"pwmValue=0", "pwmSlider=0"} << QString() << 0;
    QTest::newRow("PWM set") << QStringList {"start", "set pwmSlider 40"} << packets({"020228"})
                             << QStringList {"pwmValue=40"} << QString() << 0;
    QTest::newRow("PWM dragged by the mouse")
        << QStringList {"start", "mousedrag pwmSlider 1 2 3 50"}
        << packets({"020201", "020202", "020203", "020232"})
        << QStringList {"pwmValue=50", "pwmSlider=50"} << QString() << 0;
    QTest::newRow("PWM by keys") << QStringList {"start", "key pwmSlider Right",
                                                 "key pwmSlider PageUp", "key pwmSlider End",
                                                 "key pwmSlider Home"}
                                 << packets({"020201", "02020B", "020264", "020200"})
                                 << QStringList {"pwmValue=0"} << QString() << 0;
    QTest::newRow("PWM after a failed open is dropped")
        << QStringList {"start-fail", "set pwmSlider 7", "start", "set pwmSlider 8"}
        << packets({"020208"}) << QStringList {"pwmValue=8"} << QString() << 1;
}

bool TestDeviceControls::act(MainWindow &window, PseudoTerminal &line, const QString &action)
{
    const QStringList words = action.split(' ');
    const QString verb = words.value(0);
    const QString target = words.value(1);

    if (verb == "start")
        return startOnPort(window, line.slavePath());
    if (verb == "start-fail")
        return !startOnPort(window, QString::fromLatin1(unopenablePort));
    if (verb == "hangup") {
        // The module goes away: the window closes the lost port and offers Start again.
        line.closeMaster();
        auto *start = window.findChild<QAbstractButton *>("startButton");
        return start && QTest::qWaitFor([start] { return start->isEnabled(); }, 5000);
    }
    if (verb == "click") {
        auto *button = window.findChild<QAbstractButton *>(target);
        if (!button)
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

    auto *slider = window.findChild<QSlider *>(target);
    if (!slider)
        return false;
    const QStringList arguments = words.mid(2);
    if (verb == "set") {
        slider->setValue(arguments.value(0).toInt());
    } else if (verb == "key") {
        if (!keys.contains(arguments.value(0)))
            return false;
        QTest::keyClick(slider, Qt::Key(keys.value(arguments.value(0))));
    } else if (verb == "wheel") {
        const QPoint at = handleCentre(slider, slider->value());
        QWheelEvent wheel(at, slider->mapToGlobal(at), QPoint(),
                          QPoint(0, 120 * arguments.value(0).toInt()), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(slider, &wheel);
    } else if (verb == "drag") {
        // The slider's own drag path with tracking on: one value change per position.
        slider->setSliderDown(true);
        for (const QString &value : arguments) {
            slider->setSliderPosition(value.toInt());
            const QString label = labelOf(window, target);
            if (label != value) {
                qWarning() << "label" << label << "during the drag to" << value;
                return false;
            }
        }
        slider->setSliderDown(false);
    } else if (verb == "mousedrag") {
        // Press on the handle and move the mouse so that the handle lands on each value.
        QPoint at = handleCentre(slider, slider->value());
        QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier, at);
        for (const QString &value : arguments) {
            at = handleCentre(slider, value.toInt());
            QMouseEvent move(QEvent::MouseMove, at, slider->mapToGlobal(at), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(slider, &move);
            if (slider->value() != value.toInt() || labelOf(window, target) != value) {
                qWarning() << "the mouse moved" << target << "to" << slider->value() << "instead of"
                           << value << "label" << labelOf(window, target);
                return false;
            }
        }
        QTest::mouseRelease(slider, Qt::LeftButton, Qt::NoModifier, at);
    } else {
        return false;
    }
    return true;
}

void TestDeviceControls::commands()
{
    QFETCH(QStringList, actions);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, state);
    QFETCH(QString, settings);
    QFETCH(int, dropped);

    PseudoTerminal line;
    QVERIFY(line.isOpen());
    MessageLog log;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    for (const QString &action : qAsConst(actions))
        QVERIFY2(act(window, line, action), qPrintable(action));

    // Wait for every expected byte, then briefly for any byte too many.
    QByteArray written = line.read(expected.size(), 5000);
    written += line.read(1, 30);
    QCOMPARE(written.toHex(' '), expected.toHex(' '));

    for (const QString &entry : qAsConst(state)) {
        const QString name = entry.section('=', 0, 0);
        const QString value = entry.section('=', 1);
        if (auto *label = window.findChild<QLabel *>(name))
            QCOMPARE(label->text(), value);
        else if (auto *slider = window.findChild<QSlider *>(name))
            QCOMPARE(QString::number(slider->value()), value);
        else
            QFAIL(qPrintable("no widget " + name));
    }
    QCOMPARE(MainWindowProbe::settings(window), settings);
    QCOMPARE(droppedCommands(log), dropped);
}

void TestDeviceControls::labelsShowTheValueBeforeItIsSent_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("seen"); // each packet with the labels at its write

    if constexpr (program == Deliverable::Viewer) {
        QTest::newRow("drag") << QStringList {"drag calibxSlider 14 15"}
                              << QStringList {"calibX 14 | 14 25 5 155 1",
                                              "calibX 15 | 15 25 5 155 1"};
        QTest::newRow("EXP") << QStringList {"click expButton", "click expButton"}
                             << QStringList {"EXP 1 | 13 25 5 155 1", "EXP 2 | 13 25 5 155 2"};
        QTest::newRow("calibReset")
            << QStringList {"set calibxSlider 7", "set calibzSlider 9", "set pwmSlider 99",
                            "click cresetButton"}
            << QStringList {"calibX 7 | 7 25 5 155 1", "calibZ 9 | 7 25 9 155 1",
                            "PWM 99 | 7 25 9 99 1",    "calibX 13 | 13 25 9 99 1",
                            "calibZ 5 | 13 25 5 99 1", "calibReset | 13 25 5 99 1"};
        QTest::newRow("pwmReset") << QStringList {"key pwmSlider Left", "click irRstButton"}
                                  << QStringList {"PWM 154 | 13 25 5 154 1",
                                                  "PWM 155 | 13 25 5 155 1",
                                                  "pwmReset | 13 25 5 155 1"};
    } else if constexpr (program == Deliverable::Cam) {
        QTest::newRow("drag") << QStringList {"drag pwmSlider 150 149"}
                              << QStringList {"PWM 150 | 13 25 5 150", "PWM 149 | 13 25 5 149"};
        QTest::newRow("calibReset")
            << QStringList {"set calibySlider 2", "set pwmSlider 81", "click cresetButton"}
            << QStringList {"calibY 2 | 13 2 5 pwm", "PWM 81 | 13 2 5 81", "calibY 25 | 13 25 5 81",
                            "PWM 155 | 13 25 5 155", "calibReset | 13 25 5 155"};
    } else {
        QTest::newRow("drag") << QStringList {"drag pwmSlider 1 2"}
                              << QStringList {"PWM7 1 | 1", "PWM7 2 | 2"};
    }
}

void TestDeviceControls::labelsShowTheValueBeforeItIsSent()
{
    QFETCH(QStringList, actions);
    QFETCH(QStringList, seen);

    PseudoTerminal line;
    QVERIFY(line.isOpen());
    MessageLog log;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Start enables the controls; the packets then go to a port that watches the labels.
    QVERIFY(act(window, line, "start-fail"));
    WatchingPort port(line.slavePath(), window);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    MainWindowProbe::replacePort(window, &port);

    for (const QString &action : qAsConst(actions))
        QVERIFY2(act(window, line, action), qPrintable(action));
    QCOMPARE(port.seen, seen);
    QCOMPARE(droppedCommands(log), 0);
}

void TestDeviceControls::afterStartEnablesTheControls()
{
    QStringList controls;
    if constexpr (program == Deliverable::Qc)
        controls = QStringList {"pwmSlider"};
    else
        controls = QStringList {"qcButton",     "onButton",     "offButton",    "calibsetButton",
                                "calibxSlider", "calibySlider", "calibzSlider", "cresetButton",
                                "pwmSlider",    "expButton",    "verButton"};
    if constexpr (program == Deliverable::Viewer)
        controls << "irRstButton"
                 << "irSetButton";

    MainWindow window;
    const bool cameraButtons = window.findChild<QWidget *>("cameraButton")
        && window.findChild<QWidget *>("cameraButton")->isEnabled();
    for (const QString &name : controls) {
        auto *control = window.findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        QVERIFY2(!control->isEnabled(), qPrintable(name));
    }
    // Even a Start that fails to open its port enables them.
    PseudoTerminal line;
    QVERIFY(act(window, line, "start-fail"));
    for (const QString &name : controls)
        QVERIFY2(window.findChild<QWidget *>(name)->isEnabled(), qPrintable(name));
    if (auto *camera = window.findChild<QWidget *>("cameraButton"))
        QCOMPARE(camera->isEnabled(), cameraButtons);
}

QTEST_MAIN(TestDeviceControls)
#include "tst_devicecontrols.moc"
