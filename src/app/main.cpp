#include "app/mainwindow.h"

#ifdef ENV_HAS_QC
#include "qc/apppath.h"
#endif

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
#ifdef ENV_HAS_QC
    // The quality-check plan is looked for beside the path the program was started by.
    appPath = argc > 0 && argv[0] ? QString::fromUtf8(argv[0]) : QString();
#endif
    MainWindow window;
    window.show();
    return application.exec();
}
