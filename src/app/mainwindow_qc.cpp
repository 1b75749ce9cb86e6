#include "app/mainwindow.h"

#include "qc/qcdialog.h"

void MainWindow::on_qcButton_pressed()
{
    auto *dialog = new QcDialog(this);
    // A closed dialog has nothing more to show; it goes instead of counting frames unseen.
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    connect(this, SIGNAL(frameDone(QList<short>)), dialog, SLOT(frameDone(QList<short>)));
    dialog->show();
}
