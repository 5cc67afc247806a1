#include <QApplication>
#include <QCoreApplication>

#include "CommandLine.h"
#include "OpenWithFile.h"
#include "frmMain.h"

namespace {

// The window, with the one file named on the command line chosen in it.
int RunWindow(int argc, char* argv[], const QStringList& files)
{
    QApplication app(argc, argv);
    // Also the title of every message box that is given none.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));

    frmMain window;
    window.show();
    if (!files.isEmpty())
        ChooseFileIn(window, files.first());
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    // Read before any application object: only the window needs a display.
    // --print, --help and --version run on a QCoreApplication, which never
    // opens one.
    const CommandLine command = CommandLine::Parse(CommandLine::ArgumentsOf(argc, argv));
    if (command.mode == CommandLine::Mode::Window)
        return RunWindow(argc, argv, command.files);

    QCoreApplication app(argc, argv);
    return command.RunWithoutWindow();
}
