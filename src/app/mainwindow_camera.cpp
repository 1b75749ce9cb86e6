#include "app/mainwindow.h"

#include ENV_FORM_HEADER

#include <QCloseEvent>

void MainWindow::setUpCamera()
{
    // The camera is opened once: without it at start-up both buttons stay disabled for good.
    const bool opened = openCamera(*camera);
    ui->cameraButton->setEnabled(opened);
    ui->camoffButton->setEnabled(opened);
}

void MainWindow::on_cameraButton_clicked()
{
    preview.start();
}

void MainWindow::on_camoffButton_clicked()
{
    preview.stop();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The preview ends with the main window and its window goes along.
    preview.closeAllWindows();
    event->accept();
}
