// Any bytes a client may send: the head is read strictly (served, or refused
// with one of the statuses the server knows), and an upload's form gives a
// file that lies inside the body, or a reason. Nothing else may happen: no
// crash, no read out of bounds, no file larger than the limit.

#include "HttpRequest.h"
#include "MultipartUpload.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 kMaxBodyBytes = 4 * 1024 * 1024;
constexpr int kRefusals[] = { 0, 400, 411, 413, 414, 417, 431, 505 };

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "request reading broke its promise: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype headEnd = bytes.indexOf("\r\n\r\n");
    QByteArray contentType = "multipart/form-data, boundary=b";
    QByteArray body = bytes;
    if (headEnd >= 0) {
        const HttpHead head = HttpHead::parse(QByteArrayView(bytes).first(headEnd + 4), kMaxBodyBytes);
        bool known = false;
        for (const int refusal : kRefusals)
            known = known || head.refusal == refusal;
        Require(known, "a refusal the server does not know");
        if (head.refusal == 0) {
            Require(!head.request.method.isEmpty(), "a request without a method");
            Require(head.request.path.startsWith('/') || head.request.path == "*", "a path that is no path");
            Require(head.bodyLength >= 0 && head.bodyLength <= kMaxBodyBytes, "a body length out of bounds");
            Require(head.request.minorVersion == 0 || head.request.minorVersion == 1, "a version not served");
            for (const auto& [name, value] : head.request.headers)
                Require(name == name.toLower() && !name.isEmpty(), "a header name not in lower case");
            contentType = head.request.header("content-type");
            body = bytes.mid(headEnd + 4);
        }
    }

    const MultipartUpload upload = MultipartUpload::parse(contentType, body);
    if (upload.isValid()) {
        Require(!upload.fileBytes().isEmpty(), "an empty file taken");
        Require(upload.fileBytes().size() <= MultipartUpload::kMaxFileBytes, "a file over the limit taken");
        Require(body.contains(upload.fileBytes()), "a file that is not in the body");
    }
    return 0;
}
