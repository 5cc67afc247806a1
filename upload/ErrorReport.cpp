#include "modTarnwick.h"
#include "TrappedFailure.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace modTarnwick {

namespace {

ErrorReporter& InstalledReporter()
{
    static ErrorReporter reporter;
    return reporter;
}

} // namespace

void SetErrorReporter(ErrorReporter reporter)
{
    InstalledReporter() = std::move(reporter);
}

void ReportError(std::int32_t number, const std::string& description)
{
    // A copy, so that a reporter may replace itself while it runs.
    if (const ErrorReporter reporter = InstalledReporter()) {
        reporter(number, description);
        return;
    }
    const std::string line = std::to_string(number) + " - " + description + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void ReportTrapped(std::int32_t number, const char* description) noexcept
{
    try {
        ReportError(number, description);
    } catch (...) {
        // Nobody is left to tell.
    }
}

void ReportTrappedErrno(int number) noexcept
{
    ReportTrapped(number, std::strerror(number));
}

} // namespace modTarnwick
