#pragma once

// What the service tests share: pictures, the uploader's own request bytes,
// raw connections, and the texts the uploader cuts out of a page.

#include "modTarnwick.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
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

// Bytes that declare a picture of width x height and hold almost nothing:
// what a decompression bomb looks like to a reader of its header.
inline quint32 crc32Of(QByteArrayView bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= uchar(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline QByteArray bigEndian(quint32 value, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

inline QByteArray pngChunk(const QByteArray& type, const QByteArray& data)
{
    return bigEndian(quint32(data.size()), 4) + type + data + bigEndian(crc32Of(type + data), 4);
}

// 8-bit grey; with all its rows (of zeros, so that they compress to almost
// nothing), or with none at all.
inline QByteArray pngDeclaring(int width, int height, bool withRows)
{
    const QByteArray header =
        bigEndian(quint32(width), 4) + bigEndian(quint32(height), 4) + QByteArray("\x08\0\0\0\0", 5);
    // qCompress puts the length in front of a zlib stream.
    const QByteArray rows = qCompress(QByteArray(withRows ? qsizetype(width + 1) * height : 1, '\0'), 9).mid(4);
    return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) + pngChunk("IDAT", rows) + pngChunk("IEND", {});
}

inline QByteArray gifDeclaring(int width, int height)
{
    const auto little = [](int value) { return QByteArray(1, char(value & 0xff)) + char((value >> 8) & 0xff); };
    return "GIF89a" + little(width) + little(height) + QByteArray("\x80\0\0\0\0\0\xff\xff\xff\x2c\0\0\0\0", 14)
        + little(width) + little(height) + QByteArray("\0\x02\x02\x44\x01\0\x3b", 7);
}

// A small progressive JPEG whose frame header claims width x height.
inline QByteArray progressiveJpegDeclaring(int width, int height)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    writer.write(image);
    const qsizetype frame = bytes.indexOf("\xff\xc2");
    if (frame < 0)
        return {};
    bytes.replace(frame + 5, 4, bigEndian(quint32(height), 2) + bigEndian(quint32(width), 2));
    return bytes;
}

// A vector picture that reaches for a file of the machine that draws it.
inline QByteArray svgReferring(const QString& path)
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"120\" "
           "height=\"120\"><image xlink:href=\"file://"
        + path.toUtf8() + "\" width=\"120\" height=\"120\"/></svg>";
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
