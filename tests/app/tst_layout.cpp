// The window shell of each program: the widget inventory of its form, what the constructor
// changes in it, the scroll area following the window, the slot list and its binding by name,
// and the end of the event loop when the window closes. One source, built once per program; the
// tables of all four programs are here so that each program can prove the others' widgets absent.

#include "app/mainwindow.h"
#include "support/mainwindowprobe.h"
#include ENV_FORM_HEADER
#include "support/messagelog.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QSerialPort>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTranslator>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// How a widget's enabled flag comes out of the form and the constructor.
enum class Enabling {
    Enabled, // enabled throughout
    ByLayout, // disabled by the form itself
    ByConstructor, // enabled by the form, disabled by the constructor
    ByCamera, // disabled by the constructor, enabled again when camera 0 opened
};

enum class Align { None, Centre, Default };

struct WidgetRow
{
    const char *name;
    const char *className;
    const char *parent;
    QRect geometry; // a null rectangle is not checked (placed by the main window's layout)
    Enabling enabling;
    const char *text; // nullptr: the widget has no text
    Align align;
    int minimum, maximum, value; // sliders only
};

struct ProgramTable
{
    Deliverable deliverable;
    QSize windowSize;
    QSize canvasSize; // invalid: painted onto the window, no scroll area
    std::vector<WidgetRow> widgets;
    QStringList methods; // own signals and slots, in declaration order
};

constexpr int noRange = 0;
const QRect placedByWindow;

WidgetRow button(const char *name, QRect geometry, const char *text,
                 Enabling enabling = Enabling::Enabled)
{
    return {name, "QPushButton", "centralWidget", geometry, enabling,
            text, Align::None,   noRange,         noRange,  noRange};
}

WidgetRow label(const char *name, QRect geometry, const char *text, Align align = Align::Centre)
{
    return {name, "QLabel", "centralWidget", geometry, Enabling::Enabled,
            text, align,    noRange,         noRange,  noRange};
}

WidgetRow slider(const char *name, QRect geometry, int minimum, int maximum, int value,
                 Enabling enabling = Enabling::ByConstructor)
{
    return {name,    "QSlider",   "centralWidget", geometry, enabling,
            nullptr, Align::None, minimum,         maximum,  value};
}

WidgetRow plain(const char *name, const char *className, const char *parent, QRect geometry,
                Align align = Align::None)
{
    return {name,    className, parent,  geometry, Enabling::Enabled,
            nullptr, align,     noRange, noRange,  noRange};
}

// The start of every form: the port list and its two buttons.
std::vector<WidgetRow> head(int x, int y)
{
    return {
        plain("centralWidget", "QWidget", "MainWindow", placedByWindow),
        button("refreshButton", QRect(x + 180, y, 75, 23), "Refresh"),
        plain("portChooser", "QComboBox", "centralWidget", QRect(x, y, 171, 22)),
        button("startButton", QRect(x + 260, y, 75, 23), "Start"),
    };
}

std::vector<WidgetRow> tail(int width, int menuHeight)
{
    return {
        plain("menuBar", "QMenuBar", "MainWindow", QRect(0, 0, width, menuHeight)),
        plain("mainToolBar", "QToolBar", "MainWindow", placedByWindow),
        plain("statusBar", "QStatusBar", "MainWindow", placedByWindow),
    };
}

std::vector<WidgetRow> join(std::initializer_list<std::vector<WidgetRow>> parts)
{
    std::vector<WidgetRow> rows;
    for (const auto &part : parts)
        rows.insert(rows.end(), part.begin(), part.end());
    return rows;
}

const QStringList frameSignal {"public signal frameDone(QList<short>)",
                               "public signal moduleBytes(QByteArray)"};
const QStringList portSlots {"private slot refreshSerialPort()", "private slot dataAvailable()"};
const QStringList portButtonSlots {"private slot on_refreshButton_clicked()",
                                   "private slot on_startButton_clicked()"};
const QStringList deviceSlots {
    "private slot on_qcButton_pressed()",
    "private slot on_offButton_clicked()",
    "private slot on_onButton_clicked()",
    "private slot on_cameraButton_clicked()",
    "private slot on_camoffButton_clicked()",
    "private slot on_expButton_clicked()",
    "private slot on_calibxSlider_valueChanged(int)",
    "private slot on_calibySlider_valueChanged(int)",
    "private slot on_calibzSlider_valueChanged(int)",
    "private slot on_cresetButton_clicked()",
    "private slot on_verButton_clicked()",
    "private slot on_calibsetButton_clicked()",
    "private slot on_pwmSlider_valueChanged(int)",
};

const std::vector<ProgramTable> &programTables()
{
    static const std::vector<ProgramTable> tables {
        {Deliverable::Viewer, QSize(1054, 720), QSize(1001, 601),
         join(
             {head(10, 3),
              {
                  plain("scrollArea", "QScrollArea", "centralWidget", QRect(20, 64, 768, 440),
                        Align::Centre),
                  plain("scrollAreaWidgetContents", "QWidget", "scrollArea", QRect(0, 0, 766, 438)),
                  button("qcButton", QRect(353, 3, 75, 23), "QC", Enabling::ByConstructor),
                  button("offButton", QRect(530, 3, 58, 23), "LaserOFF", Enabling::ByConstructor),
                  button("onButton", QRect(586, 3, 58, 23), "LaserON", Enabling::ByConstructor),
                  button("cameraButton", QRect(950, 3, 75, 23), "CamON", Enabling::ByCamera),
                  button("camoffButton", QRect(874, 3, 75, 23), "CamOFF", Enabling::ByCamera),
                  button("expButton", QRect(642, 3, 46, 23), "EXP", Enabling::ByConstructor),
                  slider("calibxSlider", QRect(40, 38, 131, 19), 5, 22, 13),
                  slider("calibySlider", QRect(210, 38, 131, 19), 14, 48, 25),
                  slider("calibzSlider", QRect(380, 38, 131, 19), 1, 10, 5),
                  button("cresetButton", QRect(530, 35, 75, 23), "calibReset",
                         Enabling::ByConstructor),
                  label("xlabel", QRect(10, 38, 31, 16), "X"),
                  label("ylabel", QRect(180, 38, 31, 16), "Y"),
                  label("zlabel", QRect(350, 38, 31, 16), "Z"),
                  button("verButton", QRect(430, 3, 81, 23), "Ver", Enabling::ByConstructor),
                  button("calibsetButton", QRect(606, 35, 75, 23), "calibSet",
                         Enabling::ByConstructor),
                  slider("pwmSlider", QRect(730, 38, 131, 19), 80, 230, 155),
                  label("pwmlavel", QRect(700, 38, 31, 16), "pwm"),
                  button("irRstButton", QRect(874, 35, 75, 23), "pwmReset",
                         Enabling::ByConstructor),
                  button("irSetButton", QRect(950, 35, 75, 23), "pwmSet", Enabling::ByConstructor),
                  label("exlabel", QRect(690, 7, 41, 16), "ex"),
              },
              tail(1054, 24)}),
         frameSignal + portSlots + QStringList {"private slot displayRefresh()"} + portButtonSlots
             + deviceSlots
             + QStringList {"private slot on_irRstButton_clicked()",
                            "private slot on_irSetButton_clicked()"}},
        {Deliverable::Cam, QSize(1050, 700), QSize(1001, 601),
         join(
             {head(10, 3),
              {
                  plain("scrollArea", "QScrollArea", "centralWidget", QRect(13, 50, 761, 461),
                        Align::Centre),
                  plain("scrollAreaWidgetContents", "QWidget", "scrollArea", QRect(0, 0, 759, 459)),
                  button("qcButton", QRect(365, 3, 75, 23), "QC", Enabling::ByConstructor),
                  button("offButton", QRect(628, 3, 75, 23), "LaserOFF", Enabling::ByConstructor),
                  button("onButton", QRect(700, 3, 75, 23), "LaserON", Enabling::ByConstructor),
                  button("cameraButton", QRect(864, 3, 75, 23), "CamON", Enabling::ByCamera),
                  button("camoffButton", QRect(790, 3, 75, 23), "CamOFF", Enabling::ByCamera),
                  button("expButton", QRect(550, 3, 75, 23), "EXP", Enabling::ByConstructor),
                  slider("calibxSlider", QRect(50, 30, 131, 19), 1, 25, 13),
                  slider("calibySlider", QRect(230, 30, 131, 19), 1, 49, 25),
                  slider("calibzSlider", QRect(410, 30, 131, 19), 1, 15, 5),
                  button("cresetButton", QRect(790, 26, 75, 23), "calibReset",
                         Enabling::ByConstructor),
                  label("xlabel", QRect(20, 30, 31, 16), "X"),
                  label("ylabel", QRect(200, 29, 31, 20), "Y"),
                  label("zlabel", QRect(380, 30, 31, 16), "Z"),
                  button("verButton", QRect(446, 3, 81, 23), "Ver", Enabling::ByConstructor),
                  button("calibsetButton", QRect(864, 26, 75, 23), "calibSet",
                         Enabling::ByConstructor),
                  slider("pwmSlider", QRect(600, 30, 160, 19), 80, 230, 155),
                  label("pwmlavel", QRect(570, 30, 31, 16), "pwm"),
              },
              tail(1050, 24)}),
         frameSignal + portSlots + portButtonSlots + deviceSlots},
        {Deliverable::Qc, QSize(784, 550), QSize(1801, 801),
         join(
             {head(0, 0),
              {
                  plain("scrollArea", "QScrollArea", "centralWidget", QRect(10, 30, 751, 461),
                        Align::Default),
                  plain("scrollAreaWidgetContents", "QWidget", "scrollArea", QRect(0, 0, 749, 459)),
                  slider("pwmSlider", QRect(430, 5, 160, 22), 0, 100, 0, Enabling::ByLayout),
                  label("pwmValue", QRect(601, 9, 47, 12), "0", Align::Default),
                  button("qcButton", QRect(670, 4, 75, 20), "QC"),
              },
              tail(784, 21)}),
         frameSignal + portSlots + portButtonSlots
             + QStringList {"private slot on_qcButton_pressed()",
                            "private slot on_pwmSlider_valueChanged(int)"}},
        {Deliverable::Lite, QSize(1022, 897), QSize(), join({head(0, 0), tail(1022, 21)}),
         portSlots + portButtonSlots},
    };
    return tables;
}

const ProgramTable &thisProgram()
{
    const auto &tables = programTables();
    return *std::find_if(tables.begin(), tables.end(), [](const ProgramTable &table) {
        return table.deliverable == MainWindow::deliverable;
    });
}

const WidgetRow &rowNamed(const QString &name)
{
    const auto &widgets = thisProgram().widgets;
    return *std::find_if(widgets.begin(), widgets.end(),
                         [&](const WidgetRow &row) { return name == QLatin1String(row.name); });
}

// The widgets a program names itself; Qt's internal helpers are named "qt_...".
QStringList ownWidgetNames(const QWidget &window)
{
    QStringList names;
    for (const QWidget *widget : window.findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")))
            names.append(name);
    }
    names.sort();
    return names;
}

QString describe(const QMetaMethod &method)
{
    const char *access = method.access() == QMetaMethod::Public
        ? "public"
        : (method.access() == QMetaMethod::Protected ? "protected" : "private");
    const char *kind = method.methodType() == QMetaMethod::Signal ? "signal" : "slot";
    return QStringLiteral("%1 %2 %3")
        .arg(QLatin1String(access), QLatin1String(kind),
             QString::fromLatin1(method.methodSignature()));
}

int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x)
            colours.insert(rgb.pixel(x, y));
    }
    return colours.size();
}

// Records every text the form asks to translate, and hands it back marked so that the test can
// tell a translated text from a literal one.
class RecordingTranslator : public QTranslator
{
public:
    struct Request
    {
        QString context;
        QString source;
        bool hasDisambiguation;
        int n;
    };

    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        requests.append({QString::fromUtf8(context), QString::fromUtf8(sourceText),
                         disambiguation != nullptr, n});
        return QStringLiteral("[%1]").arg(QString::fromUtf8(sourceText));
    }

    mutable QList<Request> requests;
};

} // namespace

class FrameReceiver : public QObject
{
    Q_OBJECT

public slots:
    void take(QList<short> frame) { frames.append(frame); }

public:
    QList<QList<short>> frames;
};

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void buildsWithoutWarnings();
    void inventory_data();
    void inventory();
    void onlyOwnWidgets();
    void disabledControls();
    void form_data();
    void form();
    void formCreationOrder();
    void formTexts();
    void windowFrame();
    void canvasHost();
    void portListEmptyAfterStart();
#ifndef ENV_LITE
    void firstShowSetsScrollArea();
    void scrollAreaFollowsWindow_data();
    void scrollAreaFollowsWindow();
    void frameTypeQueues();
#endif
    void methods();
    void bindings_data();
    void bindings();
    void closingEndsEventLoop();
    void cleanupTestCase();

private:
    void addRows(bool afterConstruction);
    void checkRow(QWidget &top, bool afterConstruction);

    bool showWindow();

    // Each window costs a camera probe, so the tests share three: one never shown, one shown
    // (closed by the last test), and one whose connections the binding test takes apart.
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindow> shown;
    std::unique_ptr<MainWindow> unbound;
    QStringList buildWarnings;
};

void TestLayout::initTestCase()
{
    MessageLog log;
    window = std::make_unique<MainWindow>();
    buildWarnings = log.warnings();
    shown = std::make_unique<MainWindow>();
    unbound = std::make_unique<MainWindow>();
    QVERIFY(showWindow());
}

void TestLayout::cleanupTestCase()
{
    unbound.reset();
    shown.reset();
    window.reset();
}

bool TestLayout::showWindow()
{
    shown->show();
    return QTest::qWaitForWindowExposed(shown.get());
}

void TestLayout::buildsWithoutWarnings()
{
    // An on_ slot without its widget or signal shows up here as "No matching signal for on_...".
    QVERIFY2(buildWarnings.isEmpty(), qPrintable(buildWarnings.join(QLatin1Char('\n'))));
}

void TestLayout::addRows(bool afterConstruction)
{
    QTest::addColumn<QString>("name");
    for (const WidgetRow &row : thisProgram().widgets) {
        // The constructor replaces the scroll area's placeholder with the canvas label.
        if (afterConstruction && qstrcmp(row.name, "scrollAreaWidgetContents") == 0)
            continue;
        QTest::newRow(row.name) << QString::fromLatin1(row.name);
    }
}

void TestLayout::checkRow(QWidget &top, bool afterConstruction)
{
    QFETCH(QString, name);
    const WidgetRow &row = rowNamed(name);
    QWidget *widget = top.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->metaObject()->className(), row.className);

    if (qstrcmp(row.parent, "scrollArea") == 0) {
        auto *scrollArea = top.findChild<QScrollArea *>(QStringLiteral("scrollArea"));
        QVERIFY(scrollArea);
        QCOMPARE(scrollArea->widget(), widget);
    } else if (qstrcmp(row.parent, "MainWindow") == 0) {
        QCOMPARE(widget->parentWidget(), &top);
    } else {
        QVERIFY(widget->parentWidget());
        QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(row.parent));
        QCOMPARE(widget->parentWidget()->parentWidget(), &top);
    }

    if (!row.geometry.isNull())
        QCOMPARE(widget->geometry(), row.geometry);
    // Everything looks and reads as Qt's style makes it.
    QCOMPARE(widget->toolTip(), QString());
    QCOMPARE(widget->styleSheet(), QString());
    QVERIFY(!widget->testAttribute(Qt::WA_SetFont));

    bool enabled = row.enabling != Enabling::ByLayout;
    if (afterConstruction && row.enabling == Enabling::ByConstructor)
        enabled = false;
    if (afterConstruction && row.enabling == Enabling::ByCamera)
        enabled = MainWindowProbe::cameraOpen(*window);
    QCOMPARE(widget->isEnabled(), enabled);

    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), QString::fromLatin1(row.text));
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), QString::fromLatin1(row.text));
        const Qt::Alignment expected
            = row.align == Align::Centre ? Qt::Alignment(Qt::AlignCenter) : QLabel().alignment();
        QCOMPARE(label->alignment(), expected);
    }
    if (auto *slider = qobject_cast<QSlider *>(widget)) {
        QCOMPARE(slider->orientation(), Qt::Horizontal);
        QCOMPARE(slider->minimum(), row.minimum);
        QCOMPARE(slider->maximum(), row.maximum);
        QCOMPARE(slider->value(), row.value);
        QCOMPARE(slider->sliderPosition(), row.value);
        const QSlider plain;
        QCOMPARE(slider->hasTracking(), plain.hasTracking());
        QCOMPARE(slider->singleStep(), plain.singleStep());
        QCOMPARE(slider->pageStep(), plain.pageStep());
        QCOMPARE(slider->tickPosition(), plain.tickPosition());
        QCOMPARE(slider->tickInterval(), plain.tickInterval());
    }
    if (auto *scrollArea = qobject_cast<QScrollArea *>(widget)) {
        QCOMPARE(scrollArea->sizeIncrement(), QSize(0, 0));
        QCOMPARE(scrollArea->baseSize(), QSize(0, 0));
        QVERIFY(scrollArea->widgetResizable());
        const Qt::Alignment expected = row.align == Align::Centre ? Qt::Alignment(Qt::AlignCenter)
                                                                  : QScrollArea().alignment();
        QCOMPARE(scrollArea->alignment(), expected);
    }
    if (auto *comboBox = qobject_cast<QComboBox *>(widget)) {
        QCOMPARE(comboBox->count(), 0);
        // Editable, so that a port the system does not list can be typed in.
        QVERIFY(comboBox->isEditable());
    }
    if (name == QLatin1String("scrollAreaWidgetContents"))
        QCOMPARE(widget->sizeIncrement(), QSize(0, 0));
}

void TestLayout::inventory_data()
{
    addRows(true);
}

void TestLayout::inventory()
{
    checkRow(*window, true);
}

void TestLayout::onlyOwnWidgets()
{
    QStringList expected;
    for (const WidgetRow &row : thisProgram().widgets) {
        if (qstrcmp(row.name, "scrollAreaWidgetContents") != 0)
            expected.append(QString::fromLatin1(row.name));
    }
    expected.sort();
    QCOMPARE(ownWidgetNames(*window), expected);

    // Named once more against the other programs, so that a stray control names its origin.
    for (const ProgramTable &other : programTables()) {
        for (const WidgetRow &row : other.widgets) {
            if (!expected.contains(QLatin1String(row.name))) {
                QVERIFY2(!window->findChild<QObject *>(QString::fromLatin1(row.name)),
                         qPrintable(QStringLiteral("%1 from %2")
                                        .arg(QLatin1String(row.name),
                                             QLatin1String(deliverableName(other.deliverable)))));
            }
        }
    }
}

void TestLayout::disabledControls()
{
    // 15 in envviewer, 13 in envviewer_cam, none in the others (envviewer_qc's PWM slider comes
    // disabled from its form); the two camera buttons come back when camera 0 opened.
    const int byConstructor[] = {15, 13, 0, 0};
    int expected = byConstructor[int(MainWindow::deliverable)];
    if (MainWindowProbe::cameraOpen(*window))
        expected -= 2;
    QStringList disabled;
    for (const WidgetRow &row : thisProgram().widgets) {
        QWidget *widget = window->findChild<QWidget *>(QString::fromLatin1(row.name));
        if (widget && !widget->isEnabled() && row.enabling != Enabling::ByLayout)
            disabled.append(widget->objectName());
    }
    QCOMPARE(disabled.size(), expected);
}

void TestLayout::form_data()
{
    addRows(false);
}

void TestLayout::form()
{
    // The form alone, built on a bare main window: what the layout itself leaves behind.
    QMainWindow bare;
    Ui::MainWindow ui;
    ui.setupUi(&bare);
    checkRow(bare, false);
}

void TestLayout::formCreationOrder()
{
    QMainWindow bare;
    Ui::MainWindow ui;
    ui.setupUi(&bare);

    QStringList expected;
    QStringList windowChildren {"centralWidget", "menuBar", "mainToolBar", "statusBar"};
    for (const WidgetRow &row : thisProgram().widgets) {
        if (qstrcmp(row.parent, "centralWidget") == 0)
            expected.append(QString::fromLatin1(row.name));
    }
    QStringList created;
    for (const QObject *child : ui.centralWidget->children())
        created.append(child->objectName());
    QCOMPARE(created, expected);

    // No tab order is set, so the focus chain follows creation order.
    QStringList focusOrder;
    for (QWidget *w = bare.nextInFocusChain(); w != &bare; w = w->nextInFocusChain()) {
        if (w->parentWidget() == ui.centralWidget)
            focusOrder.append(w->objectName());
    }
    QCOMPARE(focusOrder, expected);

    QStringList createdOnWindow;
    for (const QObject *child : bare.children()) {
        if (windowChildren.contains(child->objectName()))
            createdOnWindow.append(child->objectName());
    }
    QCOMPARE(createdOnWindow, windowChildren);
    QCOMPARE(bare.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(bare.size(), thisProgram().windowSize);
}

void TestLayout::formTexts()
{
    RecordingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    // Qt itself asks for its layout direction on a language change; only the form's own
    // requests count.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
    translator.requests.clear();
    QMainWindow bare;
    Ui::MainWindow ui;
    ui.setupUi(&bare);
    QCoreApplication::removeTranslator(&translator);

    QStringList expected {"Orlo Module Env Viewer"};
    for (const WidgetRow &row : thisProgram().widgets) {
        if (row.text)
            expected.append(QString::fromLatin1(row.text));
    }
    QStringList asked;
    for (const auto &request : translator.requests) {
        QCOMPARE(request.context, QStringLiteral("MainWindow"));
        QVERIFY(!request.hasDisambiguation);
        QCOMPARE(request.n, -1);
        asked.append(request.source);
    }
    QCOMPARE(asked, expected);
    QCOMPARE(bare.windowTitle(), QStringLiteral("[Orlo Module Env Viewer]"));
    QCOMPARE(ui.startButton->text(), QStringLiteral("[Start]"));
}

void TestLayout::windowFrame()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Orlo Module Env Viewer"));
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->size(), thisProgram().windowSize);
    QCOMPARE(window->centralWidget(),
             window->findChild<QWidget *>(QStringLiteral("centralWidget")));
    QCOMPARE(window->menuBar(), window->findChild<QMenuBar *>(QStringLiteral("menuBar")));
    QCOMPARE(window->statusBar(), window->findChild<QStatusBar *>(QStringLiteral("statusBar")));
    auto *toolBar = window->findChild<QToolBar *>(QStringLiteral("mainToolBar"));
    QVERIFY(toolBar);
    QCOMPARE(window->toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(toolBar->actions().isEmpty());
    QVERIFY(window->menuBar()->actions().isEmpty());
    QVERIFY(window->statusBar()->currentMessage().isEmpty());
}

void TestLayout::canvasHost()
{
    const QSize canvasSize = thisProgram().canvasSize;
    auto *scrollArea = window->findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    if (!canvasSize.isValid()) {
        // Painted straight onto the window: no scroll area, no label.
        QVERIFY(!scrollArea);
        QVERIFY(window->findChildren<QLabel *>().isEmpty());

        QVERIFY(showWindow());
        const QImage onWindow = shown->grab().toImage();
        const QImage canvas = MainWindowProbe::displayPixmap(*shown).toImage();
        QCOMPARE(canvas.size(), QSize(1001, 801));
        // Below the buttons and above the status bar the window shows the canvas from (10, 61).
        const QRect visible(0, 60, 1000, 700);
        // The background has bands and a grid, so a blank window cannot pass for it.
        QVERIFY(colourCount(canvas.copy(visible)) > 1);
        QCOMPARE(onWindow.copy(visible.translated(10, 61)).convertToFormat(QImage::Format_RGB32),
                 canvas.copy(visible).convertToFormat(QImage::Format_RGB32));
        return;
    }
    QVERIFY(scrollArea);
    auto *canvasLabel = qobject_cast<QLabel *>(scrollArea->widget());
    QVERIFY(canvasLabel);
    QVERIFY(canvasLabel->objectName().isEmpty());
    QCOMPARE(canvasLabel->pixmap(Qt::ReturnByValue).size(), canvasSize);
    QVERIFY(!window->findChild<QWidget *>(QStringLiteral("scrollAreaWidgetContents")));
}

void TestLayout::portListEmptyAfterStart()
{
    QVERIFY(showWindow());
    QCoreApplication::processEvents();
    auto *portChooser = shown->findChild<QComboBox *>(QStringLiteral("portChooser"));
    QVERIFY(portChooser);
    QCOMPARE(portChooser->count(), 0);
    QVERIFY(portChooser->currentText().isEmpty());
    // No port is opened, or even created, before Start.
    QVERIFY(shown->findChildren<QSerialPort *>().isEmpty());
}

#ifndef ENV_LITE
void TestLayout::firstShowSetsScrollArea()
{
    // The window was shown at its design size and not resized since: the resize event of the
    // first show already overrides the form's geometry of the scroll area.
    QVERIFY(showWindow());
    QCOMPARE(shown->size(), thisProgram().windowSize);
    auto *scrollArea = shown->findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    QVERIFY(scrollArea);
    QTRY_COMPARE(scrollArea->size(), thisProgram().windowSize - QSize(50, 100));
    QCOMPARE(scrollArea->pos(), rowNamed(QStringLiteral("scrollArea")).geometry.topLeft());
}

void TestLayout::scrollAreaFollowsWindow_data()
{
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<bool>("throughEvent");
    QTest::addColumn<QSize>("scrollSize");

    const QSize design = thisProgram().windowSize;
    QTest::newRow("larger") << QSize(1300, 950) << false << QSize(1250, 850);
    QTest::newRow("smaller") << design - QSize(200, 150) << false << design - QSize(250, 250);
    QTest::newRow("back to design") << design << false << design - QSize(50, 100);
    // A shown main window keeps its layout's minimum size, so sizes below it reach the handler
    // only as an event.
    QTest::newRow("exactly the margin") << QSize(50, 100) << true << QSize(0, 0);
    QTest::newRow("narrower than the margin") << QSize(30, 400) << true << QSize(0, 300);
    QTest::newRow("lower than the margin") << QSize(400, 60) << true << QSize(350, 0);
    QTest::newRow("empty") << QSize(0, 0) << true << QSize(0, 0);
}

void TestLayout::scrollAreaFollowsWindow()
{
    QFETCH(QSize, windowSize);
    QFETCH(bool, throughEvent);
    QFETCH(QSize, scrollSize);

    QVERIFY(showWindow());
    MainWindow &w = *shown;
    auto *scrollArea = w.findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    QVERIFY(scrollArea);
    const QPoint designPlace = rowNamed(QStringLiteral("scrollArea")).geometry.topLeft();

    if (throughEvent) {
        QResizeEvent event(windowSize, w.size());
        QCoreApplication::sendEvent(&w, &event);
    } else {
        w.resize(windowSize);
        QTRY_COMPARE(w.size(), windowSize);
    }
    QTRY_COMPARE(scrollArea->size(), scrollSize);
    QCOMPARE(scrollArea->pos(), designPlace);
}

void TestLayout::frameTypeQueues()
{
    // The frame crosses a queued connection only if its type is known to the meta-type system
    // under the name the string-based connections use.
    FrameReceiver receiver;
    QVERIFY(QObject::connect(window.get(), SIGNAL(frameDone(QList<short>)), &receiver,
                             SLOT(take(QList<short>)), Qt::QueuedConnection));
    const QList<short> frame {-32768, 0, 1, 32767, -1};
    MessageLog log;
    emit window->frameDone(frame);
    QCOMPARE(receiver.frames.size(), 0);
    QTRY_COMPARE(receiver.frames.size(), 1);
    QCOMPARE(receiver.frames.first(), frame);
    QCOMPARE(log.warnings(), QStringList());
    const int type = QMetaType::type("QList<short>");
    QVERIFY(type != QMetaType::UnknownType);
    QCOMPARE(type, qMetaTypeId<QList<short>>());
    QObject::disconnect(window.get(), nullptr, &receiver, nullptr);
}
#endif

void TestLayout::methods()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QStringList declared;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        declared.append(describe(meta.method(i)));
    QCOMPARE(declared, thisProgram().methods);

    const int slotCounts[] = {20, 17, 6, 4};
    const int slotCount = int(std::count_if(declared.begin(), declared.end(), [](const QString &m) {
        return m.startsWith(QLatin1String("private slot "));
    }));
    QCOMPARE(slotCount, slotCounts[int(MainWindow::deliverable)]);
    QCOMPARE(meta.indexOfSignal("frameDone(QList<short>)") >= 0,
             MainWindow::deliverable != Deliverable::Lite);
    QVERIFY(window->inherits("MainWindow"));
    QCOMPARE(window->qt_metacast("MainWindow"), static_cast<void *>(window.get()));
}

void TestLayout::bindings_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("signal");
    for (QString method : thisProgram().methods) {
        method = method.section(QLatin1Char(' '), 2);
        if (!method.startsWith(QLatin1String("on_")))
            continue;
        const QString nameAndSignal = method.mid(3);
        const int split = nameAndSignal.indexOf(QLatin1Char('_'));
        QTest::newRow(qPrintable(method))
            << method << nameAndSignal.left(split) << nameAndSignal.mid(split + 1);
    }
}

void TestLayout::bindings()
{
    QFETCH(QString, slot);
    QFETCH(QString, objectName);
    QFETCH(QString, signal);

    QObject *sender = unbound->findChild<QObject *>(objectName);
    QVERIFY2(sender, qPrintable(objectName));
    const QByteArray signalCode = QByteArray::number(QSIGNAL_CODE) + signal.toLatin1();
    const QByteArray slotCode = QByteArray::number(QSLOT_CODE) + slot.toLatin1();
    // Disconnecting succeeds only where binding by name made the connection.
    QVERIFY2(
        QObject::disconnect(sender, signalCode.constData(), unbound.get(), slotCode.constData()),
        qPrintable(QStringLiteral("%1 is not bound to %2::%3").arg(slot, objectName, signal)));
}

void TestLayout::closingEndsEventLoop()
{
    // The shared shown window is the only visible one; the other two were never shown.
    QVERIFY(showWindow());
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    QTimer::singleShot(0, shown.get(), &QWidget::close);
    // Should the loop not end, the guard ends it with a code of its own instead of hanging.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(77); });
    guard.start(10000);
    const int code = QApplication::exec();
    QCOMPARE(code, 0);
    QCOMPARE(lastClosed.count(), 1);
    QVERIFY(!shown->isVisible());
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
