#include "ImageCodec.h"

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace ImageCodec {

namespace {

struct Signature
{
    QByteArrayView magic;
    QByteArrayView mimeType;
    QByteArrayView format; // Qt's name of its reader
    QString (*overBudget)(QByteArrayView bytes);
};

QString jpegOverBudget(QByteArrayView bytes);
QString pngOverBudget(QByteArrayView bytes);
QString gifOverBudget(QByteArrayView bytes);
QString bmpOverBudget(QByteArrayView bytes);

constexpr Signature kSignatures[] = {
    { "\x89PNG\r\n\x1a\n", "image/png", "png", pngOverBudget },
    { "\xff\xd8\xff", "image/jpeg", "jpeg", jpegOverBudget },
    { "GIF87a", "image/gif", "gif", gifOverBudget },
    { "GIF89a", "image/gif", "gif", gifOverBudget },
    { "BM", "image/bmp", "bmp", bmpOverBudget },
};

const Signature* signatureOf(QByteArrayView bytes)
{
    for (const Signature& signature : kSignatures) {
        if (bytes.startsWith(signature.magic))
            return &signature;
    }
    return nullptr;
}

// Numbers in a header; 0 past the end of the bytes.
quint32 bigEndianAt(QByteArrayView bytes, qsizetype at, int size)
{
    quint32 value = 0;
    for (qsizetype i = at; i < at + size; ++i)
        value = value << 8 | (i < bytes.size() ? uchar(bytes[i]) : 0u);
    return value;
}

quint32 littleEndianAt(QByteArrayView bytes, qsizetype at, int size)
{
    quint32 value = 0;
    for (qsizetype i = at + size - 1; i >= at; --i)
        value = value << 8 | (i < bytes.size() ? uchar(bytes[i]) : 0u);
    return value;
}

QString pixelsOverBudget(qint64 width, qint64 height)
{
    if (width <= 0 || height <= 0)
        return u"no picture size"_s;
    // Each on its own first: a PNG's may be up to 2^31, whose square is past a qint64.
    if (width > kMaxDecodedPixels || height > kMaxDecodedPixels || width * height > kMaxDecodedPixels)
        return u"%1 by %2 pixels"_s.arg(width).arg(height);
    return {};
}

// Segments, each scan followed by its coded data, which runs to the next
// marker other than a restart or a stuffed zero.
QString jpegOverBudget(QByteArrayView bytes)
{
    qint64 width = 0;
    qint64 height = 0;
    int scans = 0;
    qsizetype at = 2;
    while ((at = bytes.indexOf('\xff', at)) >= 0) {
        while (at < bytes.size() && uchar(bytes[at]) == 0xff)
            ++at; // fill bytes
        if (at + 3 > bytes.size())
            break;
        const uchar marker = uchar(bytes[at++]);
        if (marker == 0xd9) // end of image
            break;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue; // stray, or without a length
        const qint64 length = bigEndianAt(bytes, at, 2);
        if (length < 2)
            return u"a broken segment"_s;
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            height = bigEndianAt(bytes, at + 3, 2);
            width = bigEndianAt(bytes, at + 5, 2);
        }
        at += length;
        if (marker != 0xda)
            continue;
        ++scans;
        while ((at = bytes.indexOf('\xff', at)) >= 0 && at + 1 < bytes.size()) {
            const uchar next = uchar(bytes[at + 1]);
            if (next == 0xff)
                ++at;
            else if (next == 0x00 || (next >= 0xd0 && next <= 0xd7))
                at += 2;
            else
                break;
        }
        if (at < 0)
            break;
    }
    if (scans > kMaxJpegScans)
        return u"%1 scans"_s.arg(scans);
    return pixelsOverBudget(width, height);
}

QString pngOverBudget(QByteArrayView bytes)
{
    constexpr qsizetype kSignatureBytes = 8;
    constexpr QByteArrayView kHeaderStart("\0\0\0\x0dIHDR", 8);
    if (bytes.size() < kSignatureBytes + 25 || bytes.sliced(kSignatureBytes, 8) != kHeaderStart)
        return u"no header"_s;
    const qint64 width = bigEndianAt(bytes, 16, 4);
    const qint64 height = bigEndianAt(bytes, 20, 4);
    int chunks = 0;
    for (qsizetype at = kSignatureBytes; at + 8 <= bytes.size(); ++chunks) {
        const qint64 length = bigEndianAt(bytes, at, 4);
        if (bytes.sliced(at + 4, 4) == "IEND")
            break;
        at += 12 + length;
    }
    if (chunks > kMaxPngChunks)
        return u"%1 chunks"_s.arg(chunks);
    return pixelsOverBudget(width, height);
}

// The first picture only, which is all a thumbnail shows; it is drawn on the
// logical screen, and may reach past it.
QString gifOverBudget(QByteArrayView bytes)
{
    constexpr qsizetype kScreenBytes = 13;
    const uint flags = bigEndianAt(bytes, 10, 1);
    qsizetype at = kScreenBytes + ((flags & 0x80) ? 3 * (2 << (flags & 7)) : 0);
    while (at < bytes.size() && bytes[at] == '\x21') { // extensions, in blocks up to an empty one
        at += 2;
        while (at < bytes.size() && bytes[at] != 0)
            at += 1 + uchar(bytes[at]);
        ++at;
    }
    if (at + 9 > bytes.size() || bytes[at] != '\x2c')
        return u"no picture"_s;
    const quint32 right = littleEndianAt(bytes, at + 1, 2) + littleEndianAt(bytes, at + 5, 2);
    const quint32 bottom = littleEndianAt(bytes, at + 3, 2) + littleEndianAt(bytes, at + 7, 2);
    return pixelsOverBudget(std::max(littleEndianAt(bytes, 6, 2), right),
                            std::max(littleEndianAt(bytes, 8, 2), bottom));
}

// Rows run from the bottom up, or from the top down when the height is negative.
QString bmpOverBudget(QByteArrayView bytes)
{
    constexpr qsizetype kFileHeaderBytes = 14;
    const quint32 headerBytes = littleEndianAt(bytes, kFileHeaderBytes, 4);
    if (headerBytes == 12) // the oldest header, of 16-bit sizes
        return pixelsOverBudget(littleEndianAt(bytes, 18, 2), littleEndianAt(bytes, 20, 2));
    if (headerBytes < 40 || bytes.size() < kFileHeaderBytes + 40)
        return u"no header"_s;
    const qint64 width = qint32(littleEndianAt(bytes, 18, 4));
    const qint64 height = qint32(littleEndianAt(bytes, 22, 4));
    const quint32 compression = littleEndianAt(bytes, 30, 4);
    if (compression > 3) // within a file's bytes, RGB, RLE8, RLE4 and bit fields: those Qt reads
        return u"compression %1"_s.arg(compression);
    return pixelsOverBudget(width, std::abs(height));
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

QString overBudget(QByteArrayView bytes)
{
    const Signature* signature = signatureOf(bytes);
    return signature ? signature->overBudget(bytes) : u"not a PNG, JPEG, GIF or BMP"_s;
}

Thumbnail thumbnailOf(const QByteArray& bytes, int edge)
{
    edge = std::max(1, edge);
    const Signature* signature = signatureOf(bytes);
    if (!signature || !signature->overBudget(bytes).isEmpty())
        return { placeholderJpeg(), true };
    QByteArray data = bytes; // shared, not copied: QBuffer needs a non-const array
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    // Only the reader its first bytes name, whatever else could read them.
    QImageReader reader(&buffer, signature->format.toByteArray());
    reader.setAutoDetectImageFormat(false);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(kMaxDecodeMegabytes);

    // A BMP stored from the top down declares a negative height.
    const QSize declared = reader.size();
    const QSize size(std::abs(declared.width()), std::abs(declared.height()));
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
