#include <QApplication>
#include <QCoreApplication>

#include "CommandLine.h"
#include "OpenWithFile.h"
#include "ServiceChoice.h"
#include "Toolkit.h"
#include "frmMain.h"

namespace {

// The window, with the one file named on the command line chosen in it.
int RunWindow(int argc, char* argv[], const CommandLine& command)
{
    QApplication app(argc, argv);
    // Also the title of every message box that is given none.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));

    const ServiceChoice service = ServiceChoice::Choose(command.service);
    frmMain window(service.endpoint);
    window.show();
    // The user is there to be told: the window goes on with the next source,
    // and its dialog (Ctrl+L) mends the address.
    if (!service.refused.isEmpty())
        Toolkit::MsgBox(&window,
                        service.refused.join(u'\n')
                            + QStringLiteral("\n\nUploads go to %1, from %2.")
                                  .arg(service.endpoint.homePageUrl, service.SourceName()),
                        Toolkit::vbExclamation);
    const QStringList& files = command.files;
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
        return RunWindow(argc, argv, command);

    QCoreApplication app(argc, argv);
    return command.RunWithoutWindow();
}
