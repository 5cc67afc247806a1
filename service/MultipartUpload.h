#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The one file of a multipart/form-data upload, cut out of the raw request
// body, in the forms that browsers, curl and the uploader send. The
// uploader's own is not what common readers accept: ", boundary=" after the
// media type, and a closing delimiter with nothing after it.
class MultipartUpload
{
public:
    enum class Error { None, NotMultipart, NoBoundary, Malformed, NoFilePart, EmptyFile, FileTooLarge };

    static constexpr qsizetype kMaxFileBytes = 3145727;

    // "multipart/form-data, boundary=AbC" -> "AbC"; "multipart/form-data; boundary=\"a b\"" -> "a b";
    // "text/plain" -> "" with *isMultipart false
    static QByteArray boundaryOf(QByteArrayView contentType, bool* isMultipart = nullptr);

    // The first part named "fileupload" that carries a filename parameter.
    static MultipartUpload parse(QByteArrayView contentType, const QByteArray& body);

    Error error() const { return m_error; }
    bool isValid() const { return m_error == Error::None; }
    // As sent, undecoded; may be empty.
    QByteArray fileName() const { return m_fileName; }
    // Within the body parsed, which the upload holds on to (shared, not copied).
    QByteArrayView fileBytes() const { return QByteArrayView(m_body).sliced(m_fileStart, m_fileSize); }

    // A sentence for the person who sent the upload, without its full stop:
    // it heads the page that refuses the upload.
    static QString describe(Error error);

private:
    explicit MultipartUpload(Error error)
        : m_error(error)
    { }

    Error m_error;
    QByteArray m_fileName;
    QByteArray m_body;
    qsizetype m_fileStart = 0;
    qsizetype m_fileSize = 0;
};
