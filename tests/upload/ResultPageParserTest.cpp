#include "ReportRecorder.h"
#include "modTarnwick.h"

#include <gtest/gtest.h>

#include <string>

using modTarnwick::LinkSet;
using modTarnwick::ParseResultPage;

namespace {

const LinkSet kNothing(8, "n.a");
const std::string kWide = "width: 500px\" size=\"70\" value=\"";

// An answer page as the service sends it, with noise around every marker.
const std::string kRealisticPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
    R"page(<!DOCTYPE html>
<html><head><title>Tarnwick - your image</title></head>
<body><div id="top"><a href="http://www.tarnwick.test/">Home</a>
<form action="/search"><input type="text" name="q" value="" /></form></div>
<div class="codes"><p>Please use clickable thumbnail codes:</p>
<input type="text" onclick="this.select()" value="&lt;a href=&quot;http://www.tarnwick.test/i/4821/cat.jpg&quot;&gt;&lt;img src=&quot;http://t.tarnwick.test/4821/cat.th.jpg&quot; border=&quot;0&quot;/&gt;&lt;/a&gt;" /> Thumbnail for Websites<br />
<input type="text" onclick="this.select()" value="[URL=http://www.tarnwick.test/i/4821/cat.jpg])page"
    "\r\n"
    R"page([IMG]http://t.tarnwick.test/4821/cat.th.jpg[/IMG][/URL]" /> Thumbnail for forums (1)<br />
<input type="text" onclick="this.select()" value="[url=http://www.tarnwick.test/i/4821/cat.jpg][img=http://t.tarnwick.test/4821/cat.th.jpg][/url]" /> Thumbnail for forums (2)<br />
<p>Include details (title, size) in the codes below:</p>
<input type="text" style="width: 500px" size="70" value="[URL=http://www.tarnwick.test/][IMG]http://i.tarnwick.test/4821/cat.jpg[/IMG][/URL]"/> Hotlink for forums (1)<br />
<input type="text" style="width: 500px" size="70" value="[url=http://www.tarnwick.test/][img=http://i.tarnwick.test/4821/cat.jpg][/url]"/> Hotlink for forums (2)<br />
<input type="text" style="width: 500px" size="70" value="&lt;a href=&quot;http://www.tarnwick.test/&quot;&gt;&lt;img src=&quot;http://i.tarnwick.test/4821/cat.jpg&quot;/&gt;&lt;/a&gt;"/> Hotlink for Websites<br />
<a href="http://www.tarnwick.test/i/4821/cat.jpg"><b>Show</b></a> image to friends<br />
<input type="text" style="width: 500px" size="70" value="http://i.tarnwick.test/4821/cat.jpg"/> Direct link to image
</div></body></html>
)page";

TEST(ParseResultPage, RealisticPageGivesAllEightLinks)
{
    ReportRecorder recorder;
    const LinkSet expected {
        R"(<a href="http://www.tarnwick.test/i/4821/cat.jpg"><img src="http://t.tarnwick.test/4821/cat.th.jpg" border="0"/></a>)",
        "[URL=http://www.tarnwick.test/i/4821/cat.jpg][IMG]http://t.tarnwick.test/4821/cat.th.jpg[/IMG][/URL]",
        "[url=http://www.tarnwick.test/i/4821/cat.jpg][img=http://t.tarnwick.test/4821/cat.th.jpg][/url]",
        "[URL=http://www.tarnwick.test/][IMG]http://i.tarnwick.test/4821/cat.jpg[/IMG][/URL]",
        "[url=http://www.tarnwick.test/][img=http://i.tarnwick.test/4821/cat.jpg][/url]",
        R"(<a href="http://www.tarnwick.test/"><img src="http://i.tarnwick.test/4821/cat.jpg"/></a>)",
        "http://www.tarnwick.test/i/4821/cat.jpg",
        "http://i.tarnwick.test/4821/cat.jpg",
    };
    EXPECT_EQ(ParseResultPage(kRealisticPage), expected);
    EXPECT_TRUE(recorder.reports.empty());
}

// Section 1 with the three given values between their markers.
std::string Thumbnails(const std::string& slot0, const std::string& slot1, const std::string& slot2)
{
    return "Please use clickable thumbnail\n"
           "value=\"&lt;a href=&quot;http://"
        + slot0
        + "\" /> Thumbnail for Websites\n"
          "value=\""
        + slot1
        + "\" /> Thumbnail for forums (1)\n"
          "value=\""
        + slot2 + "\" /> Thumbnail for forums (2)\n";
}

// Section 2 with the five given values between their markers.
std::string Details(const std::string& s3, const std::string& s4, const std::string& s5, const std::string& s6,
                    const std::string& s7)
{
    const std::string wide = "<input style=\"width: 500px\" size=\"70\" value=\"";
    return "Include details\n" + wide + s3 + "\"/>\n" + wide + s4 + "\"/>\n" + "<input value=\"&lt;a href=&quot;http://"
        + s5 + "\"/>\n" + "<a href=\"" + s6 + "\"><b>Show</b></a>\n" + wide + s7 + "\"/>\n";
}

struct PageRow
{
    std::string name;
    std::string page;
    LinkSet links;
};

void PrintTo(const PageRow& row, std::ostream* out)
{
    *out << row.name;
}

std::string RowName(const testing::TestParamInfo<PageRow>& info)
{
    return info.param.name;
}

class ParsedPage : public testing::TestWithParam<PageRow>
{ };

TEST_P(ParsedPage, GivesEightSlotsWithoutReport)
{
    ReportRecorder recorder;
    EXPECT_EQ(ParseResultPage(GetParam().page), GetParam().links);
    EXPECT_TRUE(recorder.reports.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Pages, ParsedPage,
    testing::Values(
        PageRow { "Empty", "", kNothing },
        PageRow { "NoSectionMarker", "<html><a href=\"x\"><b>Show</b> value=\"y\" /></html>", kNothing },
        PageRow { "LowerCaseSectionMarkers", "please use clickable thumbnail include details " + kWide + "a\"/>",
                  kNothing },
        PageRow {
            "WorkedExample",
            "Include details . width: 500px\" size=\"70\" value=\"A1\"/> . width: 500px\" size=\"70\" value=\"B2\"/>"
            " . <a href=\"D4\"><b>Show</b> . width: 500px\" size=\"70\" value=\"E5\"/>",
            { "n.a", "n.a", "n.a", "A1", "B2", "", "D4", "E5" } },
        PageRow { "BothSections",
                  Thumbnails("a/1", "f1", "f2") + Details("h1", "h2", "w/", "s", "d"),
                  { "<a href=\"http://a/1", "f1", "f2", "h1", "h2", "<a href=\"http://w/", "s", "d" } },
        PageRow {
            "DetailsWithoutOpenings", "Include details, nothing else", { "n.a", "n.a", "n.a", "", "", "", "", "" } },
        PageRow { "EmptyValues",
                  Thumbnails("", "", "") + Details("", "", "", "", ""),
                  { "<a href=\"http://", "", "", "", "", "<a href=\"http://", "", "" } },
        PageRow { "MissingClosingOfSlot2",
                  Thumbnails("a", "b", "c").substr(0, Thumbnails("a", "b", "c").size() - 4),
                  { "<a href=\"http://a", "b", "", "n.a", "n.a", "n.a", "n.a", "n.a" } },
        PageRow { "MissingClosingOfSlot7",
                  Details("a", "b", "c", "d", "e").substr(0, Details("a", "b", "c", "d", "e").size() - 4),
                  { "n.a", "n.a", "n.a", "a", "b", "<a href=\"http://c", "d", "" } },
        PageRow { "Entities",
                  Thumbnails("x&quot;&gt;&lt;&amp;lt;&LT;&QUOT;&gt;", "&lt;", "&quot;")
                      + Details("&lt;", "&gt;", "&lt;b&gt;&quot;&gt;", "&quot;", "&gt;"),
                  { "<a href=\"http://x\"><&amp;lt;&LT;&QUOT;>", "&lt;", "&quot;", "&lt;", "&gt;",
                    "<a href=\"http://<b>\">", "&quot;", "&gt;" } },
        PageRow { "LineBreaks",
                  Thumbnails("a\r\nb", "\r\nc\r\nd\ne\rf\r\n", "g\r\nh") + Details("i\r\nj", "", "", "", ""),
                  { "<a href=\"http://a\r\nb", "cd\ne\rf", "g\r\nh", "i\r\nj", "", "<a href=\"http://", "", "" } },
        PageRow { "SpacedClosingDoesNotEndSlot3",
                  "Include details width: 500px\" size=\"70\" value=\"a\" /> b\"/>",
                  { "n.a", "n.a", "n.a", "a\" /> b", "", "", "", "" } },
        PageRow { "Slot0TakesLinkCodeAfterIncludeDetails",
                  "Please use clickable thumbnail Include details value=\"&lt;a href=&quot;http://x\" /> Thumbnail for "
                  "Websites\"/>",
                  { "<a href=\"http://x", "", "", "", "", "<a href=\"http://x\" /> Thumbnail for Websites", "", "" } },
        PageRow { "Slot5TakesFirstLinkCodeAfterIncludeDetails",
                  "Please use clickable thumbnail value=\"&lt;a href=&quot;http://one\" /> Thumbnail for Websites "
                  "value=\"f1\""
                  " /> Thumbnail for forums (1) Include details value=\"&lt;a href=&quot;http://two\"/> <a "
                  "href=\"s\"><b>Show</b>",
                  { "<a href=\"http://one", "f1", "", "", "", "<a href=\"http://two", "s", "" } }),
    RowName);

class FailedPage : public testing::TestWithParam<PageRow>
{ };

TEST_P(FailedPage, ReportsFiveOnceAndGivesNoSlots)
{
    ReportRecorder recorder;
    EXPECT_TRUE(ParseResultPage(GetParam().page).empty());
    EXPECT_EQ(recorder.reports, (std::vector<Report> { Report { 5, "Invalid procedure call or argument" } }));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, FailedPage,
    testing::Values(
        PageRow { "NoSlot0Opening", "Please use clickable thumbnail value=\"a\" /> Thumbnail for Websites", {} },
        PageRow { "NoSlot0Closing", "Please use clickable thumbnail value=\"&lt;a href=&quot;http://a\" />", {} },
        PageRow { "Slot0ClosingBeforeOpening",
                  "Please use clickable thumbnail \" /> Thumbnail for Websites value=\"&lt;a href=&quot;http://a\" />"
                  " Thumbnail for Websites",
                  {} },
        PageRow { "NoSlot1Closing", Thumbnails("a", "b", "c").substr(0, Thumbnails("a", "b", "c").find("(1)")), {} },
        PageRow { "Slot1ValueWithoutClosingQuote",
                  "Please use clickable thumbnail value=\"&lt;a href=&quot;http://a\" /> Thumbnail for Websites"
                  " value=\" /> Thumbnail for forums (1)",
                  {} },
        PageRow { "Slot2ValueWithoutClosingQuote",
                  Thumbnails("a", "b", "c").substr(0, Thumbnails("a", "b", "c").find("(1)") + 4)
                      + "value=\" /> Thumbnail for forums (2)",
                  {} },
        PageRow { "NoSlot3Closing", "Include details " + kWide + "a\" />", {} },
        PageRow { "Slot3ValueWithoutClosingQuote", "Include details " + kWide + "/>", {} },
        PageRow { "NoSlot4Closing", "Include details " + kWide + "a\"/> " + kWide + "b", {} },
        PageRow { "NoSlot5Closing", "Include details value=\"&lt;a href=&quot;http://a\" />", {} },
        PageRow { "NoSlot6Closing", "Include details <a href=\"a\"><b>Hide</b>", {} },
        PageRow { "Slot6LinkWithoutClosingQuote", "Include details <a href=\"><b>Show</b>", {} },
        PageRow { "Slot7ValueWithoutClosingQuote",
                  "Include details " + kWide + "a\"/> " + kWide + "b\"/> <a href=\"s\"><b>Show</b> " + kWide + "/>",
                  {} },
        PageRow {
            "Section2FailsAfterGoodSection1", Thumbnails("a", "b", "c") + "Include details " + kWide + "/>", {} }),
    RowName);

TEST(ParseResultPage, ThrowingReporterDoesNotEscape)
{
    const modTarnwick::ErrorReportScope throwing([](std::int32_t, const std::string&) { throw 5; });
    EXPECT_NO_THROW(EXPECT_TRUE(ParseResultPage("Please use clickable thumbnail").empty()));
}

} // namespace
