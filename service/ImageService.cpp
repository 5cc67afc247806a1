#include "ImageService.h"

#include "MultipartUpload.h"
#include "ServicePages.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kHtml = "text/html; charset=utf-8";
constexpr qsizetype kThumbnailCacheBytes = 32 * 1024 * 1024;

ImageService::Response htmlResponse(int status, const QByteArray& page)
{
    return { status, kHtml.toByteArray(), page, {} };
}

ImageService::Response errorResponse(int status, const QString& title, const QString& message)
{
    return htmlResponse(status, ServicePages::errorPage(title, message));
}

ImageService::Response notFound()
{
    return errorResponse(404, u"Not found"_s, u"There is no such image or page here."_s);
}

QByteArray methodName(QHttpServerRequest::Method method)
{
    const char* key = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(method));
    return key ? QByteArray(key).toUpper() : QByteArray("UNKNOWN");
}

// "/i/abc/cat.png" with prefix "/i/" -> "abc"
QStringView idAfter(QStringView path, QStringView prefix)
{
    QStringView rest = path.sliced(prefix.size());
    const qsizetype slash = rest.indexOf(u'/');
    return slash < 0 ? rest : rest.first(slash);
}

} // namespace

ImageService::ImageService(ImageStore& store, const GuardedSocket::Limits& limits, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_store(store)
    , m_limits(limits)
    , m_thumbnails(kThumbnailCacheBytes)
{
}

bool ImageService::start(const QHostAddress& address, quint16 port)
{
    auto* server = new GuardedTcpServer(m_limits, kMaxConnections, this);
    if (!server->listen(address, port)) {
        m_errorString = server->errorString();
        delete server;
        return false;
    }
    connect(server, &GuardedTcpServer::refused, this,
            [this](const QByteArray& method, const QByteArray& target, int status, qint64 bytes) {
                // "- - 408 1520" for a head that did not arrive whole
                emit requestLogged(QString::fromLatin1((method.isEmpty() ? "-" : method) + ' '
                                                       + (target.isEmpty() ? "-" : target))
                                   + u' ' + QString::number(status) + u' ' + QString::number(bytes));
            });
    bind(server);
    m_port = server->serverPort();
    if (m_linkBase.isEmpty())
        m_linkBase = u"http://localhost"_s + (m_port == 80 ? QString() : u':' + QString::number(m_port));
    return true;
}

ImageService::Response ImageService::respond(const QByteArray& method, const QString& path,
                                             const QByteArray& contentType, const QByteArray& body)
{
    const bool get = method == "GET" || method == "HEAD";
    const auto notAllowed = [](const QByteArray& allow) {
        const QString message = u"This address takes only "_s + QString::fromLatin1(allow) + u'.';
        Response response = errorResponse(405, u"Not allowed"_s, message);
        response.allow = allow;
        return response;
    };
    const auto onlyGet = [&](auto serve) { return get ? serve() : notAllowed("GET, HEAD"); };

    if (path == u"/" || path.isEmpty()) {
        if (method == "POST")
            return upload(contentType, body);
        return get ? htmlResponse(200, ServicePages::homePage()) : notAllowed("GET, HEAD, POST");
    }
    if (path.startsWith(u"/i/"))
        return onlyGet([&] { return image(idAfter(path, u"/i/")); });
    if (path.startsWith(u"/t/")) {
        QStringView id = idAfter(path, u"/t/");
        if (id.endsWith(u".jpg"))
            id.chop(4);
        return onlyGet([&] { return thumbnail(id); });
    }
    if (path.startsWith(u"/view/"))
        return onlyGet([&] { return view(idAfter(path, u"/view/")); });
    return notFound();
}

ImageService::Response ImageService::upload(const QByteArray& contentType, const QByteArray& body)
{
    const MultipartUpload upload = MultipartUpload::parse(contentType, body);
    if (!upload.isValid()) {
        const int status = upload.error() == MultipartUpload::Error::FileTooLarge ? 413 : 400;
        return errorResponse(status, u"Upload refused"_s, MultipartUpload::describe(upload.error()));
    }

    const QByteArray& bytes = upload.fileBytes();
    const ImageStore::Stored stored =
        m_store.put(bytes, ServicePages::displayName(upload.fileName()), ImageCodec::mimeTypeOf(bytes));
    switch (stored.outcome) {
    case ImageStore::Outcome::Full:
        return errorResponse(507, u"No room for this image"_s,
                             u"This service's image store is full. Images already shared keep their links, so "
                             "none is removed to make room; ask the people who run the service for more space."_s);
    case ImageStore::Outcome::Failed:
        emit requestLogged(u"store: "_s + stored.error);
        return errorResponse(500, u"Upload not saved"_s,
                             u"The service could not save the image. Please try again later."_s);
    case ImageStore::Outcome::Stored:
        break;
    }
    const ImageStore::Entry& entry = stored.entry;
    const ServicePages::Links links = ServicePages::linksFor(m_linkBase, entry.id, entry.name);
    return htmlResponse(200, ServicePages::resultPage(links, entry.name, entry.size));
}

ImageService::Response ImageService::image(QStringView id)
{
    const std::optional<ImageStore::Image> stored = m_store.get(id.toLatin1());
    if (!stored)
        return notFound();
    return Response{ 200, stored->entry.type, stored->bytes, {} };
}

ImageService::Response ImageService::thumbnail(QStringView id)
{
    const QByteArray key = id.toLatin1();
    if (const ImageCodec::Thumbnail* cached = m_thumbnails.object(key))
        return Response{ 200, cached->mimeType, cached->bytes, {} };
    const std::optional<ImageStore::Image> stored = m_store.get(key);
    if (!stored)
        return notFound();
    auto* made = new ImageCodec::Thumbnail(ImageCodec::thumbnailOf(stored->bytes));
    const Response response = Response{ 200, made->mimeType, made->bytes, {} };
    m_thumbnails.insert(key, made, made->bytes.size());
    return response;
}

ImageService::Response ImageService::view(QStringView id)
{
    const std::optional<ImageStore::Image> stored = m_store.get(id.toLatin1());
    if (!stored)
        return notFound();
    const ImageStore::Entry& entry = stored->entry;
    const ServicePages::Links links = ServicePages::linksFor(m_linkBase, entry.id, entry.name);
    return htmlResponse(200, ServicePages::viewPage(links, entry.name, entry.size, entry.time));
}

bool ImageService::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QUrl url = request.url();
    const QByteArray method = methodName(request.method());
    const Response out = respond(method, url.path(), request.value("Content-Type"), request.body());

    // Every connection comes from the guarded server that start() binds.
    auto* guarded = qobject_cast<GuardedSocket*>(socket);
    const bool close = !guarded || guarded->closesAfterAnswer();
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(QHttpServerResponder::StatusCode(out.status));
    responder.writeHeader("Content-Type", out.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(out.body.size()));
    // Uploads are anyone's bytes: never let a browser take them for a page.
    if (out.contentType == kHtml)
        responder.writeHeader("Cache-Control", "no-store");
    else
        responder.writeHeader("X-Content-Type-Options", "nosniff");
    if (!out.allow.isEmpty())
        responder.writeHeader("Allow", out.allow);
    if (close)
        responder.writeHeader("Connection", "close");
    responder.writeBody(method == "HEAD" ? QByteArray() : out.body);
    if (guarded)
        guarded->answerWritten(close);

    const QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority).left(200);
    emit requestLogged(QString::fromLatin1(method + ' ' + target) + u' ' + QString::number(out.status) + u' '
                       + QString::number(out.body.size()));
    return true;
}

// Not reached: every request is handled above.
void ImageService::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}
