#pragma once

#include <QByteArray>
#include <QList>

#include <utility>

struct HttpResponse
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers; // beside Content-Type, Content-Length and Connection

    // "HTTP/1.1 200 OK\r\nContent-Type: ...\r\nContent-Length: ...\r\n...\r\n\r\n"
    QByteArray head(bool closeAfter) const;

    // "Not Found" for 404
    static QByteArray reasonPhrase(int status);
};
