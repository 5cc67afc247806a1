#include "AnswerPage.h"

#include <algorithm>
#include <string_view>

namespace AnswerPage {

namespace {

constexpr std::string_view kEndOfAnswer = "</html>";

char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool EndHasArrived(const std::string& text, std::size_t searchedBefore)
{
    // A tag that was not there before must end in the new text.
    const std::size_t overlap = kEndOfAnswer.size() - 1;
    const std::size_t from = searchedBefore > overlap ? searchedBefore - overlap : 0;
    if (from >= text.size())
        return false;
    const auto found = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), kEndOfAnswer.begin(),
                                   kEndOfAnswer.end(), [](char a, char b) { return FoldCase(a) == FoldCase(b); });
    return found != text.end();
}

} // namespace AnswerPage
