#include "modTarnwick.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

using modTarnwick::RandomAlphanumeric;

namespace {

bool IsAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

class RandomAlphanumericLength : public testing::TestWithParam<std::int16_t>
{ };

TEST_P(RandomAlphanumericLength, GivesExactlyCountCharactersOfTheAlphabet)
{
    const std::string text = RandomAlphanumeric(GetParam());
    ASSERT_EQ(text.size(), static_cast<std::size_t>(GetParam()));
    for (const char c : text)
        EXPECT_TRUE(IsAlphanumeric(c)) << "code " << int(static_cast<unsigned char>(c));
}

INSTANTIATE_TEST_SUITE_P(Counts, RandomAlphanumericLength, testing::Values(1, 8, 32, 1000, INT16_MAX));

class RandomAlphanumericNonPositive : public testing::TestWithParam<std::int16_t>
{ };

TEST_P(RandomAlphanumericNonPositive, GivesEmptyText)
{
    EXPECT_EQ(RandomAlphanumeric(GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, RandomAlphanumericNonPositive, testing::Values(0, -1, INT16_MIN));

TEST(RandomAlphanumeric, AllSixtyTwoCharactersComeUpEvenly)
{
    std::map<char, int> seen;
    constexpr int kCalls = 6250;
    for (int i = 0; i < kCalls; ++i) {
        for (const char c : RandomAlphanumeric(32))
            ++seen[c];
    }
    ASSERT_EQ(seen.size(), 62u);
    const double mean = kCalls * 32.0 / 62; // about 3226; one standard deviation is about 56
    for (const auto& [c, count] : seen) {
        EXPECT_TRUE(IsAlphanumeric(c));
        EXPECT_NEAR(count, mean, mean * 0.15) << c;
    }
}

TEST(RandomAlphanumeric, CallsInQuickSuccessionNeverRepeat)
{
    std::set<std::string> tokens;
    for (int i = 0; i < 2000; ++i) {
        tokens.insert(RandomAlphanumeric(8));
        tokens.insert(RandomAlphanumeric(32));
    }
    EXPECT_EQ(tokens.size(), 4000u);
}

} // namespace
