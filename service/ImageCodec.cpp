#include "ImageCodec.h"

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QImageReader>

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
    if (!image.hasAlphaChannel())
        return image.convertToFormat(QImage::Format_RGB32);
    const QImage source = image.convertToFormat(QImage::Format_ARGB32);
    QImage flat(source.size(), QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        auto* out = reinterpret_cast<QRgb*>(flat.scanLine(y));
        for (int x = 0; x < source.width(); ++x) {
            const int a = qAlpha(in[x]);
            const auto blend = [a](int c) { return (c * a + 255 * (255 - a)) / 255; };
            out[x] = qRgb(blend(qRed(in[x])), blend(qGreen(in[x])), blend(qBlue(in[x])));
        }
    }
    return flat;
}

// A grey card with a darker frame and a diagonal cross: "no preview".
QImage placeholder(int edge)
{
    QImage image(edge, edge, QImage::Format_RGB32);
    image.fill(QColor(0xe4, 0xe7, 0xeb));
    const QRgb ink = qRgb(0x9a, 0xa3, 0xad);
    for (int i = 0; i < edge; ++i) {
        for (int t = 0; t < 3; ++t) {
            image.setPixel(i, t, ink);
            image.setPixel(i, edge - 1 - t, ink);
            image.setPixel(t, i, ink);
            image.setPixel(edge - 1 - t, i, ink);
        }
        image.setPixel(i, i, ink);
        image.setPixel(edge - 1 - i, i, ink);
    }
    return image;
}

Thumbnail encode(const QImage& image)
{
    Thumbnail thumbnail;
    QBuffer buffer(&thumbnail.bytes);
    buffer.open(QIODevice::WriteOnly);
    if (image.save(&buffer, "JPEG", 85)) {
        thumbnail.mimeType = "image/jpeg";
        return thumbnail;
    }
    buffer.seek(0);
    thumbnail.bytes.clear();
    image.save(&buffer, "PNG");
    thumbnail.mimeType = "image/png";
    return thumbnail;
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
    if (image.isNull()) {
        Thumbnail thumbnail = encode(placeholder(edge));
        thumbnail.placeholder = true;
        return thumbnail;
    }
    if (image.width() > edge || image.height() > edge)
        image = image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return encode(onWhite(image));
}

} // namespace ImageCodec
