#include "PastedImage.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

const QByteArray kPng = QByteArrayLiteral("PNG");
const QByteArray kJpeg = QByteArrayLiteral("JPEG");

// From the best down; tried in this order once the lowest has been seen to fit.
constexpr int kJpegQualities[] = { 90, 80, 70, 60, 50, 40, 30, 20, 10 };

// A buffer that refuses to grow past its cap: the encoder then gives up
// there instead of finishing a file that could never be sent. A PNG of an
// 8K photograph takes seconds to finish; its first 3 MiB take a fraction.
// (Qt's PNG writer says "libpng error: Write Error" on standard error when
// it stops.)
class CappedBuffer : public QBuffer
{
public:
    CappedBuffer(QByteArray* bytes, qint64 cap)
        : QBuffer(bytes)
        , m_cap(cap)
    { }

protected:
    qint64 writeData(const char* data, qint64 length) override
    {
        if (m_cap >= 0 && pos() + length > m_cap)
            return -1;
        return QBuffer::writeData(data, length);
    }

private:
    qint64 m_cap;
};

// The image in format, or nothing when it cannot be written within cap bytes
// (-1: no cap).
QByteArray Encoded(const QImage& image, const QByteArray& format, int quality = -1, qint64 cap = -1)
{
    QByteArray bytes;
    CappedBuffer buffer(&bytes, cap);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
#if defined(__SANITIZE_ADDRESS__)
    // When libpng gives up on a refused write it jumps past Qt's delete of
    // the row it was writing: one row lost in Qt, not in this code, which
    // LeakSanitizer is told to pass over here alone.
    const __lsan::ScopedDisabler rowLostInQt;
#endif
    if (!writer.write(image))
        return {};
    return bytes;
}

// JPEG has no transparency: what is see-through is shown on white, as a
// page would show it, rather than on whatever the pixels hide.
QImage Opaque(const QImage& image)
{
    if (!image.hasAlphaChannel())
        return image;
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    return flat;
}

bool Fits(const QByteArray& bytes, qint64 maxBytes)
{
    return !bytes.isEmpty() && bytes.size() <= maxBytes;
}

} // namespace

std::optional<PastedImage> PastedImage::Encode(const QImage& image, qint64 maxBytes)
{
    if (image.isNull())
        return std::nullopt;
    QByteArray png = Encoded(image, kPng, -1, maxBytes);
    if (Fits(png, maxBytes))
        return PastedImage { std::move(png), kPng };
    png.clear();

    // The lowest quality first: when even it is too big, nothing is.
    const QImage flat = Opaque(image);
    QByteArray lowest = Encoded(flat, kJpeg, std::end(kJpegQualities)[-1]);
    if (!Fits(lowest, maxBytes))
        return std::nullopt;
    for (const int quality : kJpegQualities) {
        if (quality == std::end(kJpegQualities)[-1])
            break;
        QByteArray jpeg = Encoded(flat, kJpeg, quality);
        if (Fits(jpeg, maxBytes))
            return PastedImage { std::move(jpeg), kJpeg };
    }
    return PastedImage { std::move(lowest), kJpeg };
}

QString PastedImage::UploadName() const
{
    return format == kJpeg ? QStringLiteral("pasted.jpg") : QStringLiteral("pasted.png");
}

QString PastedImage::Description() const
{
    const qint64 kilobytes = qMax<qint64>(1, (qint64(bytes.size()) + 512) / 1024);
    return QStringLiteral("Pasted image, %1, %2 KB").arg(QString::fromLatin1(format)).arg(kilobytes);
}
