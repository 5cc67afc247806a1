#include "WindowModule.h"

#include "CommandLine.h"

#include <QByteArray>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>

namespace {

// Known before any application object exists, which applicationDirPath() is not.
std::filesystem::path ProgramFolder()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

// Beside the program if it is there, as in a build tree; else where it is
// installed, whose absence dlerror() then names.
std::filesystem::path ModulePath()
{
    const std::filesystem::path folder = ProgramFolder();
    const std::filesystem::path name(TARNWICK_WINDOW_MODULE);
    std::error_code error;
    if (std::filesystem::exists(folder / name, error))
        return folder / name;
    return (folder / TARNWICK_WINDOW_MODULE_FROM_BIN / name).lexically_normal();
}

} // namespace

int WindowModule::Run(int argc, char* argv[], const QStringList& files)
{
    using Entry = decltype(&TarnwickWindowMain);
    // Every symbol bound now, so that a broken module fails here with its reason.
    void* module = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto entry = module ? reinterpret_cast<Entry>(dlsym(module, EntryName)) : nullptr;
    if (!entry) {
        const char* reason = dlerror();
        std::fprintf(stderr, "tarnwick-uploader: cannot open the window: %s\n", reason ? reason : "no entry");
        return CommandLine::ExitFailure;
    }
    const QByteArray file = files.value(0).toUtf8();
    return entry(argc, argv, files.isEmpty() ? nullptr : file.constData());
}
