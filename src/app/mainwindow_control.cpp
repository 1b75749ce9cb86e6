// The device controls of the main window: each one sends its command packet at once on the port
// of the latest Start.

#include "app/mainwindow.h"
#include "control/commandpacket.h"
#include "control/devicesettings.h"

#include ENV_FORM_HEADER

#include <QSerialPort>

#ifdef ENV_HAS_DEVICE_CONTROLS
namespace {
// The controls that every Start enables; the camera buttons depend on the camera alone.
QList<QWidget *> deviceControls(Ui::MainWindow *ui)
{
    return {ui->qcButton,     ui->onButton,     ui->offButton,    ui->calibsetButton,
            ui->calibxSlider, ui->calibySlider, ui->calibzSlider, ui->cresetButton,
            ui->pwmSlider,    ui->expButton,    ui->verButton};
}
} // namespace
#endif

void MainWindow::afterStart()
{
#if defined(ENV_HAS_DISPLAYREFRESH)
    displayRefresh();
#elif defined(ENV_HAS_DEVICE_CONTROLS)
    // The settings keep what the constructor or the controls gave them; only the calibration
    // labels show the defaults again.
    for (QWidget *control : deviceControls(ui))
        control->setEnabled(true);
    ui->xlabel->setText(QString::number(deviceDefaults.calibX));
    ui->ylabel->setText(QString::number(deviceDefaults.calibY));
    ui->zlabel->setText(QString::number(deviceDefaults.calibZ));
#elif defined(ENV_HAS_PWM_SLIDER)
    ui->pwmSlider->setEnabled(true);
#endif
}

void MainWindow::sendCommand(const QByteArray &packet)
{
    ::sendCommand(serialPort, packet);
}

#ifdef ENV_HAS_DISPLAYREFRESH
void MainWindow::displayRefresh()
{
    // Settings and labels go back to the defaults; the sliders stay where they are and nothing is
    // sent, so the module keeps what it was last told.
    pwmLevel = deviceDefaults.pwmLevel;
    expStep = deviceDefaults.expStep;
    calibX = deviceDefaults.calibX;
    calibY = deviceDefaults.calibY;
    calibZ = deviceDefaults.calibZ;
    verToggle = deviceDefaults.verToggle;

    for (QWidget *control : deviceControls(ui))
        control->setEnabled(true);

    ui->xlabel->setText(QString::number(calibX));
    ui->ylabel->setText(QString::number(calibY));
    ui->zlabel->setText(QString::number(calibZ));
    ui->pwmlavel->setText(QString::number(pwmLevel));
    ui->exlabel->setText(QString::number(expStep));

    ui->irRstButton->setEnabled(true);
    ui->irSetButton->setEnabled(true);
}
#endif

#ifdef ENV_HAS_DEVICE_CONTROLS
void MainWindow::on_offButton_clicked()
{
    sendCommand(buildPacket(Command::LaserOff));
}

void MainWindow::on_onButton_clicked()
{
    sendCommand(buildPacket(Command::LaserOn));
}

void MainWindow::on_expButton_clicked()
{
#ifdef ENV_HAS_DISPLAYREFRESH
    ui->exlabel->setText(QString::number(expStep));
#endif
    sendCommand(buildPacket(Command::Exposure, expStep));
    expStep = nextExposureStep(expStep);
}

void MainWindow::on_calibxSlider_valueChanged(int value)
{
    ui->xlabel->setText(QString::number(value));
    calibX = quint8(value);
    sendCommand(buildPacket(Command::CalibX, value));
}

void MainWindow::on_calibySlider_valueChanged(int value)
{
    ui->ylabel->setText(QString::number(value));
    calibY = quint8(value);
    sendCommand(buildPacket(Command::CalibY, value));
}

void MainWindow::on_calibzSlider_valueChanged(int value)
{
    ui->zlabel->setText(QString::number(value));
    calibZ = quint8(value);
    sendCommand(buildPacket(Command::CalibZ, value));
}

void MainWindow::on_cresetButton_clicked()
{
    // Moving a slider runs its own slot at once, so each calibration packet (only for a slider
    // that really moves) goes out before the reset packet.
    ui->calibxSlider->setValue(deviceDefaults.calibX);
    ui->calibySlider->setValue(deviceDefaults.calibY);
    ui->calibzSlider->setValue(deviceDefaults.calibZ);
    if constexpr (deliverable == Deliverable::Cam)
        ui->pwmSlider->setValue(deviceDefaults.pwmLevel);
    sendCommand(buildPacket(Command::CalibReset));
}

void MainWindow::on_verButton_clicked()
{
    sendCommand(buildPacket(Command::Ver, verToggle));
    verToggle = nextVerToggle(verToggle);
}

void MainWindow::on_calibsetButton_clicked()
{
    sendCommand(buildPacket(Command::CalibSet));
}
#endif

#ifdef ENV_HAS_PWM_SLIDER
void MainWindow::on_pwmSlider_valueChanged(int value)
{
#ifdef ENV_HAS_DEVICE_CONTROLS
    ui->pwmlavel->setText(QString::number(value));
    pwmLevel = quint8(value);
    sendCommand(buildPacket(Command::Pwm, value));
#else
    ui->pwmValue->setText(QString::number(value));
    sendCommand(buildPacket(Command::QcPwm, value));
#endif
}
#endif

#ifdef ENV_HAS_PWM_BUTTONS
void MainWindow::on_irRstButton_clicked()
{
    ui->pwmSlider->setValue(deviceDefaults.pwmLevel);
    sendCommand(buildPacket(Command::PwmReset));
}

void MainWindow::on_irSetButton_clicked()
{
    sendCommand(buildPacket(Command::PwmSet));
}
#endif
