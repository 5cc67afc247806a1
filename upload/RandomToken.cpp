#include "modTarnwick.h"

#include <chrono>
#include <random>
#include <vector>

namespace modTarnwick {

namespace {

// A draw is the integer part of a number in [0, 1) times this: 0 to 126.
constexpr int kDrawSpan = 127;

constexpr bool IsAlphanumeric(int code)
{
    return (code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') || (code >= 'a' && code <= 'z');
}

// Seeded once for the whole process. Seeding from the clock on every call
// would let the name and the boundary drawn within one tick repeat each other.
std::mt19937_64 SeededEngine()
{
    const auto ticks = static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::vector<std::uint32_t> material { static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32) };
    try {
        std::random_device device;
        for (int i = 0; i < 8; ++i)
            material.push_back(device());
    } catch (...) {
        // No entropy source on this machine: the clock alone has to do.
    }
    std::seed_seq sequence(material.begin(), material.end());
    return std::mt19937_64(sequence);
}

std::mt19937_64& Engine()
{
    static std::mt19937_64 engine = SeededEngine();
    return engine;
}

// The top 53 bits of one output, scaled: 1.0 itself can never come out.
double NextUnit()
{
    return static_cast<double>(Engine()() >> 11) * 0x1.0p-53;
}

} // namespace

std::string RandomAlphanumeric(std::int16_t count)
{
    std::string text;
    if (count <= 0)
        return text;
    const auto wanted = static_cast<std::size_t>(count);
    text.reserve(wanted);
    while (text.size() < wanted) {
        const int code = static_cast<int>(NextUnit() * kDrawSpan);
        if (IsAlphanumeric(code))
            text.push_back(static_cast<char>(code));
    }
    return text;
}

} // namespace modTarnwick
