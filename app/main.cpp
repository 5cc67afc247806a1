#include <QApplication>

#include "CommandLine.h"
#include "frmMain.h"

int main(int argc, char* argv[])
{
    // Read before any application object: only the window needs a display.
    const CommandLine command = CommandLine::Parse(CommandLine::ArgumentsOf(argc, argv));
    if (command.mode != CommandLine::Mode::Window) {
        QCoreApplication app(argc, argv);
        return command.RunWithoutWindow();
    }

    QApplication app(argc, argv);
    // Also the title of every message box that is given none.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));

    frmMain window;
    window.show();
    command.ChooseFileIn(window);
    return QApplication::exec();
}
