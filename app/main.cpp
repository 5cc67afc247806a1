#include <QCoreApplication>

#include "CommandLine.h"
#include "WindowModule.h"

int main(int argc, char* argv[])
{
    // Read before any application object: only the window needs a display,
    // and only the window loads the GUI libraries, with its module.
    const CommandLine command = CommandLine::Parse(CommandLine::ArgumentsOf(argc, argv));
    if (command.mode == CommandLine::Mode::Window)
        return WindowModule::Run(argc, argv, command.files);

    QCoreApplication app(argc, argv);
    return command.RunWithoutWindow();
}
