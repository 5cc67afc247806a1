#pragma once

// The uploader's protocol module: everything that knows the image service's
// formats. It builds the upload request from an image file and cuts the eight
// links out of the service's answer page. Plain C++, no toolkit; it keeps no
// state between calls except the process-wide random generator.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "modTarnwickEndpoint.h"

namespace modTarnwick {

// The transport modes: the socket's request carries its own request line.
inline constexpr std::int32_t kHttpTransportMode = 0;
inline constexpr std::int32_t kSocketTransportMode = 1;

// The placeholder of a slot whose section is not on the answer page.
inline constexpr std::string_view kNotAvailable = "n.a";

// A request or an answer held as bytes, one char per byte.
using UploadRequest = std::vector<std::string>;
// The links of one answer page: 8 slots after a good parse, none after a failed one.
using LinkSet = std::vector<std::string>;

// Where a request goes, as its request line and Host field name it. The
// defaults are the compiled-in service's: "POST /? HTTP/1.0", "Host: localhost".
// A configured service: {"img.example.org:8443", "/tarnwick/"}.
struct RequestTarget
{
    std::string host = std::string(kServiceHost);
    std::string path = std::string(kServicePath);
};

// Transport mode 1: one element, request line + headers + body for the socket.
// Any other mode: two elements, [0] the body and [1] the header block.
// Empty after a failure, which has already been reported through ReportError.
UploadRequest BuildUploadRequest(const std::string& imagePath, std::int32_t transportMode, bool randomName,
                                 const RequestTarget& target = {});

// The same request read piece by piece while it is sent, so that the image's
// bytes go from the file to the connection without a copy of the whole file
// in memory. The name and the boundary are drawn when it is opened, in the
// same order as BuildUploadRequest draws them; the file stays open until the
// stream goes.
class RequestStream
{
public:
    RequestStream(const RequestStream&) = delete;
    RequestStream& operator=(const RequestStream&) = delete;
    ~RequestStream();

    // Bytes the stream gives in all: the whole request in transport mode 1,
    // the body in any other mode.
    std::uint64_t Size() const { return prefix_.size() + imageSize_ + tail_.size(); }
    // The header block in any mode but 1; "" in mode 1, whose headers lead the stream.
    const std::string& HeaderBlock() const { return headerBlock_; }

    // Copies the next bytes, at most room of them, to `to`. Returns their
    // count, 0 once every byte has been given, or -N for failure N (see
    // DescribeReadFailure): errno when the file cannot be read,
    // kImageChanged when its length or time stamp is no longer what it was
    // when the stream was opened. Reports nothing.
    std::int64_t Read(char* to, std::size_t room);

private:
    friend class RequestAssembly;
    RequestStream() = default;

    std::string prefix_;
    std::string tail_;
    std::string headerBlock_;
    // The image comes from its file, or from memory when this is set.
    std::shared_ptr<const std::string> memory_;
    int file_ = -1;
    std::uint64_t imageSize_ = 0;
    std::int64_t imageTime_ = 0; // nanoseconds since the epoch
    std::uint64_t given_ = 0;
};

// Read's failure for an image that another program changed while it was
// sent; ESTALE, which is also what a network file system says of a file
// replaced under a reader.
inline constexpr std::int32_t kImageChanged = ESTALE;
// The words for a failure number of Read: "The image file changed while it was being sent", or errno's.
std::string DescribeReadFailure(std::int32_t number);

// Null after a failure, which has already been reported through ReportError.
std::unique_ptr<RequestStream> OpenUploadRequest(const std::string& imagePath, std::int32_t transportMode,
                                                 bool randomName, const RequestTarget& target = {});

// The same requests for an image held in memory (a pasted image, standard
// input), named as a file at the path uploadName would be: its file name, or
// a random name with its extension. The bytes are those of a file with the
// same bytes and name.
std::unique_ptr<RequestStream> OpenUploadRequest(std::shared_ptr<const std::string> image,
                                                 const std::string& uploadName, std::int32_t transportMode,
                                                 bool randomName, const RequestTarget& target = {});
UploadRequest BuildUploadRequest(std::shared_ptr<const std::string> image, const std::string& uploadName,
                                 std::int32_t transportMode, bool randomName, const RequestTarget& target = {});

// The extension of an image the service takes, from its leading bytes:
// "\x89PNG\r\n\x1a\n..." -> ".png"; "\xff\xd8\xff..." -> ".jpg"; "GIF89a..." -> ".gif";
// "BM..." -> ".bmp"; anything else -> "".
std::string ImageExtensionOfBytes(std::string_view leading);

// Eight slots ("n.a" for a section missing from the page), or none after a
// reported failure (number 5).
LinkSet ParseResultPage(const std::string& page);

// The status line and headers that begin an HTTP answer, as far as a failure
// message needs them; interim answers (100 Continue) before them are passed
// over. "HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n<html>..."
// -> {302, "Found", "/x", "", 36}; text that does not begin with a status line -> {0, "", "", "", 0}.
struct AnswerHead
{
    int status = 0;
    std::string reason;
    std::string location;
    std::string contentEncoding; // "gzip", say; "" when the page is sent as it is
    std::size_t size = 0; // bytes of the head, its blank line included; the page follows
};
AnswerHead ReadAnswerHead(std::string_view answer);

// An answer whose head takes more than this is malformed: no service needs
// it, and a head without end would otherwise be read for as long as it comes.
inline constexpr std::size_t kMaxAnswerHeadBytes = 64 * 1024;

// Bytes that the head of an answer takes: its status line and headers through
// the blank line that ends them, interim answers before them included; for an
// answer that does not begin with a status line, its first line. npos when
// that end has not arrived, or does not lie within kMaxAnswerHeadBytes.
// "HTTP/1.0 200 OK\r\nA: b\r\n\r\n<html>" -> 25; "<html>\n<body>" -> 7; "HTTP/1.0 200 OK\r\n" -> npos
std::size_t AnswerHeadSize(std::string_view answer);

// What a page says of itself: the text of its title, or of its first
// heading when it has no title (or only a blank one), tags dropped and the
// common character references decoded; "" when it has neither.
// "<title>Upload refused</title>" -> "Upload refused"; "<h1>Too <i>big</i></h1>" -> "Too big"
std::string PageReason(std::string_view page);

// Whether text, whose first searchedBefore characters were already searched
// and held no "</html>", now holds one, letter case ignored: on the socket the
// answer ends there. Only the new text and the few characters before it are
// searched again.
bool EndOfAnswerArrived(const std::string& text, std::size_t searchedBefore);

// count characters from 0-9, A-Z, a-z; "" when count <= 0.
std::string RandomAlphanumeric(std::int16_t count);

// "/home/u/cat.jpg" -> "cat.jpg"; "cat.jpg" -> "cat.jpg"; "/home/u/" -> ""
std::string FileNameOfPath(const std::string& path);

// "/home/u/cat.JPG" -> ".JPG"; "/home/u/my.pics/cat" -> ""; "cat" -> ""
std::string ExtensionOfPath(const std::string& path);

using ErrorReporter = std::function<void(std::int32_t number, const std::string& description)>;

// While a scope lives, failures reported on its thread go to its reporter;
// the innermost scope wins. A window opens one around each call into this
// module, so that each window shows its own failures.
class ErrorReportScope
{
public:
    explicit ErrorReportScope(ErrorReporter reporter);
    ~ErrorReportScope();
    ErrorReportScope(const ErrorReportScope&) = delete;
    ErrorReportScope& operator=(const ErrorReportScope&) = delete;

private:
    friend void ReportError(std::int32_t number, const std::string& description);

    ErrorReporter m_reporter;
    ErrorReportScope* m_outer;
};

// Shows one failure exactly once: through the innermost scope's reporter, or
// as "N - description" on standard error when no scope is open.
void ReportError(std::int32_t number, const std::string& description);

} // namespace modTarnwick
