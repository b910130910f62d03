// The desktop program: the window shows itself once the configuration has
// been read and checked.
#include "app/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    MainWindow window;
    return application.exec();
}
