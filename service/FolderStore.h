#pragma once

#include "ImageStore.h"

#include <QLockFile>
#include <QMutex>

// Images in a folder of this machine, one file each, named by its id
// ("<folder>/images/k3x9pq2mzt"): a line of JSON with the entry, then the
// image's bytes. Thumbnails go to "<folder>/thumbnails/k3x9pq2mzt.jpg"; they
// are not counted against the limit, and may be deleted at any time. A file is written under a name of its own
// ("k3x9pq2mzt.part") and renamed once whole, so that a crash at any moment leaves either the whole image or nothing
// that is served. Safe to use from several threads.
class FolderStore : public ImageStore
{
public:
    FolderStore(const QString& folder, qint64 maxBytes);

    // Creates the folder, locks it against a second service and counts what
    // it holds. False with errorString() set when any of that fails.
    bool open();
    QString errorString() const { return m_error; }

    Stored put(QByteArrayView bytes, const QString& name, const QByteArray& type) override;
    Found get(QByteArrayView id) const override;
    std::optional<QByteArray> thumbnail(QByteArrayView id) const override;
    void keepThumbnail(QByteArrayView id, const QByteArray& jpeg) override;

    qint64 usedBytes() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_usedBytes;
    }
    qint64 maxBytes() const { return m_maxBytes; }
    int count() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_count;
    }

    // "k3x9pq2mzt" -> true; "../etc" -> false
    static bool isId(QByteArrayView id);

private:
    QString pathOf(QByteArrayView id) const;
    QString thumbnailPathOf(QByteArrayView id) const;

    QString m_folder;
    qint64 m_maxBytes;
    mutable QMutex m_mutex;
    qint64 m_usedBytes = 0;
    int m_count = 0;
    QLockFile m_lock;
    QString m_error;
};
