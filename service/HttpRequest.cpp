#include "HttpRequest.h"

#include <algorithm>

namespace {

constexpr QByteArrayView kCrLf = "\r\n";
constexpr qsizetype kMaxLengthDigits = 18; // fits a qint64

// The characters of a method or a header name.
bool isToken(QByteArrayView text)
{
    constexpr QByteArrayView kMarks = "!#$%&'*+-.^_`|~";
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [&](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || kMarks.contains(c);
    });
}

// Visible characters, spaces and tabs, and bytes above ASCII; no other control character.
bool isFieldValue(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\t' || (uchar(c) >= 0x20 && c != 0x7f); });
}

bool isDigits(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "HTTP/1.1" -> 1, "HTTP/1.0" -> 0; another version -> -505; no version at all -> -400
int minorVersionOf(QByteArrayView text)
{
    if (text.size() != 8 || !text.startsWith("HTTP/") || !isDigits(text.sliced(5, 1)) || text[6] != '.'
        || !isDigits(text.sliced(7, 1)))
        return -400;
    if (text[5] != '1' || (text[7] != '0' && text[7] != '1'))
        return -505;
    return text[7] - '0';
}

// "/a%20b?x" -> "/a b"; "http://host/a?x" -> "/a"; "*" -> "*"
QByteArray pathOf(QByteArrayView target)
{
    if (!target.startsWith('/') && target != "*") {
        const qsizetype authority = target.indexOf("//") + 2;
        const qsizetype slash = target.indexOf('/', authority);
        target = slash < 0 ? QByteArrayView("/") : target.sliced(slash);
    }
    const qsizetype query = target.indexOf('?');
    return QByteArray::fromPercentEncoding(query < 0 ? target.toByteArray() : target.first(query).toByteArray());
}

bool isTarget(QByteArrayView target)
{
    const bool visible = std::all_of(target.begin(), target.end(), [](char c) { return uchar(c) > 0x20 && c < 0x7f; });
    const bool absolute = target.startsWith("http://") || target.startsWith("https://");
    return visible && (target.startsWith('/') || absolute || target == "*");
}

// "keep-alive, Close" has "close"
bool hasToken(QByteArrayView list, QByteArrayView token)
{
    for (const QByteArray& item : list.toByteArray().split(',')) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QByteArray HttpRequest::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (key == name)
            return value;
    }
    return {};
}

HttpHead HttpHead::parse(QByteArrayView head, qint64 maxBodyBytes)
{
    HttpHead parsed;
    const auto refuse = [&parsed](int status) {
        parsed.refusal = status;
        return parsed;
    };
    if (!head.endsWith("\r\n\r\n"))
        return refuse(400);
    QList<QByteArrayView> lines;
    for (QByteArrayView rest = head.chopped(2 * kCrLf.size());;) {
        const qsizetype end = rest.indexOf(kCrLf);
        lines.append(end < 0 ? rest : rest.first(end));
        if (end < 0)
            break;
        rest = rest.sliced(end + kCrLf.size());
    }
    // A bare CR or LF ends a line for some readers and not for others.
    for (QByteArrayView line : lines) {
        if (line.contains('\r') || line.contains('\n'))
            return refuse(400);
    }

    HttpRequest& request = parsed.request;
    const QByteArrayView requestLine = lines.takeFirst();
    const qsizetype firstSpace = requestLine.indexOf(' ');
    const qsizetype lastSpace = requestLine.lastIndexOf(' ');
    if (firstSpace <= 0 || lastSpace == firstSpace)
        return refuse(400);
    const QByteArrayView target = requestLine.sliced(firstSpace + 1, lastSpace - firstSpace - 1);
    const int minor = minorVersionOf(requestLine.sliced(lastSpace + 1));
    if (minor < 0)
        return refuse(-minor);
    if (!isToken(requestLine.first(firstSpace)) || !isTarget(target))
        return refuse(400);
    if (target.size() > kMaxTargetBytes)
        return refuse(414);
    request.method = requestLine.first(firstSpace).toByteArray();
    request.target = target.toByteArray();
    request.path = pathOf(target);
    request.minorVersion = minor;

    if (lines.size() > kMaxHeaderLines)
        return refuse(431);
    int lengths = 0;
    int hosts = 0;
    bool transferEncoding = false;
    for (QByteArrayView line : std::as_const(lines)) {
        // Refuses a line that begins with a space or a tab too: it would
        // continue the one before it (obsolete folding).
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon)))
            return refuse(400);
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        if (!isFieldValue(value))
            return refuse(400);
        const QByteArray name = line.first(colon).toByteArray().toLower();
        lengths += name == "content-length";
        hosts += name == "host";
        transferEncoding = transferEncoding || name == "transfer-encoding";
        request.headers.append({ name, value.toByteArray() });
    }

    const QByteArray length = request.header("content-length");
    if (lengths > 1 || (lengths == 1 && (transferEncoding || !isDigits(length))) || hosts > 1
        || (hosts == 0 && minor == 1))
        return refuse(400);
    if (transferEncoding || (lengths == 0 && request.method == "POST"))
        return refuse(411);
    if (length.size() > kMaxLengthDigits || length.toLongLong() > maxBodyBytes)
        return refuse(413);
    parsed.bodyLength = length.toLongLong();

    // An HTTP/1.0 client cannot wait for a 100 Continue; it is sending its body already.
    const QByteArray expect = request.header("expect");
    const bool expectsContinue = expect.compare("100-continue", Qt::CaseInsensitive) == 0;
    if (!expect.isEmpty() && !expectsContinue)
        return refuse(417);
    parsed.expectsContinue = expectsContinue && minor == 1;
    parsed.closeAfterAnswer = minor == 0 || hasToken(request.header("connection"), "close");
    return parsed;
}
