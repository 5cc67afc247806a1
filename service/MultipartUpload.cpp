#include "MultipartUpload.h"

#include <QHash>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

constexpr QByteArrayView kCrLf = "\r\n";
constexpr QByteArrayView kHeadEnd = "\r\n\r\n";
constexpr QByteArrayView kDashes = "--";
constexpr QByteArrayView kFieldName = "fileupload";

// Bounds on the work one request can cause.
constexpr int kMaxParts = 64;
constexpr qsizetype kMaxPartHeadBytes = 16 * 1024;
constexpr qsizetype kMaxBoundaryLength = 200;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool isSeparator(char c)
{
    return c == ';' || c == ',';
}

// "form-data; name=\"f\"; filename=\"a.png\"" -> {name: "f", filename: "a.png"}: the parameters after ';'
// or ',', names in lower case, the first of a name. A quoted value ends at the quote that a separator
// or the end follows: names such as my"cat.png arrive unescaped. One pass over a line of a client's
// bytes, whatever their shape: no value is looked for again from each of its quotes.
QHash<QByteArray, QByteArray> parametersOf(QByteArrayView text)
{
    const qsizetype size = text.size();
    // The quotes that can end a value, found once from the back.
    std::vector<qsizetype> closers;
    bool endFollows = true; // only spaces between here and a separator or the end
    for (qsizetype at = size - 1; at >= 0; --at) {
        const char c = text[at];
        if (c == '"' && endFollows)
            closers.push_back(at);
        endFollows = isSeparator(c) || (isSpace(c) && endFollows);
    }
    std::reverse(closers.begin(), closers.end());
    auto closer = closers.cbegin();

    const auto skipSpaces = [&](qsizetype at) {
        while (at < size && isSpace(text[at]))
            ++at;
        return at;
    };
    QHash<QByteArray, QByteArray> parameters;
    for (qsizetype at = 0; at < size;) {
        const qsizetype separator = std::find_if(text.begin() + at, text.end(), isSeparator) - text.begin();
        if (separator >= size)
            break;
        const qsizetype nameStart = skipSpaces(separator + 1);
        qsizetype nameEnd = nameStart;
        while (nameEnd < size && !isSpace(text[nameEnd]) && text[nameEnd] != '=' && !isSeparator(text[nameEnd]))
            ++nameEnd;
        qsizetype valueStart = skipSpaces(nameEnd);
        if (nameEnd == nameStart || valueStart >= size || text[valueStart] != '=') {
            at = separator + 1;
            continue;
        }
        valueStart = skipSpaces(valueStart + 1);
        QByteArray value;
        while (closer != closers.cend() && *closer <= valueStart)
            ++closer;
        if (valueStart < size && text[valueStart] == '"' && closer != closers.cend()) {
            value = text.sliced(valueStart + 1, *closer - valueStart - 1).toByteArray();
            at = *closer + 1;
        } else {
            at = std::find_if(text.begin() + valueStart, text.end(), isSeparator) - text.begin();
            value = text.sliced(valueStart, at - valueStart).trimmed().toByteArray();
        }
        const QByteArray name = text.sliced(nameStart, nameEnd - nameStart).toByteArray().toLower();
        if (!parameters.contains(name))
            parameters.insert(name, value);
    }
    return parameters;
}

// Where the CR LF before the next delimiter begins, at or after from; -1 if
// there is none. The delimiter counts only where "--" or a line break follows
// it, or the body ends: the same text inside a file is content.
qsizetype nextDelimiter(const QByteArray& body, const QByteArray& crLfDelimiter, qsizetype from)
{
    for (qsizetype at = body.indexOf(crLfDelimiter, from); at >= 0; at = body.indexOf(crLfDelimiter, at + 1)) {
        const QByteArrayView after = QByteArrayView(body).sliced(at + crLfDelimiter.size());
        if (after.isEmpty() || after.startsWith(kDashes) || after.startsWith(kCrLf))
            return at;
    }
    return -1;
}

// The file name of a part named "fileupload" that has one, from the part's head:
// "Content-Disposition: form-data; name=\"fileupload\"; filename=\"a.png\"\r\nContent-Type: image/png"
std::optional<QByteArray> uploadedFileName(QByteArrayView head)
{
    for (const QByteArray& line : head.toByteArray().split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.first(colon).trimmed().toLower() != "content-disposition")
            continue;
        const QHash<QByteArray, QByteArray> parameters = parametersOf(line);
        if (parameters.value("name") == kFieldName && parameters.contains("filename"))
            return parameters.value("filename");
    }
    return std::nullopt;
}

} // namespace

QByteArray MultipartUpload::boundaryOf(QByteArrayView contentType, bool* isMultipart)
{
    const auto isSeparator = [](char c) { return c == ';' || c == ','; };
    const QByteArrayView type(contentType.begin(), std::find_if(contentType.begin(), contentType.end(), isSeparator));
    const bool multipart = type.trimmed().compare("multipart/form-data", Qt::CaseInsensitive) == 0;
    if (isMultipart)
        *isMultipart = multipart;
    const QByteArray boundary = parametersOf(contentType).value("boundary");
    if (!multipart || boundary.size() > kMaxBoundaryLength)
        return {};
    return boundary;
}

MultipartUpload MultipartUpload::parse(QByteArrayView contentType, const QByteArray& body)
{
    bool multipart = false;
    const QByteArray boundary = boundaryOf(contentType, &multipart);
    if (!multipart)
        return MultipartUpload(Error::NotMultipart);
    if (boundary.isEmpty())
        return MultipartUpload(Error::NoBoundary);

    // The body opens with the first delimiter, with no line break before it.
    const QByteArray crLfDelimiter = kCrLf.toByteArray() + kDashes.toByteArray() + boundary;
    if (!body.startsWith(QByteArrayView(crLfDelimiter).sliced(kCrLf.size())))
        return MultipartUpload(Error::Malformed);
    qsizetype cursor = crLfDelimiter.size() - kCrLf.size();

    for (int part = 0; part < kMaxParts; ++part) {
        const QByteArrayView rest = QByteArrayView(body).sliced(cursor);
        if (rest.startsWith(kDashes))
            break; // the closing delimiter
        // From the line break after the delimiter: a part without head lines has its blank line right there.
        const qsizetype headEnd = rest.first(std::min(rest.size(), kMaxPartHeadBytes)).indexOf(kHeadEnd);
        if (!rest.startsWith(kCrLf) || headEnd < 0)
            return MultipartUpload(Error::Malformed);
        const qsizetype contentStart = cursor + headEnd + kHeadEnd.size();
        const qsizetype contentEnd = nextDelimiter(body, crLfDelimiter, contentStart);
        if (contentEnd < 0)
            return MultipartUpload(Error::Malformed);

        if (const std::optional<QByteArray> fileName = uploadedFileName(rest.first(headEnd))) {
            const qsizetype size = contentEnd - contentStart;
            if (size == 0)
                return MultipartUpload(Error::EmptyFile);
            if (size > kMaxFileBytes)
                return MultipartUpload(Error::FileTooLarge);
            MultipartUpload upload(Error::None);
            upload.m_fileName = *fileName;
            upload.m_body = body;
            upload.m_fileStart = contentStart;
            upload.m_fileSize = size;
            return upload;
        }
        cursor = contentEnd + crLfDelimiter.size();
    }
    return MultipartUpload(Error::NoFilePart);
}

QString MultipartUpload::describe(Error error)
{
    switch (error) {
    case Error::None:
        return QStringLiteral("The upload was read");
    case Error::NotMultipart:
        return QStringLiteral("An upload must be sent as a multipart/form-data form");
    case Error::NoBoundary:
        return QStringLiteral("The request's Content-Type names no multipart boundary");
    case Error::Malformed:
        return QStringLiteral("The form could not be read: its boundary lines are missing or broken");
    case Error::NoFilePart:
        return QStringLiteral("The form carries no file in a field named \"fileupload\"");
    case Error::EmptyFile:
        return QStringLiteral("The file you sent is empty");
    case Error::FileTooLarge:
        return QStringLiteral("The file you sent is larger than %1 bytes").arg(kMaxFileBytes);
    }
    return {};
}
