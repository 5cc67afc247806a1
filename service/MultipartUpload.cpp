#include "MultipartUpload.h"

#include <QList>

#include <algorithm>

namespace {

constexpr QByteArrayView kCrLf = "\r\n";
constexpr QByteArrayView kHeaderEnd = "\r\n\r\n";
constexpr QByteArrayView kDashes = "--";
constexpr QByteArrayView kFormData = "multipart/form-data";
constexpr QByteArrayView kContentDisposition = "content-disposition";

// Bounds on the work one request can cause.
constexpr int kMaxParts = 64;
constexpr qsizetype kMaxPartHeaderBytes = 16 * 1024;
constexpr qsizetype kMaxBoundaryLength = 200;

struct Parameter
{
    QByteArray name; // lower case
    QByteArray value;
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isSeparator(char c)
{
    return c == ';' || c == ',';
}

// A quoted value ends at the quote that is followed (after blanks) by a
// separator or the end: names such as my"cat.png arrive unescaped.
qsizetype closingQuote(QByteArrayView text, qsizetype from)
{
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] != '"')
            continue;
        qsizetype j = i + 1;
        while (j < text.size() && isBlank(text[j]))
            ++j;
        if (j == text.size() || isSeparator(text[j]))
            return i;
    }
    return -1;
}

// "form-data; name=\"f\"; filename=\"a.png\"" -> the type "form-data" and its parameters.
// Parameters may be separated by ';' or ','.
QList<Parameter> parametersOf(QByteArrayView text, QByteArray* type)
{
    qsizetype i = 0;
    while (i < text.size() && !isSeparator(text[i]))
        ++i;
    if (type)
        *type = text.first(i).trimmed().toByteArray().toLower();

    QList<Parameter> parameters;
    while (i < text.size()) {
        while (i < text.size() && (isBlank(text[i]) || isSeparator(text[i])))
            ++i;
        const qsizetype nameStart = i;
        while (i < text.size() && text[i] != '=' && !isSeparator(text[i]))
            ++i;
        Parameter parameter;
        parameter.name = text.sliced(nameStart, i - nameStart).trimmed().toByteArray().toLower();
        if (i < text.size() && text[i] == '=') {
            ++i;
            while (i < text.size() && isBlank(text[i]))
                ++i;
            if (i < text.size() && text[i] == '"') {
                const qsizetype close = closingQuote(text, i + 1);
                const qsizetype end = close < 0 ? text.size() : close;
                parameter.value = text.sliced(i + 1, end - i - 1).toByteArray();
                i = close < 0 ? text.size() : close + 1;
            } else {
                const qsizetype valueStart = i;
                while (i < text.size() && !isSeparator(text[i]))
                    ++i;
                parameter.value = text.sliced(valueStart, i - valueStart).trimmed().toByteArray();
            }
        }
        if (!parameter.name.isEmpty())
            parameters.append(parameter);
    }
    return parameters;
}

const Parameter* findParameter(const QList<Parameter>& parameters, QByteArrayView name)
{
    for (const Parameter& parameter : parameters) {
        if (parameter.name == name)
            return &parameter;
    }
    return nullptr;
}

// "UTF-8''caf%C3%A9.png" -> "café.png" (bytes)
QByteArray extendedValue(const QByteArray& value)
{
    const qsizetype quotes = value.indexOf("''");
    return QByteArray::fromPercentEncoding(quotes < 0 ? value : value.mid(quotes + 2));
}

// A delimiter is "--boundary" followed by "--", by blanks and a line break, or
// by the end of the body. Anything else is file content that merely starts like one.
bool endsDelimiter(const QByteArray& body, qsizetype after)
{
    if (after >= body.size())
        return true;
    if (QByteArrayView(body).sliced(after).startsWith(kDashes))
        return true;
    while (after < body.size() && isBlank(body[after]))
        ++after;
    return after >= body.size() || body[after] == '\r' || body[after] == '\n';
}

// Position of the CR LF that begins the next delimiter at or after from, or -1.
qsizetype nextDelimiter(const QByteArray& body, const QByteArray& crLfDelimiter, qsizetype from)
{
    for (qsizetype at = body.indexOf(crLfDelimiter, from); at >= 0;
         at = body.indexOf(crLfDelimiter, at + 1)) {
        if (endsDelimiter(body, at + crLfDelimiter.size()))
            return at;
    }
    return -1;
}

struct PartHeaders
{
    QByteArray name;
    QByteArray fileName;
    bool hasFileName = false;
};

PartHeaders readPartHeaders(QByteArrayView block)
{
    PartHeaders headers;
    for (QByteArrayView line : block.toByteArray().split('\n')) {
        line = line.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.first(colon).trimmed().toByteArray().toLower() != kContentDisposition)
            continue;
        const QList<Parameter> parameters = parametersOf(line.sliced(colon + 1), nullptr);
        if (const Parameter* name = findParameter(parameters, "name"))
            headers.name = name->value;
        if (const Parameter* fileName = findParameter(parameters, "filename")) {
            headers.fileName = fileName->value;
            headers.hasFileName = true;
        } else if (const Parameter* extended = findParameter(parameters, "filename*")) {
            headers.fileName = extendedValue(extended->value);
            headers.hasFileName = true;
        }
    }
    return headers;
}

} // namespace

QByteArray MultipartUpload::boundaryOf(QByteArrayView contentType, bool* isMultipart)
{
    QByteArray type;
    const QList<Parameter> parameters = parametersOf(contentType, &type);
    const bool multipart = type == kFormData;
    if (isMultipart)
        *isMultipart = multipart;
    if (!multipart)
        return {};
    const Parameter* boundary = findParameter(parameters, "boundary");
    if (!boundary || boundary->value.size() > kMaxBoundaryLength)
        return {};
    return boundary->value;
}

MultipartUpload MultipartUpload::parse(QByteArrayView contentType, const QByteArray& body,
                                       QByteArrayView fieldName, qsizetype maxFileBytes)
{
    bool multipart = false;
    const QByteArray boundary = boundaryOf(contentType, &multipart);
    if (!multipart)
        return MultipartUpload(Error::NotMultipart);
    if (boundary.isEmpty())
        return MultipartUpload(Error::NoBoundary);

    const QByteArray delimiter = kDashes.toByteArray() + boundary;
    const QByteArray crLfDelimiter = kCrLf.toByteArray() + delimiter;

    // The first delimiter may open the body without a line break before it.
    qsizetype at = -1;
    if (body.startsWith(delimiter) && endsDelimiter(body, delimiter.size())) {
        at = 0;
    } else {
        at = nextDelimiter(body, crLfDelimiter, 0);
        if (at < 0)
            return MultipartUpload(Error::Malformed);
        at += kCrLf.size();
    }

    for (int part = 0; part < kMaxParts; ++part) {
        qsizetype cursor = at + delimiter.size();
        if (cursor >= body.size() || QByteArrayView(body).sliced(cursor).startsWith(kDashes))
            break; // closing delimiter
        while (cursor < body.size() && isBlank(body[cursor]))
            ++cursor;
        if (QByteArrayView(body).sliced(cursor).startsWith(kCrLf))
            cursor += kCrLf.size();
        else if (cursor < body.size() && body[cursor] == '\n')
            ++cursor;
        else
            return MultipartUpload(Error::Malformed);

        qsizetype contentStart = 0;
        QByteArrayView headerBlock;
        if (QByteArrayView(body).sliced(cursor).startsWith(kCrLf)) {
            contentStart = cursor + kCrLf.size(); // a part without headers
        } else {
            const QByteArrayView window = QByteArrayView(body).sliced(
                cursor, std::min(body.size() - cursor, kMaxPartHeaderBytes + kHeaderEnd.size()));
            const qsizetype headerEnd = window.indexOf(kHeaderEnd);
            if (headerEnd < 0)
                return MultipartUpload(Error::Malformed);
            headerBlock = window.first(headerEnd);
            contentStart = cursor + headerEnd + kHeaderEnd.size();
        }

        const qsizetype contentEnd = nextDelimiter(body, crLfDelimiter, contentStart);
        if (contentEnd < 0)
            return MultipartUpload(Error::Malformed);

        const PartHeaders headers = readPartHeaders(headerBlock);
        if (headers.hasFileName && headers.name == fieldName) {
            const qsizetype size = contentEnd - contentStart;
            if (size == 0)
                return MultipartUpload(Error::EmptyFile);
            if (size > maxFileBytes)
                return MultipartUpload(Error::FileTooLarge);
            MultipartUpload upload(Error::None);
            upload.m_fileName = headers.fileName;
            upload.m_fileBytes = body.mid(contentStart, size);
            return upload;
        }
        at = contentEnd + kCrLf.size();
    }
    return MultipartUpload(Error::NoFilePart);
}

QString MultipartUpload::describe(Error error)
{
    switch (error) {
    case Error::None:
        return QStringLiteral("The upload was read.");
    case Error::NotMultipart:
        return QStringLiteral("An upload must be sent as a multipart/form-data form.");
    case Error::NoBoundary:
        return QStringLiteral("The request's Content-Type names no multipart boundary.");
    case Error::Malformed:
        return QStringLiteral("The form could not be read: its boundary lines are missing or broken.");
    case Error::NoFilePart:
        return QStringLiteral("The form carries no file in a field named \"fileupload\".");
    case Error::EmptyFile:
        return QStringLiteral("The file you sent is empty.");
    case Error::FileTooLarge:
        return QStringLiteral("The file you sent is larger than %1 bytes.").arg(kMaxFileBytes);
    }
    return {};
}
