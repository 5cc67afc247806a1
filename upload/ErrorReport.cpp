#include "TrappedFailure.h"
#include "modTarnwick.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace modTarnwick {

namespace {

thread_local ErrorReportScope* innermostScope = nullptr;

} // namespace

ErrorReportScope::ErrorReportScope(ErrorReporter reporter)
    : m_reporter(std::move(reporter))
    , m_outer(innermostScope)
{
    innermostScope = this;
}

ErrorReportScope::~ErrorReportScope()
{
    innermostScope = m_outer;
}

void ReportError(std::int32_t number, const std::string& description)
{
    if (innermostScope && innermostScope->m_reporter) {
        innermostScope->m_reporter(number, description);
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
