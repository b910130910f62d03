// The desktop program: the window shows itself once the configuration has
// been read and checked.
#include "app/MainWindow.h"
#include "diagnostics/Diagnostics.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // The diagnostics go on to standard error as before, and to the log file
    // for support: a program started from the desktop menu has no terminal.
    diagnostics::start(QStringLiteral("mirdal"));
    MainWindow window;
    return application.exec();
}
