#include "app/mainwindow.h"

#include "link/serialnames.h"
#include "qc/qcdialog.h"
#include "qc/qcplan.h"

#include <QSerialPort>

void MainWindow::on_qcButton_pressed()
{
    auto *dialog = new QcDialog(qcConfigDir(programPath_), this);
    // The dialog is modal: the port stays the same until it closes.
    dialog->setRecordSource(
        deliverable, serialPort ? SerialLine::recordedName(serialPort->portName()) : QString());
    // A closed dialog has nothing more to show; it goes instead of counting frames unseen.
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    connect(this, SIGNAL(frameDone(QList<short>)), dialog, SLOT(frameDone(QList<short>)));
    connect(this, SIGNAL(moduleBytes(QByteArray)), dialog, SLOT(moduleBytes(QByteArray)));
    dialog->show();
}
