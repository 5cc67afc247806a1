#pragma once

#include "HttpServer.h"
#include "ImageStore.h"
#include "SingleFlight.h"
#include "ThumbnailMaker.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

// The Tarnwick image service: takes an upload, keeps the image in its store
// and answers with the page of link codes; serves the image, its thumbnail
// and a page showing it. Links are built on the service's own base URL, never
// on what a client says the host is.
class ImageService : public QObject, private HttpHandler
{
    Q_OBJECT

public:
    // thumbnailProgram: this service's own program, which makes thumbnails
    // in a process of its own (see ThumbnailMaker).
    ImageService(ImageStore& store, const QString& thumbnailProgram,
                 const HttpServer::Limits& limits = HttpServer::Limits(), QObject* parent = nullptr);

    // Port 0 picks a free one. False with errorString() set when the address
    // cannot be had.
    bool start(const QHostAddress& address, quint16 port);
    quint16 port() const { return m_server.serverPort(); }
    QString errorString() const { return m_server.errorString(); }

    // "http://localhost:8080" (what ServicePages::linkBase gives); until set,
    // http://localhost with the port the service listens on. Set before start.
    void setLinkBase(const QString& base) { m_linkBase = base; }
    QString linkBase() const { return m_linkBase; }

signals:
    // "POST /? 200 5123": method, target, status, bytes of the answer's body.
    // Emitted on the thread that answered the request.
    void requestLogged(const QString& line);

private:
    bool mayWait(const HttpRequest& request) const override;
    HttpResponse respond(const HttpRequest& request) override;
    HttpResponse refusal(int status) override;

    HttpResponse upload(const HttpRequest& request);
    HttpResponse image(QByteArrayView id);
    HttpResponse thumbnail(QByteArrayView id, const QHostAddress& peer);
    HttpResponse makeThumbnail(QByteArrayView id, const ThumbnailMaker::Admission& admission);
    HttpResponse view(QByteArrayView id);

    ImageStore& m_store;
    QString m_linkBase;
    ThumbnailMaker m_thumbnails;
    SingleFlight<HttpResponse> m_thumbnailFlights; // by image id
    HttpServer m_server; // last: it goes first, and with it every request in hand
};
