#include "TrappedFailure.h"
#include "modTarnwick.h"

#include <cerrno>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

namespace modTarnwick {

namespace {

constexpr std::size_t kSlotCount = 8;

constexpr std::int32_t kInvalidCallNumber = 5;
constexpr const char* kInvalidCallText = "Invalid procedure call or argument";

constexpr std::string_view kThumbnailSection = "Please use clickable thumbnail";
constexpr std::string_view kDetailsSection = "Include details";

constexpr std::string_view kValueOpening = "value=\"";
constexpr std::string_view kLinkCodeOpening = "value=\"&lt;a href=&quot;http://";
constexpr std::string_view kWideFieldOpening = "width: 500px\" size=\"70\" value=\"";
constexpr std::string_view kShowLinkOpening = "<a href=\"";

constexpr std::string_view kWebsitesClosing = "\" /> Thumbnail for Websites";
constexpr std::string_view kForums1Closing = "\" /> Thumbnail for forums (1)";
constexpr std::string_view kForums2Closing = "\" /> Thumbnail for forums (2)";
constexpr std::string_view kFieldClosing = "\"/>";
constexpr std::string_view kShowLinkClosing = "\"><b>Show</b>";

// The link codes keep their opening's tail: only the attribute's own value=" is skipped.
static_assert(kLinkCodeOpening.starts_with(kValueOpening));
constexpr std::size_t kLinkCodeSkip = kValueOpening.size();

constexpr std::size_t kUnset = std::string_view::npos;

enum class Treatment { Unchanged, DecodeEntities, RemoveLineBreaks };

struct SlotMarkers
{
    std::string_view opening;
    std::size_t skip;
    std::string_view closing;
    Treatment treatment;
};

// Slots 1 and 2, searched on from slot 0's closing.
constexpr SlotMarkers kThumbnailChain[] = {
    { kValueOpening, kValueOpening.size(), kForums1Closing, Treatment::RemoveLineBreaks },
    { kValueOpening, kValueOpening.size(), kForums2Closing, Treatment::Unchanged },
};

// Slots 3 to 7, searched on from "Include details".
constexpr SlotMarkers kDetailsChain[] = {
    { kWideFieldOpening, kWideFieldOpening.size(), kFieldClosing, Treatment::Unchanged },
    { kWideFieldOpening, kWideFieldOpening.size(), kFieldClosing, Treatment::Unchanged },
    { kLinkCodeOpening, kLinkCodeSkip, kFieldClosing, Treatment::DecodeEntities },
    { kShowLinkOpening, kShowLinkOpening.size(), kShowLinkClosing, Treatment::Unchanged },
    { kWideFieldOpening, kWideFieldOpening.size(), kFieldClosing, Treatment::Unchanged },
};

constexpr std::size_t kThumbnailSlots = 1 + std::size(kThumbnailChain);
static_assert(kThumbnailSlots + std::size(kDetailsChain) == kSlotCount);

// Every occurrence, left to right and without overlap.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to)
{
    std::size_t found = text.find(from);
    if (found == std::string::npos)
        return;
    std::string replaced;
    replaced.reserve(text.size());
    std::size_t done = 0;
    for (; found != std::string::npos; found = text.find(from, done)) {
        replaced.append(text, done, found - done);
        replaced += to;
        done = found + from.size();
    }
    replaced.append(text, done);
    text = std::move(replaced);
}

// The text between an opening found at `opening` and a closing found at
// `closing`. False when the closing starts inside the skipped opening, which
// happens when the value's own closing quote is missing.
bool CutSlot(std::string_view page, std::size_t opening, std::size_t skip, std::size_t closing, Treatment treatment,
             std::string& slot)
{
    const std::size_t start = opening + skip;
    if (closing < start)
        return false;
    slot.assign(page.substr(start, closing - start));
    switch (treatment) {
    case Treatment::DecodeEntities:
        ReplaceAll(slot, "&lt;", "<");
        ReplaceAll(slot, "&quot;", "\"");
        ReplaceAll(slot, "&gt;", ">");
        break;
    case Treatment::RemoveLineBreaks:
        ReplaceAll(slot, "\r\n", "");
        break;
    case Treatment::Unchanged:
        break;
    }
    return true;
}

// One slot of a chain. The cursor moves to the closing once the opening is
// found, and becomes unset when that closing is missing; the next slot then
// fails the parse.
bool CutChained(std::string_view page, const SlotMarkers& markers, std::size_t& cursor, std::string& slot)
{
    if (cursor == kUnset)
        return false;
    const std::size_t opening = page.find(markers.opening, cursor);
    if (opening == std::string_view::npos)
        return true;
    cursor = page.find(markers.closing, opening);
    if (cursor == kUnset)
        return true;
    return CutSlot(page, opening, markers.skip, cursor, markers.treatment, slot);
}

bool ParseThumbnailSection(std::string_view page, LinkSet& links)
{
    if (page.find(kThumbnailSection) == std::string_view::npos) {
        for (std::size_t i = 0; i < kThumbnailSlots; ++i)
            links[i] = kNotAvailable;
        return true;
    }
    // Slot 0's closing is searched from the top of the page, not from its opening.
    std::size_t cursor = kUnset;
    const std::size_t opening = page.find(kLinkCodeOpening);
    if (opening != std::string_view::npos) {
        cursor = page.find(kWebsitesClosing);
        if (cursor != kUnset && !CutSlot(page, opening, kLinkCodeSkip, cursor, Treatment::DecodeEntities, links[0]))
            return false;
    }
    std::size_t slot = 1;
    for (const SlotMarkers& markers : kThumbnailChain) {
        if (!CutChained(page, markers, cursor, links[slot++]))
            return false;
    }
    return true;
}

bool ParseDetailsSection(std::string_view page, LinkSet& links)
{
    std::size_t cursor = page.find(kDetailsSection);
    if (cursor == std::string_view::npos) {
        for (std::size_t i = kThumbnailSlots; i < kSlotCount; ++i)
            links[i] = kNotAvailable;
        return true;
    }
    std::size_t slot = kThumbnailSlots;
    for (const SlotMarkers& markers : kDetailsChain) {
        if (!CutChained(page, markers, cursor, links[slot++]))
            return false;
    }
    return true;
}

} // namespace

LinkSet ParseResultPage(const std::string& page)
{
    try {
        LinkSet links(kSlotCount);
        if (ParseThumbnailSection(page, links) && ParseDetailsSection(page, links))
            return links;
        ReportTrapped(kInvalidCallNumber, kInvalidCallText);
    } catch (...) {
        // Only memory can run out here.
        ReportTrappedErrno(ENOMEM);
    }
    return {};
}

} // namespace modTarnwick
