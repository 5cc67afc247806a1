#include <QApplication>

#include "frmMain.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Also the title of every message box that is given none.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));

    frmMain window;
    window.show();
    return QApplication::exec();
}
