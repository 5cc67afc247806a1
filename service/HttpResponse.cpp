#include "HttpResponse.h"

#include <QByteArrayView>

#include <algorithm>
#include <iterator>

namespace {

struct Reason
{
    int status;
    QByteArrayView phrase;
};

// Those the service sends.
constexpr Reason kReasons[] = {
    { 100, "Continue" },
    { 200, "OK" },
    { 400, "Bad Request" },
    { 404, "Not Found" },
    { 405, "Method Not Allowed" },
    { 408, "Request Timeout" },
    { 411, "Length Required" },
    { 413, "Payload Too Large" },
    { 414, "URI Too Long" },
    { 417, "Expectation Failed" },
    { 431, "Request Header Fields Too Large" },
    { 500, "Internal Server Error" },
    { 503, "Service Unavailable" },
    { 505, "HTTP Version Not Supported" },
    { 507, "Insufficient Storage" },
};

} // namespace

QByteArray HttpResponse::reasonPhrase(int status)
{
    const auto* found = std::find_if(std::begin(kReasons), std::end(kReasons),
                                     [status](const Reason& reason) { return reason.status == status; });
    return found == std::end(kReasons) ? QByteArray("Unknown") : found->phrase.toByteArray();
}

QByteArray HttpResponse::head(bool closeAfter) const
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto& [name, value] : headers)
        head += name + ": " + value + "\r\n";
    if (closeAfter)
        head += "Connection: close\r\n";
    return head + "\r\n";
}
