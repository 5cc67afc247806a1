#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <deque>
#include <optional>

// The uploaded images, in memory only and bounded: the oldest go first once
// either the count or the byte total would be exceeded.
class ImageStore
{
public:
    struct Image
    {
        QByteArray id;
        QString name;
        QByteArray bytes;
        QByteArray thumbnail; // empty until first asked for
        QByteArray thumbnailType;
    };

    static constexpr int kDefaultMaxImages = 100;
    static constexpr qint64 kDefaultMaxBytes = qint64(300) * 1024 * 1024;

    explicit ImageStore(int maxImages = kDefaultMaxImages, qint64 maxBytes = kDefaultMaxBytes);

    // The new image's id, or an empty id when the image alone exceeds the byte bound.
    QByteArray add(const QByteArray& bytes, const QString& name);
    std::optional<Image> find(QByteArrayView id) const;
    // Counted against the byte bound like the image itself; may evict older images.
    void setThumbnail(QByteArrayView id, const QByteArray& thumbnail, const QByteArray& type);

    int count() const { return int(m_images.size()); }
    qint64 totalBytes() const { return m_totalBytes; }
    int maxImages() const { return m_maxImages; }
    qint64 maxBytes() const { return m_maxBytes; }

private:
    static qint64 costOf(const Image& image);
    QByteArray freshId() const;
    // Drops the oldest images other than keep until extraBytes more would fit.
    void evictFor(qint64 extraBytes, int extraImages, QByteArrayView keep);

    int m_maxImages;
    qint64 m_maxBytes;
    qint64 m_totalBytes = 0;
    std::deque<QByteArray> m_order; // oldest first
    QHash<QByteArray, Image> m_images;
};
