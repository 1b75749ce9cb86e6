#include "app/mainwindow.h"

#include ENV_FORM_HEADER

#ifdef ENV_HAS_DEVICE_CONTROLS
#include "control/devicesettings.h"
#endif

#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QSerialPort>
#include <QStyle>

#ifndef ENV_LITE
namespace {

// Where the label shows its pixmap.
QRect imageRect(const QLabel *label)
{
    return QStyle::alignedRect(label->layoutDirection(), label->alignment(),
                               label->pixmap(Qt::ReturnByValue).size(), label->contentsRect());
}

// Lets the image's label paint all of itself, so that Qt stops filling the scroll area's
// background under the whole image before every frame is shown: the label's own paint covers the
// image's place, and this fills the rest of the label (where it is larger than the image) as the
// scroll area would.
class LabelMarginFill : public QObject
{
public:
    explicit LabelMarginFill(QLabel *label)
        : QObject(label)
    {
        label->setAttribute(Qt::WA_OpaquePaintEvent);
        label->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        const auto *label = static_cast<QLabel *>(watched);
        QRegion margin = static_cast<QPaintEvent *>(event)->region();
        margin -= imageRect(label);
        if (margin.isEmpty())
            return false;
        const QWidget *area = label->parentWidget();
        QPainter painter(static_cast<QWidget *>(watched));
        painter.setBrushOrigin(-label->pos());
        for (const QRect &rect : margin)
            painter.fillRect(rect, area->palette().brush(area->backgroundRole()));
        return false;
    }
};

} // namespace
#endif

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
#ifdef ENV_HAS_FRAMEDONE
    qRegisterMetaType<QList<short>>("QList<short>");
#endif
#if defined(ENV_HAS_DEVICE_CONTROLS) && !defined(ENV_HAS_DISPLAYREFRESH)
    // Without displayRefresh the settings get their values once, here, and the exposure cycle
    // starts at 0.
    pwmLevel = deviceDefaults.pwmLevel;
    expStep = 0;
    calibX = deviceDefaults.calibX;
    calibY = deviceDefaults.calibY;
    calibZ = deviceDefaults.calibZ;
    verToggle = deviceDefaults.verToggle;
#endif

    ui->setupUi(this);

#ifdef ENV_LITE
    // The paint handler fills what Qt would fill, except under the image, which covers its place
    // whole: a frame end repaints only the image, and filling it first costs as much again.
    setAttribute(Qt::WA_OpaquePaintEvent);
    renderer.frameShown = [this](const QList<short> &, const QRegion &changed) {
        repaint(changed.translated(canvasOrigin));
    };
#else
    canvasLabel = new QLabel;
    canvasLabel->setPixmap(renderer.shownPixmap());
    new LabelMarginFill(canvasLabel);
    ui->scrollArea->setWidget(canvasLabel);
    // The label's own pixmap shows the canvas' pixels, which change at each frame end, and the
    // label repaints only what changed: handing it a new pixmap would repaint all of it. (The
    // label keeps the pixmap object it was given and only reads it.)
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    renderer.showIn(const_cast<QPixmap *>(canvasLabel->pixmap()));
    QT_WARNING_POP
    renderer.frameShown = [this](const QList<short> &frame, const QRegion &changed) {
        canvasLabel->repaint(changed.translated(imageRect(canvasLabel).topLeft()));
#ifdef ENV_HAS_FRAMEDONE
        emit frameDone(frame);
#else
        Q_UNUSED(frame)
#endif
    };
#endif

#ifdef ENV_HAS_DEVICE_CONTROLS
    const QList<QWidget *> deviceControls {
        ui->onButton,       ui->offButton,    ui->cameraButton, ui->camoffButton, ui->qcButton,
        ui->calibsetButton, ui->calibxSlider, ui->calibySlider, ui->calibzSlider, ui->cresetButton,
        ui->pwmSlider,      ui->expButton,    ui->verButton,
#ifdef ENV_HAS_PWM_BUTTONS
        ui->irRstButton,    ui->irSetButton,
#endif
    };
    for (QWidget *control : deviceControls)
        control->setEnabled(false);
#endif

#ifdef ENV_HAS_CAMERA
    setUpCamera();
#endif
}

MainWindow::~MainWindow()
{
    // The base class deletes the ports Start created; one that reports an error as it closes must
    // not reach this window, which is gone by then.
    serialPort = nullptr;
    for (QSerialPort *port : findChildren<QSerialPort *>(QString(), Qt::FindDirectChildrenOnly))
        port->disconnect(this);
    delete ui;
}

#ifdef ENV_LITE
bool MainWindow::event(QEvent *event)
{
    // The main window paints only the separators of its dock areas, and this window has none: a
    // painter of its own at every frame would cost as much as the frame's own paint setup.
    if (event->type() == QEvent::Paint)
        return QWidget::event(event);
    return QMainWindow::event(event);
}

void MainWindow::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    const QRegion margin = event->region() - renderer.shownPixmap().rect().translated(canvasOrigin);
    for (const QRect &rect : margin)
        painter.fillRect(rect, palette().brush(backgroundRole()));
    painter.drawPixmap(canvasOrigin, renderer.shownPixmap());
}
#else
void MainWindow::resizeEvent(QResizeEvent *event)
{
    // Only the scroll area follows the window; everything else keeps its designed place.
    const QSize size = event->size();
    ui->scrollArea->resize(qMax(0, size.width() - 50), qMax(0, size.height() - 100));
}
#endif
