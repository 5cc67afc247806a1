#include "WindowModule.h"

#include "CommandLine.h"

#include <QByteArray>

#include <cstdio>
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

// The first candidate that exists; else the installed one, whose absence
// dlerror() then names.
std::filesystem::path ModulePath()
{
    const std::vector<std::filesystem::path> candidates = WindowModule::Candidates(ProgramFolder());
    for (const std::filesystem::path& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::exists(candidate, error))
            return candidate;
    }
    return candidates.back();
}

} // namespace

std::vector<std::filesystem::path> WindowModule::Candidates(const std::filesystem::path& programFolder)
{
    const std::filesystem::path name(TARNWICK_WINDOW_MODULE);
    return {programFolder / name, (programFolder / TARNWICK_WINDOW_MODULE_FROM_BIN / name).lexically_normal()};
}

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
