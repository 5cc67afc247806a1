#include "ImageService.h"

#include "ImageCodec.h"
#include "MultipartUpload.h"
#include "ServicePages.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kHtml = "text/html; charset=utf-8";

ImageService::Response htmlResponse(int status, const QByteArray& page)
{
    ImageService::Response response;
    response.status = status;
    response.contentType = kHtml.toByteArray();
    response.body = page;
    response.headers.append({ QByteArray("Cache-Control"), QByteArray("no-store") });
    return response;
}

ImageService::Response errorResponse(int status, const QString& title, const QString& message)
{
    return htmlResponse(status, ServicePages::errorPage(title, message));
}

ImageService::Response notFound()
{
    return errorResponse(404, u"Not found"_s, u"There is no such image or page here. Images live only as long as "
                                              "the service runs, and the oldest make way for new ones."_s);
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

ImageService::ImageService(QObject* parent, const GuardedTcpServer::Limits& limits, int maxImages,
                           qint64 maxBytes)
    : QAbstractHttpServer(parent)
    , m_limits(limits)
    , m_store(maxImages, maxBytes)
{
}

bool ImageService::start(quint16 port)
{
    auto* server = new GuardedTcpServer(m_limits, this);
    if (!server->listen(QHostAddress::LocalHost, port)) {
        m_errorString = server->errorString();
        delete server;
        return false;
    }
    connect(server, &GuardedTcpServer::refused, this,
            [this](const QByteArray& method, const QByteArray& target, int status, qint64 bytes) {
                emit requestLogged(QString::fromLatin1(method + ' ' + target.left(200)) + u' '
                                   + QString::number(status) + u' ' + QString::number(bytes));
            });
    bind(server);
    m_port = server->serverPort();
    return true;
}

ImageService::Response ImageService::respond(const Request& request)
{
    const bool get = request.method == "GET" || request.method == "HEAD";
    const QString& path = request.path;
    const auto onlyGet = [&](auto serve) {
        if (get)
            return serve();
        Response response = errorResponse(405, u"Not allowed"_s, u"This address can only be read."_s);
        response.headers.append({ QByteArray("Allow"), QByteArray("GET, HEAD") });
        return response;
    };

    if (path == u"/" || path.isEmpty()) {
        if (request.method == "POST")
            return upload(request);
        if (get)
            return htmlResponse(200, ServicePages::homePage());
        Response response = errorResponse(405, u"Not allowed"_s, u"Upload with POST, read with GET."_s);
        response.headers.append({ QByteArray("Allow"), QByteArray("GET, HEAD, POST") });
        return response;
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
        return onlyGet([&] { return view(request, idAfter(path, u"/view/")); });
    return notFound();
}

ImageService::Response ImageService::upload(const Request& request)
{
    const MultipartUpload upload = MultipartUpload::parse(request.contentType, request.body);
    if (!upload.isValid())
        return errorResponse(400, u"Upload refused"_s, MultipartUpload::describe(upload.error()));

    const QString name = ServicePages::displayName(upload.fileName());
    const QByteArray id = m_store.add(upload.fileBytes(), name);
    if (id.isEmpty())
        return errorResponse(507, u"No room"_s, u"The service cannot keep this image."_s);

    const ServicePages::Links links =
        ServicePages::linksFor(ServicePages::linkBase(request.host, m_port), id, name);
    return htmlResponse(200, ServicePages::resultPage(links, name, upload.fileBytes().size()));
}

ImageService::Response ImageService::image(QStringView id)
{
    const auto stored = m_store.find(id.toLatin1());
    if (!stored)
        return notFound();
    Response response;
    response.contentType = ImageCodec::mimeTypeOf(stored->bytes);
    response.body = stored->bytes;
    // Uploads are anyone's bytes: never let a browser take them for a page.
    response.headers.append({ QByteArray("X-Content-Type-Options"), QByteArray("nosniff") });
    return response;
}

ImageService::Response ImageService::thumbnail(QStringView id)
{
    const QByteArray key = id.toLatin1();
    const auto stored = m_store.find(key);
    if (!stored)
        return notFound();
    Response response;
    if (stored->thumbnail.isEmpty()) {
        const ImageCodec::Thumbnail made = ImageCodec::thumbnailOf(stored->bytes);
        m_store.setThumbnail(key, made.bytes, made.mimeType);
        response.contentType = made.mimeType;
        response.body = made.bytes;
    } else {
        response.contentType = stored->thumbnailType;
        response.body = stored->thumbnail;
    }
    response.headers.append({ QByteArray("X-Content-Type-Options"), QByteArray("nosniff") });
    return response;
}

ImageService::Response ImageService::view(const Request& request, QStringView id)
{
    const QByteArray key = id.toLatin1();
    const auto stored = m_store.find(key);
    if (!stored)
        return notFound();
    const ServicePages::Links links =
        ServicePages::linksFor(ServicePages::linkBase(request.host, m_port), key, stored->name);
    return htmlResponse(200, ServicePages::viewPage(links, stored->name, stored->bytes.size()));
}

bool ImageService::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QUrl url = request.url();
    Request in;
    in.method = methodName(request.method());
    in.path = url.path();
    in.host = request.value("Host");
    in.contentType = request.value("Content-Type");
    in.body = request.body();
    const Response out = respond(in);

    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(QHttpServerResponder::StatusCode(out.status));
    responder.writeHeader("Content-Type", out.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(out.body.size()));
    for (const auto& header : out.headers)
        responder.writeHeader(header.first, header.second);
    responder.writeBody(in.method == "HEAD" ? QByteArray() : out.body);

    QString target = url.path(QUrl::FullyEncoded);
    if (url.hasQuery())
        target += u'?' + url.query(QUrl::FullyEncoded);
    emit requestLogged(QString::fromLatin1(in.method) + u' ' + target.left(200) + u' ' + QString::number(out.status)
                       + u' ' + QString::number(out.body.size()));
    return true;
}

void ImageService::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Not reached: every request is handled above.
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}
