#include "modTarnwick.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace modTarnwick {

namespace {

constexpr std::string_view kEndOfAnswer = "</html>";
constexpr std::string_view kHttpVersion = "HTTP/";
constexpr std::string_view kLocationField = "location";
constexpr std::string_view kContentEncodingField = "content-encoding";
constexpr std::string_view kIdentityEncoding = "identity";
constexpr std::string_view kTitleTag = "title";
constexpr std::string_view kHeadingTags = "123456";

// A reason is looked for this far into a page.
constexpr std::size_t kMaxReasonSearch = 64 * 1024;

char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

std::size_t FindIgnoringCase(std::string_view text, std::string_view what, std::size_t from)
{
    if (from >= text.size())
        return std::string_view::npos;
    const auto found = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), what.begin(),
                                   what.end(), [](char a, char b) { return FoldCase(a) == FoldCase(b); });
    return found == text.end() ? std::string_view::npos : static_cast<std::size_t>(found - text.begin());
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The element's text from its opening tag "<name ...>" to "</name", or
// npos when the page has no such element. name: "title", or "h" and a digit.
struct Element
{
    std::size_t start = std::string_view::npos;
    std::size_t end = std::string_view::npos;
};

bool EndsTagName(char c)
{
    return c == '>' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/';
}

// The first "<name" in page whose name is exactly name, with its closing tag.
Element FindElement(std::string_view page, std::string_view name)
{
    std::string opening(1, '<');
    opening += name;
    std::string closing = "</";
    closing += name;
    for (std::size_t at = FindIgnoringCase(page, opening, 0); at != std::string_view::npos;
         at = FindIgnoringCase(page, opening, at + 1)) {
        const std::size_t after = at + opening.size();
        if (after >= page.size() || !EndsTagName(page[after]))
            continue;
        const std::size_t close = page.find('>', after);
        if (close == std::string_view::npos)
            return {};
        const std::size_t end = FindIgnoringCase(page, closing, close + 1);
        return { close + 1, end == std::string_view::npos ? page.size() : end };
    }
    return {};
}

// UTF-8 of one code point; nothing for one that is not a character.
void AppendUtf8(std::string& to, std::uint32_t c)
{
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return;
    if (c < 0x80) {
        to += static_cast<char>(c);
    } else if (c < 0x800) {
        to += static_cast<char>(0xC0 | (c >> 6));
        to += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        to += static_cast<char>(0xE0 | (c >> 12));
        to += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        to += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        to += static_cast<char>(0xF0 | (c >> 18));
        to += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        to += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        to += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// "&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&nbsp;", "&#39;", "&#x27;" at text[at];
// the bytes it stands for, and its length, or 0 when it is none of them.
std::size_t DecodeReference(std::string_view text, std::size_t at, std::string& to)
{
    const std::size_t end = text.find(';', at);
    if (end == std::string_view::npos || end - at > 10)
        return 0;
    const std::string_view name = text.substr(at + 1, end - at - 1);
    constexpr std::pair<std::string_view, std::string_view> kNamed[] = { { "amp", "&" },  { "lt", "<" },
                                                                         { "gt", ">" },   { "quot", "\"" },
                                                                         { "apos", "'" }, { "nbsp", " " } };
    for (const auto& [entity, bytes] : kNamed) {
        if (name == entity) {
            to += bytes;
            return end - at + 1;
        }
    }
    if (name.size() < 2 || name[0] != '#')
        return 0;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty())
        return 0;
    std::uint32_t code = 0;
    for (const char c : digits) {
        const int value = IsDigit(c)                          ? c - '0'
            : hex && FoldCase(c) >= 'a' && FoldCase(c) <= 'f' ? FoldCase(c) - 'a' + 10
                                                              : -1;
        if (value < 0)
            return 0;
        code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
        if (code > 0x10FFFF)
            return 0;
    }
    AppendUtf8(to, code);
    return end - at + 1;
}

// The element's text without its tags, references decoded.
std::string TextOf(std::string_view element)
{
    std::string text;
    for (std::size_t i = 0; i < element.size(); ++i) {
        if (element[i] == '<') {
            const std::size_t close = element.find('>', i);
            if (close == std::string_view::npos)
                break;
            i = close;
            text += ' '; // "<br>" and the like part words
            continue;
        }
        if (element[i] == '&') {
            if (const std::size_t length = DecodeReference(element, i, text)) {
                i += length - 1;
                continue;
            }
        }
        text += element[i];
    }
    return text;
}

bool IsBlank(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// One head from text[from]: its status line and the lines up to the blank
// one, read whether or not the status line is a good one (status 0 then).
struct Head
{
    AnswerHead fields; // size: where the head ends in text, or text.size()
    bool ended = false; // its blank line is in text
};

Head HeadAt(std::string_view text, std::size_t from)
{
    Head head;
    std::size_t pos = from;
    bool lineEnded = false;
    const auto nextLine = [&] {
        const std::size_t end = text.find('\n', pos);
        const std::string_view line =
            Trimmed(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        lineEnded = end != std::string_view::npos;
        pos = lineEnded ? end + 1 : text.size();
        return line;
    };

    const std::string_view statusLine = nextLine();
    const std::size_t codeAt = statusLine.find(' ');
    if (statusLine.starts_with(kHttpVersion) && codeAt != std::string_view::npos) {
        const std::string_view rest = statusLine.substr(codeAt + 1);
        const std::string_view code = rest.substr(0, 3);
        if (code.size() == 3 && std::all_of(code.begin(), code.end(), IsDigit)
            && (rest.size() == 3 || rest[3] == ' ')) {
            head.fields.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
            head.fields.reason = Trimmed(rest.substr(3));
        }
    }

    for (;;) {
        const std::string_view line = nextLine();
        if (line.empty()) {
            head.ended = lineEnded;
            head.fields.size = pos;
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = Trimmed(line.substr(0, colon));
        const std::string_view value = Trimmed(line.substr(colon + 1));
        if (EqualsIgnoringCase(name, kLocationField)) {
            head.fields.location = value;
        } else if (EqualsIgnoringCase(name, kContentEncodingField) && !value.empty()
                   && !EqualsIgnoringCase(value, kIdentityEncoding)) {
            if (!head.fields.contentEncoding.empty())
                head.fields.contentEncoding += ", ";
            head.fields.contentEncoding += value;
        }
    }
    return head;
}

} // namespace

AnswerHead ReadAnswerHead(std::string_view answer)
{
    const std::string_view whole = answer.substr(0, std::min(answer.size(), kMaxAnswerHeadBytes));
    Head head = HeadAt(whole, 0);
    // Interim answers (100 Continue) come before the one that counts.
    while (head.ended && head.fields.status / 100 == 1) {
        Head next = HeadAt(whole, head.fields.size);
        if (next.fields.status == 0)
            break;
        head = std::move(next);
    }
    return head.fields.status == 0 ? AnswerHead() : std::move(head.fields);
}

std::size_t AnswerHeadSize(std::string_view answer)
{
    const std::string_view whole = answer.substr(0, std::min(answer.size(), kMaxAnswerHeadBytes));
    if (!whole.starts_with(kHttpVersion)) {
        const std::size_t end = whole.find('\n');
        return end == std::string_view::npos ? std::string_view::npos : end + 1;
    }
    std::size_t from = 0;
    for (;;) {
        const Head head = HeadAt(whole, from);
        if (!head.ended)
            return std::string_view::npos;
        from = head.fields.size;
        if (head.fields.status / 100 != 1)
            return from;
        const std::string_view rest = whole.substr(from);
        if (rest.size() < kHttpVersion.size() && kHttpVersion.starts_with(rest))
            return std::string_view::npos; // the next answer may be on its way
        if (!rest.starts_with(kHttpVersion))
            return from;
    }
}

std::string PageReason(std::string_view page)
{
    page = page.substr(0, std::min(page.size(), kMaxReasonSearch));
    const Element title = FindElement(page, kTitleTag);
    if (title.start != std::string_view::npos) {
        std::string text = TextOf(page.substr(title.start, title.end - title.start));
        if (!IsBlank(text))
            return text;
    }
    // The first heading of any level, wherever it stands.
    Element first;
    for (const char level : kHeadingTags) {
        const char name[] = { 'h', level };
        const Element heading = FindElement(page, std::string_view(name, sizeof name));
        if (heading.start < first.start)
            first = heading;
    }
    if (first.start == std::string_view::npos)
        return {};
    std::string text = TextOf(page.substr(first.start, first.end - first.start));
    return IsBlank(text) ? std::string() : text;
}

bool EndOfAnswerArrived(const std::string& text, std::size_t searchedBefore)
{
    // A tag that was not there before must end in the new text.
    const std::size_t overlap = kEndOfAnswer.size() - 1;
    return FindIgnoringCase(text, kEndOfAnswer, searchedBefore > overlap ? searchedBefore - overlap : 0)
        != std::string_view::npos;
}

} // namespace modTarnwick
