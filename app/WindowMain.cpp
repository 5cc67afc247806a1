// The window's module: what main() does for the window, once the program has
// loaded the GUI libraries for it.

#include "OpenWithFile.h"
#include "WindowModule.h"
#include "frmMain.h"

#include <QApplication>

int TarnwickWindowMain(int argc, char* argv[], const char* file)
{
    QApplication app(argc, argv);
    // Also the title of every message box that is given none.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));

    frmMain window;
    window.show();
    if (file)
        ChooseFileIn(window, QString::fromUtf8(file));
    return QApplication::exec();
}
