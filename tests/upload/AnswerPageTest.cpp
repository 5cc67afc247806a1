#include "modTarnwick.h"

#include <gtest/gtest.h>

#include <string>

using namespace modTarnwick;

namespace {

struct HeadCase
{
    std::string answer;
    int status;
    std::string reason;
    std::string location;
    std::size_t size;
    std::string contentEncoding = {};
};

class AnswerHeads : public testing::TestWithParam<HeadCase>
{ };

TEST_P(AnswerHeads, AreReadUpToTheBlankLine)
{
    const HeadCase& expected = GetParam();
    const AnswerHead head = ReadAnswerHead(expected.answer);
    EXPECT_EQ(head.status, expected.status);
    EXPECT_EQ(head.reason, expected.reason);
    EXPECT_EQ(head.location, expected.location);
    EXPECT_EQ(head.size, expected.size);
    EXPECT_EQ(head.contentEncoding, expected.contentEncoding);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, AnswerHeads,
    testing::Values(HeadCase { "HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n<html>", 302, "Found", "/x", 36 },
                    HeadCase { "HTTP/1.1 500 Internal Server Error\nlocation:  http://a.test/ \n\n", 500,
                               "Internal Server Error", "http://a.test/", 63 },
                    HeadCase { "HTTP/1.0 404\r\n\r\n", 404, "", "", 16 },
                    HeadCase { "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n", 200, "OK", "", 42 },
                    HeadCase { "<html>HTTP/1.0 200 OK</html>", 0, "", "", 0 },
                    HeadCase { "HTTP/1.0 2000 Odd\r\n\r\n", 0, "", "", 0 }, HeadCase { "", 0, "", "", 0 },
                    // Interim answers are passed over; what follows the last of them stands alone.
                    HeadCase { "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 302 "
                               "Found\r\nLocation: /x\r\n\r\n<html>",
                               302, "Found", "/x", 86 },
                    HeadCase { "HTTP/1.1 100 Continue\r\n\r\n<html>", 100, "Continue", "", 25 },
                    HeadCase { "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n\x1f\x8b", 200, "OK", "", 43, "gzip" },
                    HeadCase { "HTTP/1.1 200 OK\r\ncontent-encoding: deflate\r\nContent-Encoding:  br \r\n\r\n", 200,
                               "OK", "", 70, "deflate, br" },
                    HeadCase { "HTTP/1.1 200 OK\r\nContent-Encoding: Identity\r\n\r\n", 200, "OK", "", 47 }));

struct HeadSizeCase
{
    std::string answer;
    std::size_t size;
};

class AnswerHeadSizes : public testing::TestWithParam<HeadSizeCase>
{ };

TEST_P(AnswerHeadSizes, ReachTheEndOfTheLastHead)
{
    EXPECT_EQ(AnswerHeadSize(GetParam().answer), GetParam().size);
}

constexpr std::size_t kNotYet = std::string::npos;
const std::string kLongLine(kMaxAnswerHeadBytes, 'A');

INSTANTIATE_TEST_SUITE_P(
    Heads, AnswerHeadSizes,
    testing::Values(HeadSizeCase { "HTTP/1.0 200 OK\r\nA: b\r\n\r\n<html>", 25 },
                    HeadSizeCase { "HTTP/1.0 200 OK\nA: b\n\n<html>", 22 },
                    HeadSizeCase { "HTTP/1.0 200 OK\r\nA: b\r\n", kNotYet },
                    // A blank line is one whose line feed has come.
                    HeadSizeCase { "HTTP/1.0 200 OK\r\nA: b\r\n\r", kNotYet },
                    HeadSizeCase { "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n<html>", 44 },
                    HeadSizeCase { "HTTP/1.1 100 Continue\r\n\r\nHTT", kNotYet },
                    HeadSizeCase { "HTTP/1.1 100 Continue\r\n\r\n<html>", 25 },
                    HeadSizeCase { "HTTP/1.1 100 Continue\r\n\r\n", kNotYet },
                    // Without a status line the first line stands where it would be.
                    HeadSizeCase { "<html>\n<body>", 7 }, HeadSizeCase { "<html><body>", kNotYet },
                    HeadSizeCase { "HTT", kNotYet }, HeadSizeCase { "", kNotYet },
                    // Past the limit a head has no end, however it goes on.
                    HeadSizeCase { "HTTP/1.1 200 " + kLongLine + "\r\n\r\n", kNotYet },
                    HeadSizeCase { kLongLine + "\n<html>", kNotYet },
                    HeadSizeCase { "HTTP/1.1 200 OK\r\n" + std::string(kMaxAnswerHeadBytes - 21, 'B') + "\r\n\r\n",
                                   kMaxAnswerHeadBytes }));

struct ReasonCase
{
    std::string page;
    std::string reason;
};

class PageReasons : public testing::TestWithParam<ReasonCase>
{ };

TEST_P(PageReasons, AreTheTitleOrTheFirstHeading)
{
    EXPECT_EQ(PageReason(GetParam().page), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PageReasons,
    testing::Values(ReasonCase { "<html><head><title>The file you sent is empty</title></head><body><h1>Refused</h1>",
                                 "The file you sent is empty" },
                    ReasonCase { "<HTML><TITLE lang=en>Gone</TITLE>", "Gone" },
                    ReasonCase { "<title> </title><h2 class=\"x\">Too <b>big</b></h2><h1>Later</h1>", "Too  big " },
                    ReasonCase { "<body><h3>A &amp; B &lt;C&gt; &#65;&#x42; &bogus; &#0;</h3>",
                                 "A & B <C> AB &bogus; " },
                    ReasonCase { "<p>\xc3\xa4 &#228;</p><h1>\xc3\xa4 &#228;</h1>", "\xc3\xa4 \xc3\xa4" },
                    ReasonCase { "<header><hgroup>no heading</hgroup><h1x>nor this</h1x></header>", "" },
                    ReasonCase { "<title>never closed", "never closed" }, ReasonCase { "", "" }));

TEST(EndOfAnswer, IsFoundInAnyCaseAndAcrossArrivals)
{
    EXPECT_TRUE(EndOfAnswerArrived("<html></HTML>", 0));
    EXPECT_FALSE(EndOfAnswerArrived("<html></ht", 0));
    // "</ht" searched before, "ml>" new: the tag is found though it began in the old text.
    EXPECT_TRUE(EndOfAnswerArrived("<html></html>", 10));
    EXPECT_FALSE(EndOfAnswerArrived("", 0));
}

} // namespace
