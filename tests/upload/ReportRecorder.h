#pragma once

#include "modTarnwick.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct Report
{
    std::int32_t number;
    std::string description;
    bool operator==(const Report&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Report& report)
{
    return out << report.number << " - " << report.description;
}

// Records every report made on this thread while it lives.
class ReportRecorder
{
public:
    ReportRecorder() = default;
    ReportRecorder(const ReportRecorder&) = delete;
    ReportRecorder& operator=(const ReportRecorder&) = delete;

    std::vector<Report> reports;

private:
    modTarnwick::ErrorReportScope scope_ { [this](std::int32_t number, const std::string& description) {
        reports.push_back({ number, description });
    } };
};
