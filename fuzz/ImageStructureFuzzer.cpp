// Any bytes an upload may hold, read for what decoding them would cost: the
// service does this itself, before any decoder starts, so it must never
// crash, read out of bounds or loop. The first byte picks the format whose
// signature the rest is given, so that each reader is reached.

#include "ImageCodec.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

constexpr const char* kSignatures[] = { "\x89PNG\r\n\x1a\n", "\xff\xd8\xff", "GIF89a", "BM" };

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QByteArray bytes = QByteArray(kSignatures[data[0] % std::size(kSignatures)]) + rest;
    const QString why = ImageCodec::overBudget(bytes);
    // The same bytes, read again, say the same.
    if (ImageCodec::overBudget(bytes) != why)
        __builtin_trap();
    return 0;
}
