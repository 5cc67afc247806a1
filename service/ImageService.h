#pragma once

#include "GuardedTcpServer.h"
#include "ImageCodec.h"
#include "ImageStore.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QCache>
#include <QHostAddress>
#include <QString>

// The Tarnwick image service: takes an upload, keeps the image in its store
// and answers with the page of link codes; serves the image, its thumbnail
// and a page showing it. Links are built on the service's own base URL, never
// on what a client says the host is.
class ImageService : public QAbstractHttpServer
{
    Q_OBJECT

public:
    static constexpr int kMaxConnections = 512;

    struct Response
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QByteArray allow; // the methods a 405 names
    };

    explicit ImageService(ImageStore& store, const GuardedSocket::Limits& limits = GuardedSocket::Limits(),
                          QObject* parent = nullptr);

    // Port 0 picks a free one. False with errorString() set when the address
    // cannot be had.
    bool start(const QHostAddress& address, quint16 port);
    quint16 port() const { return m_port; }
    QString errorString() const { return m_errorString; }

    // "http://localhost:8080" (what ServicePages::linkBase gives); until set,
    // http://localhost with the port the service listens on.
    void setLinkBase(const QString& base) { m_linkBase = base; }
    QString linkBase() const { return m_linkBase; }

signals:
    // "POST /? 200 5123": method, target, status, bytes of the answer's body; or a failure of the store.
    void requestLogged(const QString& line);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    // Everything but the transport: what a request gets as its answer.
    Response respond(const QByteArray& method, const QString& path, const QByteArray& contentType,
                     const QByteArray& body);
    Response upload(const QByteArray& contentType, const QByteArray& body);
    Response image(QStringView id);
    Response thumbnail(QStringView id);
    Response view(QStringView id);

    ImageStore& m_store;
    GuardedSocket::Limits m_limits;
    // Made again after a restart, when first asked for.
    QCache<QByteArray, ImageCodec::Thumbnail> m_thumbnails;
    QString m_linkBase;
    quint16 m_port = 0;
    QString m_errorString;
};
