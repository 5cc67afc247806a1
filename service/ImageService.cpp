#include "ImageService.h"

#include "ImageCodec.h"
#include "MultipartUpload.h"
#include "ServicePages.h"

#include <QLocale>

#include <algorithm>
#include <iterator>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kHtml = "text/html; charset=utf-8";

// Pages show the service's own images and styles, run no script and go in no one else's frame.
HttpResponse htmlResponse(int status, const QByteArray& page)
{
    return { status,
             kHtml.toByteArray(),
             page,
             { { "Cache-Control", "no-store" },
               { "Content-Security-Policy",
                 "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; "
                 "form-action 'self'; base-uri 'none'; frame-ancestors 'none'" },
               { "X-Frame-Options", "DENY" },
               { "X-Content-Type-Options", "nosniff" } } };
}

HttpResponse errorResponse(int status, const QString& title, const QString& message)
{
    return htmlResponse(status, ServicePages::errorPage(title, message));
}

// Uploads are anyone's bytes: never let a browser take them for a page, nor
// let them do anything should one open them as a document.
HttpResponse bytesResponse(const QByteArray& type, const QByteArray& bytes)
{
    return { 200,
             type,
             bytes,
             { { "X-Content-Type-Options", "nosniff" },
               { "Content-Security-Policy", "default-src 'none'; sandbox" } } };
}

HttpResponse notFound()
{
    return errorResponse(404, u"Not found"_s, u"There is no such image or page here."_s);
}

HttpResponse storeAway()
{
    return errorResponse(503, u"Images out of reach"_s,
                         u"The service cannot reach its images just now. Please try again in a moment."_s);
}

HttpResponse thumbnailBusy()
{
    HttpResponse busy = errorResponse(503, u"Thumbnail not ready"_s,
                                      u"Many thumbnails are being made just now. Please try again in a moment."_s);
    busy.headers.append({ QByteArray("Retry-After"), QByteArray("2") });
    return busy;
}

// An image the store could not look for is not said to be gone.
HttpResponse notFoundOrAway(const ImageStore::Found& found)
{
    if (found.result != ImageStore::Found::Result::Unavailable)
        return notFound();
    qWarning("store: %s", qPrintable(found.error));
    return storeAway();
}

// "3,145,727"
QString largestImage()
{
    return QLocale(QLocale::English).toString(MultipartUpload::kMaxFileBytes);
}

// "/i/abc/cat.png" with prefix "/i/" -> "abc"
QByteArrayView idAfter(QByteArrayView path, QByteArrayView prefix)
{
    const QByteArrayView rest = path.sliced(prefix.size());
    const qsizetype slash = rest.indexOf('/');
    return slash < 0 ? rest : rest.first(slash);
}

} // namespace

ImageService::ImageService(ImageStore& store, const QString& thumbnailProgram, const HttpServer::Limits& limits,
                           QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_thumbnails(thumbnailProgram)
    , m_server(*this, limits)
{
    connect(&m_server, &HttpServer::requestLogged, this, &ImageService::requestLogged, Qt::DirectConnection);
}

bool ImageService::start(const QHostAddress& address, quint16 port)
{
    if (!m_server.listen(address, port))
        return false;
    if (m_linkBase.isEmpty()) {
        const quint16 listening = m_server.serverPort();
        m_linkBase = u"http://localhost"_s + (listening == 80 ? QString() : u':' + QString::number(listening));
    }
    return true;
}

bool ImageService::mayWait(const HttpRequest& request) const
{
    // A thumbnail not made yet waits for a child process.
    return m_store.isRemote() || request.path.startsWith("/t/");
}

HttpResponse ImageService::respond(const HttpRequest& request)
{
    const QByteArray& method = request.method;
    const QByteArray& path = request.path;
    const bool get = method == "GET" || method == "HEAD";
    const auto notAllowed = [](const QByteArray& allow) {
        const QString message = u"This address takes only "_s + QString::fromLatin1(allow) + u'.';
        HttpResponse response = errorResponse(405, u"Not allowed"_s, message);
        response.headers.append({ "Allow", allow });
        return response;
    };
    const auto onlyGet = [&](auto serve) { return get ? serve() : notAllowed("GET, HEAD"); };

    if (path == "/") {
        if (method == "POST")
            return upload(request);
        return get ? htmlResponse(200, ServicePages::homePage()) : notAllowed("GET, HEAD, POST");
    }
    if (path.startsWith("/i/"))
        return onlyGet([&] { return image(idAfter(path, "/i/")); });
    if (path.startsWith("/t/")) {
        QByteArrayView id = idAfter(path, "/t/");
        if (id.endsWith(".jpg"))
            id.chop(4);
        return onlyGet([&] { return thumbnail(id, request.peer); });
    }
    if (path.startsWith("/view/"))
        return onlyGet([&] { return view(idAfter(path, "/view/")); });
    return notFound();
}

HttpResponse ImageService::refusal(int status)
{
    struct Refusal
    {
        int status;
        const char16_t* reason;
        const char16_t* detail;
    };
    static constexpr Refusal kRefusals[] = {
        { 408, u"The request did not arrive in time",
          u"A request must arrive whole within ten seconds, and its body at no less than 32 KiB a second." },
        { 411, u"The request has no Content-Length", u"Send the upload with a Content-Length header, not in chunks." },
        { 413, u"The request is too large", u"An image may have at most %1 bytes." },
        { 414, u"The request's address is too long", u"An address may have at most 8 KiB." },
        { 417, u"Expectation not met", u"This service meets no expectation but 100-continue." },
        { 431, u"The request's header lines are too long", u"They may have at most 64 KiB together." },
        { 503, u"Too many requests just now",
          u"Your address holds too many connections, or the service has too many uploads on their way. Please "
          u"try again in a moment." },
        { 505, u"HTTP version not supported", u"This service speaks HTTP/1.0 and HTTP/1.1 only." },
        { 400, u"The request could not be read as HTTP",
          u"A line of its head is malformed, or it gives its length twice or in two ways." },
    };
    const Refusal* refusal = std::find_if(std::begin(kRefusals), std::end(kRefusals) - 1,
                                          [status](const Refusal& r) { return r.status == status; });
    QString detail = QString::fromUtf16(refusal->detail);
    if (status == 413)
        detail = detail.arg(largestImage());
    return errorResponse(status, QString::fromUtf16(refusal->reason), detail);
}

HttpResponse ImageService::upload(const HttpRequest& request)
{
    const MultipartUpload upload = MultipartUpload::parse(request.header("content-type"), request.body);
    if (!upload.isValid()) {
        const int status = upload.error() == MultipartUpload::Error::FileTooLarge ? 413 : 400;
        // The reason heads the page, where the uploader reads it.
        return errorResponse(
            status, MultipartUpload::describe(upload.error()),
            u"Nothing was stored. Choose an image of at most %1 bytes and send it again."_s.arg(largestImage()));
    }

    const QByteArrayView bytes = upload.fileBytes();
    const ImageStore::Stored stored =
        m_store.put(bytes, ServicePages::displayName(upload.fileName()), ImageCodec::mimeTypeOf(bytes));
    switch (stored.outcome) {
    case ImageStore::Outcome::Full:
        return errorResponse(507, u"No room for this image"_s,
                             u"This service's image store is full. Images already shared keep their links, so "
                             "none is removed to make room; ask the people who run the service for more space."_s);
    case ImageStore::Outcome::Failed:
        qWarning("store: %s", qPrintable(stored.error));
        return errorResponse(500, u"Upload not saved"_s,
                             u"The service could not save the image. Please try again later."_s);
    case ImageStore::Outcome::Unavailable:
        qWarning("store: %s", qPrintable(stored.error));
        return storeAway();
    case ImageStore::Outcome::Stored:
        break;
    }
    const ImageStore::Entry& entry = stored.entry;
    const ServicePages::Links links = ServicePages::linksFor(m_linkBase, entry.id, entry.name);
    return htmlResponse(200, ServicePages::resultPage(links, entry.name, entry.size));
}

HttpResponse ImageService::image(QByteArrayView id)
{
    const ImageStore::Found found = m_store.get(id);
    if (found.result != ImageStore::Found::Result::Found)
        return notFoundOrAway(found);
    return bytesResponse(found.image.entry.type, found.image.bytes);
}

HttpResponse ImageService::thumbnail(QByteArrayView id, const QHostAddress& peer)
{
    if (const std::optional<QByteArray> kept = m_store.thumbnail(id))
        return bytesResponse("image/jpeg", *kept);
    const ThumbnailMaker::Admission admission(m_thumbnails, peer);
    if (!admission.admitted())
        return thumbnailBusy();
    return m_thumbnailFlights.run(id.toByteArray(), [&] { return makeThumbnail(id, admission); });
}

HttpResponse ImageService::makeThumbnail(QByteArrayView id, const ThumbnailMaker::Admission& admission)
{
    // Made while this request waited for its turn.
    if (const std::optional<QByteArray> kept = m_store.thumbnail(id))
        return bytesResponse("image/jpeg", *kept);
    const ImageStore::Found found = m_store.get(id);
    if (found.result != ImageStore::Found::Result::Found)
        return notFoundOrAway(found);
    const ThumbnailMaker::Made made = m_thumbnails.make(found.image.bytes, admission);
    qInfo("thumbnail %s: %s", id.toByteArray().constData(), qPrintable(made.note));
    HttpResponse response = bytesResponse("image/jpeg", made.jpeg);
    switch (made.result) {
    case ThumbnailMaker::Made::Result::Thumbnail:
    case ThumbnailMaker::Made::Result::Placeholder:
        m_store.keepThumbnail(id, made.jpeg);
        break;
    case ThumbnailMaker::Made::Result::Failed:
        // The next request tries again; until then, nothing is to keep this one.
        response.headers.append({ QByteArray("Cache-Control"), QByteArray("no-store") });
        break;
    case ThumbnailMaker::Made::Result::Busy:
        return thumbnailBusy();
    }
    return response;
}

HttpResponse ImageService::view(QByteArrayView id)
{
    const ImageStore::Found found = m_store.get(id);
    if (found.result != ImageStore::Found::Result::Found)
        return notFoundOrAway(found);
    const ImageStore::Entry& entry = found.image.entry;
    const ServicePages::Links links = ServicePages::linksFor(m_linkBase, entry.id, entry.name);
    return htmlResponse(200, ServicePages::viewPage(links, entry.name, entry.size, entry.time));
}
