#pragma once

#include "GuardedTcpServer.h"
#include "ImageStore.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The local stand-in of the Tarnwick image service: takes an upload, keeps
// the image in memory and answers with the page of link codes; serves the
// image, its thumbnail and a page showing it.
class ImageService : public QAbstractHttpServer
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method; // "GET", "POST", ...
        QString path;      // decoded, without the query
        QByteArray host;   // the Host header as sent
        QByteArray contentType;
        QByteArray body;
    };

    struct Response
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    explicit ImageService(QObject* parent = nullptr,
                          const GuardedTcpServer::Limits& limits = GuardedTcpServer::Limits(),
                          int maxImages = ImageStore::kDefaultMaxImages,
                          qint64 maxBytes = ImageStore::kDefaultMaxBytes);

    // Listens on 127.0.0.1 only; port 0 picks a free one. False with
    // errorString() set when the port cannot be had.
    bool start(quint16 port);
    quint16 port() const { return m_port; }
    QString errorString() const { return m_errorString; }

    // Everything but the transport: what a request gets as its answer.
    Response respond(const Request& request);

    ImageStore& store() { return m_store; }

signals:
    // "POST /? 200 5123": method, target, status, bytes of the answer's body.
    void requestLogged(const QString& line);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Response upload(const Request& request);
    Response image(QStringView id);
    Response thumbnail(QStringView id);
    Response view(const Request& request, QStringView id);

    GuardedTcpServer::Limits m_limits;
    ImageStore m_store;
    quint16 m_port = 0;
    QString m_errorString;
};
