#include "ReportRecorder.h"
#include "modTarnwick.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>

#include <stdlib.h>

using namespace modTarnwick;

namespace {

const std::string kCrLf = "\r\n";

// 100 bytes that include NUL, CR, LF, quotes, dashes and high bytes.
std::string SampleBytes()
{
    std::string bytes("--\r\n\"\0\xFF", 7);
    for (int i = 0; bytes.size() < 100; ++i)
        bytes.push_back(static_cast<char>(i * 37));
    return bytes;
}

std::string ExpectedHeader(bool requestLine, const std::string& boundary, std::size_t contentLength)
{
    return (requestLine ? "POST /? HTTP/1.0" + kCrLf : "") + "Host: " + std::string(kServiceHost) + kCrLf
        + "Content-Type: multipart/form-data, boundary=" + boundary + kCrLf
        + "Content-Length: " + std::to_string(contentLength) + kCrLf + kCrLf;
}

std::string ExpectedBody(const std::string& boundary, const std::string& uploadName, const std::string& bytes)
{
    return "--" + boundary + kCrLf + "Content-Disposition: form-data; name=\"fileupload\"; filename=\"" + uploadName
        + "\"" + kCrLf + "Content-Type: multipart/form-data" + kCrLf + kCrLf + bytes + kCrLf + "--" + boundary + "--";
}

bool IsAlphanumeric(const std::string& text)
{
    return text.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
        == std::string::npos;
}

struct SplitRequest
{
    std::string header;
    std::string body;
    std::string boundary;
};

// Header block and body of a built request, and the boundary named in the header.
SplitRequest Split(const UploadRequest& request, std::int32_t mode)
{
    SplitRequest split;
    if (mode == 1) {
        EXPECT_EQ(request.size(), 1u);
        const std::size_t end = request.at(0).find(kCrLf + kCrLf) + 2 * kCrLf.size();
        split.header = request.at(0).substr(0, end);
        split.body = request.at(0).substr(end);
    } else {
        EXPECT_EQ(request.size(), 2u);
        split.body = request.at(0);
        split.header = request.at(1);
    }
    const std::string field = "boundary=";
    const std::size_t start = split.header.find(field) + field.size();
    split.boundary = split.header.substr(start, split.header.find(kCrLf, start) - start);
    EXPECT_EQ(split.boundary.size(), 32u);
    EXPECT_TRUE(IsAlphanumeric(split.boundary)) << split.boundary;
    return split;
}

std::size_t OpenDescriptorCount();

class RequestBuilderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string WriteFile(const std::string& relative, const std::string& bytes)
    {
        const std::filesystem::path path = dir_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::filesystem::path dir_;
    ReportRecorder recorder_;
};

class RequestLayout : public RequestBuilderTest, public testing::WithParamInterface<std::int32_t>
{ };

TEST_P(RequestLayout, HoldsExactBytesForKnownFileAndName)
{
    const std::int32_t mode = GetParam();
    const std::string bytes = SampleBytes();
    const UploadRequest request = BuildUploadRequest(WriteFile("pics/cat.jpg", bytes), mode, false);
    const SplitRequest split = Split(request, mode);

    EXPECT_EQ(split.header, ExpectedHeader(mode == 1, split.boundary, 282)); // 175 + 7 + 100
    EXPECT_EQ(split.body, ExpectedBody(split.boundary, "cat.jpg", bytes));
    EXPECT_TRUE(recorder_.reports.empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, RequestLayout, testing::Values(0, 1, 2, -1));

// Everything a stream gives, read in pieces of at most `piece` bytes, in the
// shape BuildUploadRequest gives it.
UploadRequest ReadWhole(RequestStream& stream, std::size_t piece)
{
    std::string bytes;
    std::string buffer(piece, '\0');
    for (std::int64_t got; (got = stream.Read(buffer.data(), piece)) > 0;)
        bytes.append(buffer, 0, static_cast<std::size_t>(got));
    EXPECT_EQ(bytes.size(), stream.Size());
    if (stream.HeaderBlock().empty())
        return { bytes };
    return { bytes, stream.HeaderBlock() };
}

class StreamedLayout : public RequestBuilderTest,
                       public testing::WithParamInterface<std::tuple<std::int32_t, std::size_t>>
{ };

TEST_P(StreamedLayout, GivesTheBuiltBytesWhateverThePieceSize)
{
    const auto [mode, piece] = GetParam();
    const std::string bytes = SampleBytes();
    const std::unique_ptr<RequestStream> stream = OpenUploadRequest(WriteFile("pics/cat.jpg", bytes), mode, false);
    ASSERT_TRUE(stream);
    const SplitRequest split = Split(ReadWhole(*stream, piece), mode);

    EXPECT_EQ(split.header, ExpectedHeader(mode == 1, split.boundary, 282));
    EXPECT_EQ(split.body, ExpectedBody(split.boundary, "cat.jpg", bytes));
    EXPECT_EQ(stream->Read(nullptr, 0), 0);
    EXPECT_TRUE(recorder_.reports.empty());
}

// Pieces that end inside the headers, on the file's first and last byte, and
// past the whole request.
INSTANTIATE_TEST_SUITE_P(Pieces, StreamedLayout,
                         testing::Combine(testing::Values(0, 1), testing::Values(1, 7, 183, 4096)));

// An image in memory goes up as a file of the same bytes and name would:
// the same request, boundary apart, in every mode and with a random name.
class MemoryImage : public RequestBuilderTest, public testing::WithParamInterface<std::tuple<std::int32_t, bool>>
{ };

TEST_P(MemoryImage, GivesTheBytesOfAFileWithTheSameBytesAndName)
{
    const auto [mode, randomName] = GetParam();
    const std::string bytes = SampleBytes();
    const SplitRequest fromFile = Split(BuildUploadRequest(WriteFile("pasted.png", bytes), mode, randomName), mode);
    const auto image = std::make_shared<const std::string>(bytes);
    const SplitRequest fromMemory = Split(BuildUploadRequest(image, "pasted.png", mode, randomName), mode);

    const std::string nameStart = "filename=\"";
    const std::size_t at = fromMemory.body.find(nameStart) + nameStart.size();
    const std::string name = fromMemory.body.substr(at, fromMemory.body.find('"', at) - at);
    if (randomName) {
        ASSERT_EQ(name.size(), 12u) << name;
        EXPECT_TRUE(IsAlphanumeric(name.substr(0, 8))) << name;
        EXPECT_EQ(name.substr(8), ".png");
    } else {
        EXPECT_EQ(name, "pasted.png");
    }
    EXPECT_EQ(fromMemory.header, ExpectedHeader(mode == 1, fromMemory.boundary, 175 + name.size() + bytes.size()));
    EXPECT_EQ(fromMemory.body, ExpectedBody(fromMemory.boundary, name, bytes));
    if (!randomName) {
        // Golden: byte for byte the file's request once the boundary drawn for it is put in.
        std::string fileBody = fromFile.body;
        for (std::size_t pos = 0; (pos = fileBody.find(fromFile.boundary, pos)) != std::string::npos; pos += 32)
            fileBody.replace(pos, 32, fromMemory.boundary);
        EXPECT_EQ(fromMemory.body, fileBody);
        EXPECT_EQ(fromMemory.header.size(), fromFile.header.size());
    }
    EXPECT_EQ(image.use_count(), 1) << "the request keeps no hold on the image once built";
    EXPECT_TRUE(recorder_.reports.empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, MemoryImage, testing::Combine(testing::Values(0, 1), testing::Bool()));

TEST_F(RequestBuilderTest, MemoryImageStreamsInPiecesAndMayBeEmpty)
{
    const std::string bytes = SampleBytes();
    const std::unique_ptr<RequestStream> stream =
        OpenUploadRequest(std::make_shared<const std::string>(bytes), "a/b/stdin.gif", 0, false);
    ASSERT_TRUE(stream);
    const SplitRequest split = Split(ReadWhole(*stream, 7), 0);
    EXPECT_EQ(split.body, ExpectedBody(split.boundary, "stdin.gif", bytes));

    const SplitRequest empty = Split(BuildUploadRequest(std::make_shared<const std::string>(), "stdin", 1, false), 1);
    EXPECT_EQ(empty.body, ExpectedBody(empty.boundary, "stdin", ""));
    EXPECT_TRUE(recorder_.reports.empty());
}

// Golden bytes of both requests for a service of one's own, with a port and a
// path; the boundary is the one thing drawn, and is put in where it stands.
TEST_F(RequestBuilderTest, ConfiguredServiceNamesItsHostPortAndPath)
{
    const RequestTarget target { "img.example.org:8443", "/tarnwick/up" };
    const auto image = std::make_shared<const std::string>("GIF89a\r\n", 8);

    const UploadRequest socket = BuildUploadRequest(image, "cat.gif", 1, false, target);
    const SplitRequest split = Split(socket, 1);
    const std::string body = "--" + split.boundary
        + "\r\n"
          "Content-Disposition: form-data; name=\"fileupload\"; filename=\"cat.gif\"\r\n"
          "Content-Type: multipart/form-data\r\n"
          "\r\n"
          "GIF89a\r\n"
          "\r\n"
          "--"
        + split.boundary + "--";
    EXPECT_EQ(socket.at(0),
              "POST /tarnwick/up HTTP/1.0\r\n"
              "Host: img.example.org:8443\r\n"
              "Content-Type: multipart/form-data, boundary="
                  + split.boundary
                  + "\r\n"
                    "Content-Length: 190\r\n"
                    "\r\n"
                  + body);
    EXPECT_EQ(body.size(), 190u);

    const UploadRequest http = BuildUploadRequest(image, "cat.gif", 0, false, target);
    const SplitRequest httpSplit = Split(http, 0);
    EXPECT_EQ(http.at(1),
              "Host: img.example.org:8443\r\n"
              "Content-Type: multipart/form-data, boundary="
                  + httpSplit.boundary
                  + "\r\n"
                    "Content-Length: 190\r\n"
                    "\r\n");
    EXPECT_TRUE(recorder_.reports.empty());
}

// A target written into the head as it is could start a header of its own.
TEST_F(RequestBuilderTest, TargetThatWouldBreakTheHeadIsRefused)
{
    const auto image = std::make_shared<const std::string>("x");
    for (const RequestTarget& target :
         { RequestTarget { "evil.test\r\nX-Injected: 1", "/" }, RequestTarget { "a.test", "/a b" },
           RequestTarget { "", "/" }, RequestTarget { "a.test", "" } }) {
        EXPECT_TRUE(BuildUploadRequest(image, "x.png", 1, false, target).empty());
    }
    ASSERT_EQ(recorder_.reports.size(), 4u);
    EXPECT_EQ(recorder_.reports.front().number, EINVAL);
}

TEST(ImageExtension, FollowsTheLeadingBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        { std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), ".png" },
        { "\xff\xd8\xff\xe0\0\x10JFIF", ".jpg" },
        { "GIF87a\x01\0", ".gif" },
        { "GIF89a", ".gif" },
        { "BM6\0\0\0", ".bmp" },
        { "RIFF\0\0\0\0WEBPVP8 ", "" },
        { "\x89PNG", "" }, // cut short
        { "<svg xmlns=", "" },
        { "", "" },
    };
    for (const auto& [leading, extension] : cases)
        EXPECT_EQ(ImageExtensionOfBytes(leading), extension) << leading;
}

TEST_F(RequestBuilderTest, StreamClosesTheFileOnceItsBytesAreRead)
{
    const std::size_t openBefore = OpenDescriptorCount();
    const std::unique_ptr<RequestStream> stream = OpenUploadRequest(WriteFile("a.png", SampleBytes()), 1, false);
    ASSERT_TRUE(stream);
    EXPECT_EQ(OpenDescriptorCount(), openBefore + 1);
    ReadWhole(*stream, 64);
    EXPECT_EQ(OpenDescriptorCount(), openBefore);
}

// Another program rewrites the image while it is sent: the stream stops
// before the closing boundary, so the service never takes a mixed file.
class ChangedImage : public RequestBuilderTest, public testing::WithParamInterface<std::string>
{ };

TEST_P(ChangedImage, EndsTheStreamBeforeItsTail)
{
    const std::string path = WriteFile("a.png", SampleBytes());
    const std::unique_ptr<RequestStream> stream = OpenUploadRequest(path, 0, false);
    ASSERT_TRUE(stream);
    const std::string change = GetParam();
    if (change == "shrunk") {
        std::filesystem::resize_file(path, 10);
    } else if (change == "grown") {
        std::filesystem::resize_file(path, 1000);
    } else {
        // The same length, other bytes, a later time stamp.
        std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(1));
    }

    char buffer[4096];
    std::int64_t got = 0;
    std::string given;
    while ((got = stream->Read(buffer, sizeof buffer)) > 0)
        given.append(buffer, std::size_t(got));
    EXPECT_EQ(got, -kImageChanged);
    EXPECT_LT(given.size(), stream->Size()) << "the closing boundary must not go out";
    EXPECT_EQ(DescribeReadFailure(kImageChanged), "The image file changed while it was being sent");
    EXPECT_TRUE(recorder_.reports.empty()) << "the transport reports it, as its own failure";
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedImage, testing::Values("shrunk", "grown", "touched"));

TEST_F(RequestBuilderTest, StreamFailsToOpenAsTheBuildDoes)
{
    EXPECT_EQ(OpenUploadRequest((dir_ / "missing.jpg").string(), 1, false), nullptr);
    EXPECT_EQ(recorder_.reports, (std::vector<Report> { { ENOENT, std::strerror(ENOENT) } }));
}

TEST_F(RequestBuilderTest, EmptyFileGivesEmptyPart)
{
    const UploadRequest request = BuildUploadRequest(WriteFile("empty.gif", ""), 1, false);
    const SplitRequest split = Split(request, 1);
    EXPECT_EQ(split.header, ExpectedHeader(true, split.boundary, 175 + 9));
    EXPECT_EQ(split.body, ExpectedBody(split.boundary, "empty.gif", ""));
}

TEST_F(RequestBuilderTest, RandomNameKeepsOnlyTheFilesOwnExtension)
{
    const std::string bytes = SampleBytes();
    const std::pair<std::string, std::string> cases[] = { { "cat.JPG", ".JPG" }, { "my.pics/cat", "" } };
    for (const auto& [relative, extension] : cases) {
        const std::string path = WriteFile(relative, bytes);
        const SplitRequest first = Split(BuildUploadRequest(path, 0, true), 0);
        const SplitRequest second = Split(BuildUploadRequest(path, 0, true), 0);

        const std::string nameStart = "filename=\"";
        const std::size_t at = first.body.find(nameStart) + nameStart.size();
        const std::string name = first.body.substr(at, first.body.find('"', at) - at);
        ASSERT_EQ(name.size(), 8 + extension.size()) << name;
        EXPECT_TRUE(IsAlphanumeric(name.substr(0, 8))) << name;
        EXPECT_EQ(name.substr(8), extension);
        EXPECT_EQ(first.body, ExpectedBody(first.boundary, name, bytes));
        EXPECT_EQ(first.header, ExpectedHeader(false, first.boundary, 175 + name.size() + bytes.size()));

        EXPECT_NE(second.boundary, first.boundary);
        EXPECT_EQ(second.body.find(name), std::string::npos) << "name reused";
    }
}

struct EscapingRow
{
    std::string label;
    std::string fileName;
    std::string uploadName;
};

void PrintTo(const EscapingRow& row, std::ostream* out)
{
    *out << row.label;
}

class UploadNameEscaping : public RequestBuilderTest, public testing::WithParamInterface<EscapingRow>
{ };

TEST_P(UploadNameEscaping, OnlyQuoteCrAndLfAreEscaped)
{
    const std::string bytes = SampleBytes();
    const SplitRequest split = Split(BuildUploadRequest(WriteFile(GetParam().fileName, bytes), 1, false), 1);
    EXPECT_EQ(split.body, ExpectedBody(split.boundary, GetParam().uploadName, bytes));
    EXPECT_EQ(split.header, ExpectedHeader(true, split.boundary, 175 + GetParam().uploadName.size() + bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(Names, UploadNameEscaping,
                         testing::Values(EscapingRow { "Quotes", "say \"cheese\".png", "say %22cheese%22.png" },
                                         EscapingRow { "CrLf", "two\r\nlines.gif", "two%0D%0Alines.gif" },
                                         EscapingRow { "LoneCrAndLf", "lone\rcr\nlf.bmp", "lone%0Dcr%0Alf.bmp" },
                                         EscapingRow { "PercentStays", "100%22 sure.jpg", "100%22 sure.jpg" },
                                         EscapingRow { "Utf8AndPunctuationStay", "k\xC3\xA4tzchen;'x'.jpg",
                                                       "k\xC3\xA4tzchen;'x'.jpg" }),
                         [](const testing::TestParamInfo<EscapingRow>& info) { return info.param.label; });

struct PathRow
{
    std::string path;
    std::string fileName;
    std::string extension;
};

// "/home/u/cat.JPG" -> "_home_u_cat_JPG", for test names.
std::string Identifier(const std::string& text)
{
    std::string name = text.empty() ? "empty" : text;
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

void PrintTo(const PathRow& row, std::ostream* out)
{
    *out << Identifier(row.path);
}

class PathParts : public testing::TestWithParam<PathRow>
{ };

TEST_P(PathParts, SplitAtLastSlashAndLastDotOfTheName)
{
    EXPECT_EQ(FileNameOfPath(GetParam().path), GetParam().fileName);
    EXPECT_EQ(ExtensionOfPath(GetParam().path), GetParam().extension);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathParts,
    testing::Values(PathRow { "/home/u/cat.JPG", "cat.JPG", ".JPG" }, PathRow { "/home/u/my.pics/cat", "cat", "" },
                    PathRow { "cat", "cat", "" }, PathRow { "/srv/cat.tar.gz", "cat.tar.gz", ".gz" },
                    PathRow { "/home/u/.hidden", ".hidden", ".hidden" }, PathRow { "/home/u/", "", "" },
                    PathRow { "D:\\pics\\cat.jpg", "D:\\pics\\cat.jpg", ".jpg" }, PathRow { "", "", "" }),
    [](const testing::TestParamInfo<PathRow>& info) { return Identifier(info.param.path); });

struct FailureRow
{
    std::string relative; // below the test's folder; empty means the empty path
    int number;
};

void PrintTo(const FailureRow& row, std::ostream* out)
{
    *out << Identifier(row.relative);
}

class BuildFailure : public RequestBuilderTest, public testing::WithParamInterface<FailureRow>
{ };

std::size_t OpenDescriptorCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST_P(BuildFailure, IsReportedOnceWithSystemErrorAndGivesNothing)
{
    WriteFile("plain.jpg", "x");
    std::filesystem::create_directories(dir_ / "folder.jpg");
    const std::string path = GetParam().relative.empty() ? "" : (dir_ / GetParam().relative).string();
    const std::size_t openBefore = OpenDescriptorCount();

    EXPECT_TRUE(BuildUploadRequest(path, 1, true).empty());
    const Report expected { GetParam().number, std::strerror(GetParam().number) };
    EXPECT_EQ(recorder_.reports, std::vector<Report> { expected });
    EXPECT_EQ(OpenDescriptorCount(), openBefore) << "a failed build leaves no file open";
}

INSTANTIATE_TEST_SUITE_P(Paths, BuildFailure,
                         testing::Values(FailureRow { "missing.jpg", ENOENT }, FailureRow { "folder.jpg", EISDIR },
                                         FailureRow { "", ENOENT }, FailureRow { "plain.jpg/inner.jpg", ENOTDIR }),
                         [](const testing::TestParamInfo<FailureRow>& info) {
                             return Identifier(info.param.relative);
                         });

TEST_F(RequestBuilderTest, MissingFileWithoutReporterWritesOneLineOnStandardError)
{
    const ErrorReportScope noReporter({});
    testing::internal::CaptureStderr();
    const UploadRequest request = BuildUploadRequest((dir_ / "missing.jpg").string(), 0, false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "2 - No such file or directory\n");
    EXPECT_TRUE(request.empty());
}

TEST_F(RequestBuilderTest, ThrowingReporterDoesNotEscape)
{
    const ErrorReportScope throwing(
        [](std::int32_t, const std::string&) { throw std::runtime_error("reporter failed"); });
    EXPECT_NO_THROW(EXPECT_TRUE(BuildUploadRequest("", 0, false).empty()));
}

} // namespace
