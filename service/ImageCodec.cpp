#include "ImageCodec.h"

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QPainter>

#include <algorithm>

namespace ImageCodec {

namespace {

struct Signature
{
    QByteArrayView magic;
    QByteArrayView mimeType;
    QByteArrayView format; // Qt's name of its reader
};

constexpr Signature kSignatures[] = {
    { "\x89PNG\r\n\x1a\n", "image/png", "png" },
    { "\xff\xd8\xff", "image/jpeg", "jpeg" },
    { "GIF87a", "image/gif", "gif" },
    { "GIF89a", "image/gif", "gif" },
    { "BM", "image/bmp", "bmp" },
};

const Signature* signatureOf(QByteArrayView bytes)
{
    for (const Signature& signature : kSignatures) {
        if (bytes.startsWith(signature.magic))
            return &signature;
    }
    return nullptr;
}

// The decoded picture, within the pixel budget; a picture the reader makes
// larger than declared is refused.
constexpr int kMaxDecodeMegabytes = int(kMaxDecodedPixels * 4 / (1024 * 1024)) + 1;

// Transparent areas become white; JPEG has no alpha.
QImage onWhite(const QImage& image)
{
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter(&flat).drawImage(0, 0, image);
    return flat;
}

// A grey card with a darker frame and a diagonal cross.
QImage placeholder(int edge)
{
    QImage image(edge, edge, QImage::Format_RGB32);
    image.fill(QColor(0xe4, 0xe7, 0xeb));
    QPainter painter(&image);
    painter.setPen(QPen(QColor(0x9a, 0xa3, 0xad), 3));
    painter.drawRect(QRectF(1.5, 1.5, edge - 3, edge - 3));
    painter.drawLine(0, 0, edge, edge);
    painter.drawLine(0, edge, edge, 0);
    return image;
}

QByteArray jpegOf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return bytes;
}

} // namespace

QByteArray mimeTypeOf(QByteArrayView bytes)
{
    const Signature* signature = signatureOf(bytes);
    return signature ? signature->mimeType.toByteArray() : QByteArray("application/octet-stream");
}

QByteArray placeholderJpeg()
{
    static const QByteArray jpeg = jpegOf(placeholder(kThumbnailEdge));
    return jpeg;
}

Thumbnail thumbnailOf(const QByteArray& bytes, int edge)
{
    edge = std::max(1, edge);
    const Signature* signature = signatureOf(bytes);
    if (!signature)
        return { placeholderJpeg(), true };
    QByteArray data = bytes; // shared, not copied: QBuffer needs a non-const array
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    // Only the reader its first bytes name, whatever else could read them.
    QImageReader reader(&buffer, signature->format.toByteArray());
    reader.setAutoDetectImageFormat(false);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(kMaxDecodeMegabytes);

    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > kMaxDecodedPixels)
        return { placeholderJpeg(), true };
    const QSize fit(edge, edge);
    if ((size.width() > edge || size.height() > edge) && reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(size.scaled(fit, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));

    QImage image = reader.read();
    if (image.isNull())
        return { placeholderJpeg(), true };
    if (image.width() > edge || image.height() > edge)
        image = image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return { jpegOf(onWhite(image)), false };
}

} // namespace ImageCodec
