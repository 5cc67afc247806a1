#include "ImageStore.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

constexpr QByteArrayView kIdAlphabet = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr int kIdLength = 10;

} // namespace

ImageStore::ImageStore(int maxImages, qint64 maxBytes)
    : m_maxImages(std::max(1, maxImages))
    , m_maxBytes(std::max<qint64>(1, maxBytes))
{
}

qint64 ImageStore::costOf(const Image& image)
{
    return image.bytes.size() + image.thumbnail.size();
}

QByteArray ImageStore::freshId() const
{
    QByteArray id;
    do {
        id.clear();
        for (int i = 0; i < kIdLength; ++i)
            id.append(kIdAlphabet[QRandomGenerator::global()->bounded(int(kIdAlphabet.size()))]);
    } while (m_images.contains(id));
    return id;
}

void ImageStore::evictFor(qint64 extraBytes, int extraImages, QByteArrayView keep)
{
    auto it = m_order.begin();
    while (it != m_order.end()
           && (m_totalBytes + extraBytes > m_maxBytes || count() + extraImages > m_maxImages)) {
        if (*it == keep) {
            ++it;
            continue;
        }
        m_totalBytes -= costOf(m_images.value(*it));
        m_images.remove(*it);
        it = m_order.erase(it);
    }
}

QByteArray ImageStore::add(const QByteArray& bytes, const QString& name)
{
    if (bytes.size() > m_maxBytes)
        return {};
    evictFor(bytes.size(), 1, {});

    Image image;
    image.id = freshId();
    image.name = name;
    image.bytes = bytes;
    m_images.insert(image.id, image);
    m_order.push_back(image.id);
    m_totalBytes += costOf(image);
    return image.id;
}

std::optional<ImageStore::Image> ImageStore::find(QByteArrayView id) const
{
    const auto it = m_images.constFind(id.toByteArray());
    if (it == m_images.cend())
        return std::nullopt;
    return *it;
}

void ImageStore::setThumbnail(QByteArrayView id, const QByteArray& thumbnail, const QByteArray& type)
{
    const QByteArray key = id.toByteArray();
    if (!m_images.contains(key))
        return;
    const qint64 extra = thumbnail.size() - m_images.value(key).thumbnail.size();
    evictFor(extra, 0, key);
    if (m_totalBytes + extra > m_maxBytes)
        return; // served without keeping it
    Image& image = m_images[key];
    image.thumbnail = thumbnail;
    image.thumbnailType = type;
    m_totalBytes += extra;
}
