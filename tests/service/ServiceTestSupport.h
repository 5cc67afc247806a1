#pragma once

// What the service tests share: pictures, the uploader's own request bytes,
// raw connections, and the texts the uploader cuts out of a page.

#include "modTarnwick.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <string>

namespace ServiceTest {

constexpr int kWaitMs = 15000;
constexpr qint64 kPlentyOfBytes = qint64(1) << 30; // a store's limit that no test reaches

inline QByteArray pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x * y) % 256));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

inline QByteArray bytesOf(const std::string& text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

// What the uploader sends for this file: over the socket (mode 1) the whole
// HTTP/1.0 request; for the HTTP client (mode 0) the body, then the header block.
inline QByteArrayList uploaderRequest(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes,
                                      int mode = 1)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    QByteArrayList parts;
    for (const std::string& part : modTarnwick::BuildUploadRequest(path.toStdString(), mode, false))
        parts.append(bytesOf(part));
    return parts;
}

// A raw connection that sends what it is given and collects everything that comes back.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    // From the given loopback address, such as 127.0.0.2, to stand for another client.
    explicit RawClient(quint16 port, const QByteArray& request = {}, const QHostAddress& from = {})
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.write(request);
    }

    bool hasPageEnd() const { return received.toLower().contains("</html>"); }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

inline QStringList textsOf(const QByteArray& page)
{
    QStringList texts;
    for (const std::string& link : modTarnwick::ParseResultPage(page.toStdString()))
        texts.append(QString::fromStdString(link));
    return texts;
}

} // namespace ServiceTest
