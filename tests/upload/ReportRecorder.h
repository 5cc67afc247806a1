#pragma once

#include "modTarnwick.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct Report {
    std::int32_t number;
    std::string description;
    bool operator==(const Report&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Report& report)
{
    return out << report.number << " - " << report.description;
}

// Records every report while it lives, then puts the default reporter back.
class ReportRecorder {
public:
    ReportRecorder()
    {
        modTarnwick::SetErrorReporter([this](std::int32_t number, const std::string& description) {
            reports.push_back({number, description});
        });
    }
    ~ReportRecorder() { modTarnwick::SetErrorReporter({}); }
    ReportRecorder(const ReportRecorder&) = delete;
    ReportRecorder& operator=(const ReportRecorder&) = delete;

    std::vector<Report> reports;
};
