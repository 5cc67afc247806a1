#include "modTarnwick.h"
#include "TrappedFailure.h"

#include <cerrno>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace modTarnwick {

namespace {

constexpr char kPathSeparator = '/';
constexpr char kExtensionDot = '.';

constexpr std::int32_t kSocketTransport = 1;
constexpr std::int16_t kRandomNameLength = 8;
constexpr std::int16_t kBoundaryLength = 32;

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kDashes = "--";
constexpr std::string_view kDispositionStart = "Content-Disposition: form-data; name=\"fileupload\"; filename=\"";
constexpr std::string_view kDispositionEnd = "\"";
constexpr std::string_view kPartType = "Content-Type: multipart/form-data";

constexpr std::string_view kRequestLine = "POST /? HTTP/1.0";
constexpr std::string_view kHostField = "Host: ";
constexpr std::string_view kBodyTypeField = "Content-Type: multipart/form-data, boundary=";
constexpr std::string_view kLengthField = "Content-Length: ";

// Everything in the body but the upload name and the file's bytes.
constexpr std::size_t kFixedBodySize = kDashes.size() + kBoundaryLength + kCrLf.size()
    + kDispositionStart.size() + kDispositionEnd.size() + kCrLf.size()
    + kPartType.size() + kCrLf.size() + kCrLf.size()
    + kCrLf.size() + kDashes.size() + kBoundaryLength + kDashes.size();
static_assert(kFixedBodySize == 175);

[[noreturn]] void Fail(int number)
{
    throw std::system_error(number, std::generic_category());
}

std::string_view FileNamePart(std::string_view path)
{
    const std::size_t separator = path.rfind(kPathSeparator);
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

// The name sits inside a quoted parameter of the part's headers, so the three
// bytes that could end it early are percent-escaped as browsers do.
std::string EscapeUploadName(const std::string& name)
{
    std::string escaped;
    escaped.reserve(name.size());
    for (const char c : name) {
        switch (c) {
        case '"': escaped += "%22"; break;
        case '\r': escaped += "%0D"; break;
        case '\n': escaped += "%0A"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

// The image, open for raw reading, and its length taken from the open file.
class ImageFile {
public:
    explicit ImageFile(const std::string& path)
    {
        if (path.find('\0') != std::string::npos)
            Fail(EINVAL);
        // Non-blocking, so that a FIFO standing at the path cannot hang the caller.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            Fail(errno);
        struct stat status {};
        const int failure = ::fstat(fd_, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
        if (failure != 0) {
            // No destructor runs for an object whose constructor throws.
            Close();
            Fail(failure);
        }
        size_ = static_cast<std::uint64_t>(status.st_size);
    }

    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile() { Close(); }

    std::uint64_t Size() const { return size_; }

    // Appends the file's bytes to out, read straight into their place, then closes the file.
    void AppendTo(std::string& out)
    {
        const std::size_t at = out.size();
        out.resize(at + size_);
        char* const target = out.data() + at;
        std::size_t done = 0;
        while (done < size_) {
            const ssize_t got = ::read(fd_, target + done, size_ - done);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                Fail(errno);
            }
            if (got == 0)
                Fail(EIO); // the file shrank after its length was taken
            done += static_cast<std::size_t>(got);
        }
        Close();
    }

private:
    void Close() noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
    std::uint64_t size_ = 0;
};

std::string HeaderBlock(bool withRequestLine, const std::string& boundary, std::uint64_t contentLength)
{
    std::string header;
    if (withRequestLine) {
        header += kRequestLine;
        header += kCrLf;
    }
    header += kHostField;
    header += kServiceHost;
    header += kCrLf;
    header += kBodyTypeField;
    header += boundary;
    header += kCrLf;
    header += kLengthField;
    header += std::to_string(contentLength);
    header += kCrLf;
    header += kCrLf;
    return header;
}

void AppendBody(std::string& out, const std::string& boundary, const std::string& uploadName, ImageFile& image)
{
    out += kDashes;
    out += boundary;
    out += kCrLf;
    out += kDispositionStart;
    out += uploadName;
    out += kDispositionEnd;
    out += kCrLf;
    out += kPartType;
    out += kCrLf;
    out += kCrLf;
    image.AppendTo(out);
    out += kCrLf;
    out += kDashes;
    out += boundary;
    out += kDashes;
}

} // namespace

std::string FileNameOfPath(const std::string& path)
{
    return std::string(FileNamePart(path));
}

std::string ExtensionOfPath(const std::string& path)
{
    const std::string_view name = FileNamePart(path);
    const std::size_t dot = name.rfind(kExtensionDot);
    return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
}

UploadRequest BuildUploadRequest(const std::string& imagePath, std::int32_t transportMode, bool randomName)
{
    try {
        ImageFile image(imagePath);
        const std::string uploadName = EscapeUploadName(
            randomName ? RandomAlphanumeric(kRandomNameLength) + ExtensionOfPath(imagePath) : FileNameOfPath(imagePath));
        const std::string boundary = RandomAlphanumeric(kBoundaryLength);

        // Content-Length is a 32-bit count.
        const std::uint64_t bodySize = kFixedBodySize + uploadName.size() + image.Size();
        if (bodySize > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            Fail(EFBIG);

        // Every string is reserved at its final size, so the file's bytes land
        // in their place once and are never moved again.
        UploadRequest request;
        if (transportMode == kSocketTransport) {
            std::string& whole = request.emplace_back();
            const std::string header = HeaderBlock(true, boundary, bodySize);
            whole.reserve(header.size() + bodySize);
            whole += header;
            AppendBody(whole, boundary, uploadName, image);
        } else {
            request.reserve(2);
            std::string& body = request.emplace_back();
            body.reserve(bodySize);
            AppendBody(body, boundary, uploadName, image);
            request.push_back(HeaderBlock(false, boundary, bodySize));
        }
        return request;
    } catch (const std::system_error& failure) {
        ReportTrappedErrno(failure.code().value());
    } catch (const std::bad_alloc&) {
        ReportTrappedErrno(ENOMEM);
    } catch (const std::length_error&) {
        ReportTrappedErrno(ENOMEM);
    } catch (...) {
        ReportTrappedErrno(EIO);
    }
    return {};
}

} // namespace modTarnwick
