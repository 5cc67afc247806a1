#pragma once

// What both transports, in the window and on the command line, know of the
// service's answer beyond the protocol module: where it ends on a socket.

#include <cstddef>
#include <string>

namespace AnswerPage {

// Whether text, of which the first searchedBefore characters were already
// searched and held no "</html>", now holds one, letter case ignored. Only the
// new text and the few characters before it are searched again.
bool EndHasArrived(const std::string& text, std::size_t searchedBefore);

} // namespace AnswerPage
