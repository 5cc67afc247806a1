#pragma once

// Reporting from inside a routine's own failure trap. The trap promises that
// nothing leaves the routine, so a reporter that throws is silenced here.

#include <cstdint>

namespace modTarnwick {

void ReportTrapped(std::int32_t number, const char* description) noexcept;

// The system's error number with its strerror text, e.g. "2 - No such file or directory".
void ReportTrappedErrno(int number) noexcept;

} // namespace modTarnwick
