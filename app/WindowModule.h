#pragma once

// The window lives in a module of its own, which the program loads only when
// the window is asked for: the other modes start without the GUI libraries.

#include <QStringList>
#include <QtGlobal>

// The module's entry, as main() hands over: makes the application object and
// the window, has file chosen in it (UTF-8; null for none), runs the event
// loop and returns its exit code.
extern "C" Q_DECL_EXPORT int TarnwickWindowMain(int argc, char* argv[], const char* file);

namespace WindowModule {

inline constexpr const char* EntryName = "TarnwickWindowMain";

// Loads the module, from beside the program as in a build tree or else from
// where it is installed relative to the program's folder, and runs the
// window with the one file of files chosen in it (files: none or one, as
// parsed). A module that cannot be loaded is told in one line on standard
// error, with the exit status of a failure.
int Run(int argc, char* argv[], const QStringList& files);

} // namespace WindowModule
