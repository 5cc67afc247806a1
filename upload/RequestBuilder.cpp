#include "TrappedFailure.h"
#include "modTarnwick.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace modTarnwick {

namespace {

constexpr char kPathSeparator = '/';
constexpr char kExtensionDot = '.';

constexpr std::int16_t kRandomNameLength = 8;
constexpr std::int16_t kBoundaryLength = 32;

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kDashes = "--";
constexpr std::string_view kDispositionStart = "Content-Disposition: form-data; name=\"fileupload\"; filename=\"";
constexpr std::string_view kDispositionEnd = "\"";
constexpr std::string_view kPartType = "Content-Type: multipart/form-data";

constexpr std::string_view kRequestMethod = "POST ";
constexpr std::string_view kRequestVersion = " HTTP/1.0";
constexpr std::string_view kHostField = "Host: ";
constexpr std::string_view kBodyTypeField = "Content-Type: multipart/form-data, boundary=";
constexpr std::string_view kLengthField = "Content-Length: ";

constexpr const char* kImageChangedText = "The image file changed while it was being sent";

// Everything in the body but the upload name and the file's bytes.
constexpr std::size_t kFixedBodySize = kDashes.size() + kBoundaryLength + kCrLf.size() + kDispositionStart.size()
    + kDispositionEnd.size() + kCrLf.size() + kPartType.size() + kCrLf.size() + kCrLf.size() + kCrLf.size()
    + kDashes.size() + kBoundaryLength + kDashes.size();
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
        case '"':
            escaped += "%22";
            break;
        case '\r':
            escaped += "%0D";
            break;
        case '\n':
            escaped += "%0A";
            break;
        default:
            escaped += c;
            break;
        }
    }
    return escaped;
}

// The image, open for raw reading, and its length taken from the open file.
class ImageFile
{
public:
    explicit ImageFile(const std::string& path)
    {
        if (path.find('\0') != std::string::npos)
            Fail(EINVAL);
        // Non-blocking, so that a FIFO standing at the path cannot hang the caller.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            Fail(errno);
        struct stat status = {};
        const int failure = ::fstat(fd_, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
        if (failure != 0) {
            // No destructor runs for an object whose constructor throws.
            ::close(std::exchange(fd_, -1));
            Fail(failure);
        }
        size_ = static_cast<std::uint64_t>(status.st_size);
        time_ = TimeOf(status);
    }

    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    std::uint64_t Size() const { return size_; }
    std::int64_t Time() const { return time_; }
    // The open file, which the caller closes from now on.
    int Release() { return std::exchange(fd_, -1); }

    // When the file's contents last changed, in nanoseconds.
    static std::int64_t TimeOf(const struct stat& status)
    {
        return std::int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::int64_t time_ = 0;
};

// A target is written into the request's head as it is: a line break in it
// would start a header of its own.
void CheckTarget(const RequestTarget& target)
{
    const auto fits = [](const std::string& text) {
        return std::none_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    };
    if (target.host.empty() || target.path.empty() || !fits(target.host) || !fits(target.path)
        || target.path.find(' ') != std::string::npos)
        Fail(EINVAL);
}

std::string HeaderBlock(bool withRequestLine, const RequestTarget& target, const std::string& boundary,
                        std::uint64_t contentLength)
{
    std::string header;
    if (withRequestLine) {
        header += kRequestMethod;
        header += target.path;
        header += kRequestVersion;
        header += kCrLf;
    }
    header += kHostField;
    header += target.host;
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

// Everything in the body before the file's bytes.
std::string BodyStart(const std::string& boundary, const std::string& uploadName)
{
    std::string start;
    start += kDashes;
    start += boundary;
    start += kCrLf;
    start += kDispositionStart;
    start += uploadName;
    start += kDispositionEnd;
    start += kCrLf;
    start += kPartType;
    start += kCrLf;
    start += kCrLf;
    return start;
}

// Everything in the body after the file's bytes.
std::string BodyEnd(const std::string& boundary)
{
    std::string end;
    end += kCrLf;
    end += kDashes;
    end += boundary;
    end += kDashes;
    return end;
}

// Runs body; a failure it throws is reported once, as its errno, and gives
// an empty result.
template <typename Body>
auto Reported(Body body) -> decltype(body())
{
    try {
        return body();
    } catch (const std::system_error& failure) {
        ReportTrapped(failure.code().value(), DescribeReadFailure(failure.code().value()).c_str());
    } catch (const std::bad_alloc&) {
        ReportTrappedErrno(ENOMEM);
    } catch (const std::length_error&) {
        ReportTrappedErrno(ENOMEM);
    } catch (...) {
        ReportTrappedErrno(EIO);
    }
    return {};
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

RequestStream::~RequestStream()
{
    if (file_ >= 0)
        ::close(file_);
}

std::int64_t RequestStream::Read(char* to, std::size_t room)
{
    std::size_t copied = 0;
    const auto copyFrom = [&](const std::string& part, std::uint64_t partStart) {
        if (given_ < partStart || given_ >= partStart + part.size() || copied == room)
            return;
        const std::size_t at = static_cast<std::size_t>(given_ - partStart);
        const std::size_t count = std::min(room - copied, part.size() - at);
        std::memcpy(to + copied, part.data() + at, count);
        copied += count;
        given_ += count;
    };

    copyFrom(prefix_, 0);
    const std::uint64_t imageEnd = prefix_.size() + imageSize_;
    while (copied < room && given_ < imageEnd) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room - copied, imageEnd - given_));
        if (memory_) {
            std::memcpy(to + copied, memory_->data() + (given_ - prefix_.size()), wanted);
            copied += wanted;
            given_ += wanted;
            continue;
        }
        const ssize_t got = ::read(file_, to + copied, wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -errno;
        if (got == 0)
            return -kImageChanged; // shorter than when it was opened
        copied += static_cast<std::size_t>(got);
        given_ += static_cast<std::uint64_t>(got);
    }
    if (given_ == imageEnd && file_ >= 0) {
        // Every byte read, but not necessarily of one version of the file:
        // the closing boundary goes out only if it is still what was opened.
        struct stat status = {};
        const bool same = ::fstat(file_, &status) == 0 && std::uint64_t(status.st_size) == imageSize_
            && ImageFile::TimeOf(status) == imageTime_;
        ::close(file_);
        file_ = -1;
        if (!same)
            return -kImageChanged;
    }
    copyFrom(tail_, imageEnd);
    return static_cast<std::int64_t>(copied);
}

std::string DescribeReadFailure(std::int32_t number)
{
    return number == kImageChanged ? kImageChangedText : std::strerror(number);
}

// Puts the request together around an image of imageSize bytes, under the
// name that the path-like uploadName gives: the name is drawn before the
// boundary, as for every request.
class RequestAssembly
{
public:
    static std::unique_ptr<RequestStream> Assemble(const std::string& namedAs, std::uint64_t imageSize,
                                                   std::int32_t transportMode, bool randomName,
                                                   const RequestTarget& target)
    {
        CheckTarget(target);
        const std::string uploadName = EscapeUploadName(
            randomName ? RandomAlphanumeric(kRandomNameLength) + ExtensionOfPath(namedAs) : FileNameOfPath(namedAs));
        const std::string boundary = RandomAlphanumeric(kBoundaryLength);

        // Content-Length is a 32-bit count.
        const std::uint64_t bodySize = kFixedBodySize + uploadName.size() + imageSize;
        if (bodySize > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            Fail(EFBIG);

        std::unique_ptr<RequestStream> stream(new RequestStream);
        if (transportMode == kSocketTransportMode)
            stream->prefix_ = HeaderBlock(true, target, boundary, bodySize) + BodyStart(boundary, uploadName);
        else {
            stream->prefix_ = BodyStart(boundary, uploadName);
            stream->headerBlock_ = HeaderBlock(false, target, boundary, bodySize);
        }
        stream->tail_ = BodyEnd(boundary);
        stream->imageSize_ = imageSize;
        return stream;
    }

    static void TakeFile(RequestStream& stream, ImageFile& image)
    {
        stream.imageTime_ = image.Time();
        stream.file_ = image.Release();
    }

    static void TakeMemory(RequestStream& stream, std::shared_ptr<const std::string> image)
    {
        stream.memory_ = std::move(image);
    }
};

namespace {

// The whole request that stream gives, in BuildUploadRequest's shape.
UploadRequest ReadWhole(RequestStream& stream, std::int32_t transportMode)
{
    return Reported([&] {
        // Read straight into a string of the final size: the image's bytes
        // land in their place once and are never moved again.
        std::string bytes;
        bytes.resize(static_cast<std::size_t>(stream.Size()));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const std::int64_t got = stream.Read(bytes.data() + done, bytes.size() - done);
            if (got <= 0)
                Fail(got < 0 ? static_cast<int>(-got) : EIO);
            done += static_cast<std::size_t>(got);
        }
        UploadRequest request;
        request.reserve(2);
        request.push_back(std::move(bytes));
        if (transportMode != kSocketTransportMode)
            request.push_back(stream.HeaderBlock());
        return request;
    });
}

} // namespace

std::unique_ptr<RequestStream> OpenUploadRequest(const std::string& imagePath, std::int32_t transportMode,
                                                 bool randomName, const RequestTarget& target)
{
    return Reported([&] {
        ImageFile image(imagePath);
        std::unique_ptr<RequestStream> stream =
            RequestAssembly::Assemble(imagePath, image.Size(), transportMode, randomName, target);
        RequestAssembly::TakeFile(*stream, image);
        return stream;
    });
}

std::unique_ptr<RequestStream> OpenUploadRequest(std::shared_ptr<const std::string> image,
                                                 const std::string& uploadName, std::int32_t transportMode,
                                                 bool randomName, const RequestTarget& target)
{
    return Reported([&] {
        if (!image)
            Fail(EINVAL);
        std::unique_ptr<RequestStream> stream =
            RequestAssembly::Assemble(uploadName, image->size(), transportMode, randomName, target);
        RequestAssembly::TakeMemory(*stream, std::move(image));
        return stream;
    });
}

UploadRequest BuildUploadRequest(const std::string& imagePath, std::int32_t transportMode, bool randomName,
                                 const RequestTarget& target)
{
    const std::unique_ptr<RequestStream> stream = OpenUploadRequest(imagePath, transportMode, randomName, target);
    return stream ? ReadWhole(*stream, transportMode) : UploadRequest {};
}

UploadRequest BuildUploadRequest(std::shared_ptr<const std::string> image, const std::string& uploadName,
                                 std::int32_t transportMode, bool randomName, const RequestTarget& target)
{
    const std::unique_ptr<RequestStream> stream =
        OpenUploadRequest(std::move(image), uploadName, transportMode, randomName, target);
    return stream ? ReadWhole(*stream, transportMode) : UploadRequest {};
}

std::string ImageExtensionOfBytes(std::string_view leading)
{
    // The kinds the service decodes, by the bytes that open each.
    static constexpr std::pair<std::string_view, std::string_view> kSignatures[] = {
        { std::string_view("\x89PNG\r\n\x1a\n", 8), ".png" },
        { std::string_view("\xff\xd8\xff", 3), ".jpg" },
        { "GIF87a", ".gif" },
        { "GIF89a", ".gif" },
        { "BM", ".bmp" },
    };
    for (const auto& [signature, extension] : kSignatures) {
        if (leading.substr(0, signature.size()) == signature)
            return std::string(extension);
    }
    return {};
}

} // namespace modTarnwick
