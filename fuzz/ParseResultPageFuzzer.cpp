// Any page: eight slots and no report, or no slots and exactly one report of
// number 5. A section missing from the page shows "n.a" in all its slots, and
// the slots that are cut without decoding are text of the page. The same
// bytes read as a whole answer: a head no longer than the answer (and, where
// it ends, than the limit), and a reason no longer than the page.

#include "modTarnwick.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Report
{
    std::int32_t number;
    std::string description;
};

std::vector<Report>& Reports()
{
    static std::vector<Report> reports;
    return reports;
}

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "ParseResultPage broke its promise: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string page(reinterpret_cast<const char*>(data), size);
    Reports().clear();
    const modTarnwick::ErrorReportScope recordReports([](std::int32_t number, const std::string& description) {
        Reports().push_back({ number, description });
    });
    const modTarnwick::AnswerHead head = modTarnwick::ReadAnswerHead(page);
    Require(head.size <= page.size(), "the head lies inside the answer");
    Require(head.status >= 0 && head.status <= 999, "a status of three digits at most");
    const std::size_t headSize = modTarnwick::AnswerHeadSize(page);
    Require(headSize == std::string::npos
                || (headSize > 0 && headSize <= std::min(page.size(), modTarnwick::kMaxAnswerHeadBytes)),
            "a head that ends lies inside the answer and the limit");
    // Decoding only shortens: "&#x10FFFF;" is ten bytes for four.
    Require(modTarnwick::PageReason(page).size() <= page.size(), "the reason is no longer than the page");

    const modTarnwick::LinkSet links = modTarnwick::ParseResultPage(page);

    if (links.empty()) {
        Require(Reports().size() == 1, "a failure is reported exactly once");
        Require(Reports()[0].number == 5, "a failure is reported as number 5");
        Require(Reports()[0].description == "Invalid procedure call or argument", "the description of number 5");
        return 0;
    }
    Require(links.size() == 8, "eight slots or none");
    Require(Reports().empty(), "a good parse reports nothing");

    const bool hasThumbnails = page.find("Please use clickable thumbnail") != std::string::npos;
    const bool hasDetails = page.find("Include details") != std::string::npos;
    for (std::size_t i = 0; i < 8; ++i) {
        const bool sectionPresent = i < 3 ? hasThumbnails : hasDetails;
        if (!sectionPresent) {
            Require(links[i] == "n.a", "a missing section gives n.a");
            continue;
        }
        const bool cutUnchanged = i == 2 || i == 3 || i == 4 || i == 6 || i == 7;
        if (cutUnchanged)
            Require(page.find(links[i]) != std::string::npos, "an unchanged slot is text of the page");
    }
    return 0;
}
