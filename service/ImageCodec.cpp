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
};

constexpr Signature kSignatures[] = {
    { "\x89PNG\r\n\x1a\n", "image/png" },
    { "\xff\xd8\xff", "image/jpeg" },
    { "GIF87a", "image/gif" },
    { "GIF89a", "image/gif" },
    { "BM", "image/bmp" },
};

// Larger pictures are refused rather than decoded: an upload of a few
// megabytes can claim enormous dimensions.
constexpr int kMaxDecodeMegabytes = 256;

// Transparent areas become white; JPEG has no alpha.
QImage onWhite(const QImage& image)
{
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter(&flat).drawImage(0, 0, image);
    return flat;
}

// A grey card with a darker frame and a diagonal cross: "no preview".
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
    for (const Signature& signature : kSignatures) {
        if (bytes.startsWith(signature.magic))
            return signature.mimeType.toByteArray();
    }
    return "application/octet-stream";
}

Thumbnail thumbnailOf(const QByteArray& bytes, int edge)
{
    edge = std::max(1, edge);
    QByteArray data = bytes; // shared, not copied: QBuffer needs a non-const array
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(kMaxDecodeMegabytes);

    const QSize fit(edge, edge);
    const QSize size = reader.size();
    const bool large = size.isValid() && (size.width() > edge || size.height() > edge);
    if (large && reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(size.scaled(fit, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));

    QImage image = reader.read();
    if (image.isNull())
        return { jpegOf(placeholder(edge)), "image/jpeg", true };
    if (image.width() > edge || image.height() > edge)
        image = image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return { jpegOf(onWhite(image)), "image/jpeg", false };
}

} // namespace ImageCodec
