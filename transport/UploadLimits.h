#pragma once

// The limits every upload keeps, in the window and on the command line alike.
// Core-only, so that the command line reaches them without the window.

#include "modTarnwick.h"

#include <QtGlobal>

#include <chrono>

namespace UploadLimits {

inline constexpr qint64 MaxImageBytes = 3145727;
inline constexpr qint64 MaxResponseBytes = 16 * 1024 * 1024;
// Shown when an image over MaxImageBytes is refused (with the blank at its end).
inline constexpr const char* TooBigText = "This image is too big. Maximum file size is 3mb. ";

// How long an upload may make no progress (no connection made, no byte
// taken by the service, none of its answer arrived) before it is given up.
inline constexpr std::chrono::seconds ResponseTimeout { 10 };
// How long the whole answer may take, counted from the request's last byte
// taken by the service, or from the answer's first byte if that comes
// sooner: a service that keeps sending a byte now and then makes progress,
// and would hold an upload for as long as it liked.
inline constexpr std::chrono::seconds AnswerDeadline { 30 };

// Status line and headers of an answer, interim answers included.
inline constexpr qint64 MaxAnswerHeadBytes = qint64(modTarnwick::kMaxAnswerHeadBytes);
// Characters a result row holds (a QLineEdit's default maxLength); a longer
// link would be cut there without a word.
inline constexpr qint64 MaxLinkChars = 32767;

} // namespace UploadLimits
