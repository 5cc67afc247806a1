#include "FolderStore.h"

#include "ImageId.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <sys/statvfs.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kMaxEntryLineBytes = 4096;
constexpr QLatin1String kPartSuffix(".part");
// Left free on the disk for everything else that lives there.
constexpr qint64 kDiskReserveBytes = qint64(64) * 1024 * 1024;

// {"name":"cat.png","size":5123,"time":"2025-05-20T14:03:01.250Z","type":"image/png"} and a line feed
QByteArray entryLine(const ImageStore::Entry& entry)
{
    const QJsonObject object { { u"name"_s, entry.name },
                               { u"type"_s, QString::fromLatin1(entry.type) },
                               { u"size"_s, entry.size },
                               { u"time"_s, entry.time.toString(Qt::ISODateWithMs) } };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// -1 when unknown.
qint64 freeBytesOn(const QString& folder)
{
    struct statvfs info = {};
    if (::statvfs(QFile::encodeName(folder).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

} // namespace

FolderStore::FolderStore(const QString& folder, qint64 maxBytes)
    : m_folder(QDir::cleanPath(folder))
    , m_maxBytes(maxBytes)
    , m_lock(m_folder + u"/lock"_s)
{ }

bool FolderStore::isId(QByteArrayView id)
{
    return ImageId::isValid(id);
}

QString FolderStore::pathOf(QByteArrayView id) const
{
    return m_folder + u"/images/"_s + QString::fromLatin1(id);
}

QString FolderStore::thumbnailPathOf(QByteArrayView id) const
{
    return m_folder + u"/thumbnails/"_s + QString::fromLatin1(id) + u".jpg"_s;
}

bool FolderStore::open()
{
    if (!QDir().mkpath(m_folder + u"/images"_s) || !QDir().mkpath(m_folder + u"/thumbnails"_s)) {
        m_error = u"cannot create the folder %1"_s.arg(m_folder);
        return false;
    }
    m_lock.setStaleLockTime(0); // stale only once its owner no longer runs, however long that took
    if (!m_lock.tryLock()) {
        qint64 pid = 0;
        m_lock.getLockInfo(&pid, nullptr, nullptr);
        m_error = m_lock.error() == QLockFile::LockFailedError
            ? u"%1 is in use by another service (process %2)"_s.arg(m_folder).arg(pid)
            : u"cannot lock the folder %1"_s.arg(m_folder);
        return false;
    }
    for (QDirIterator it(m_folder + u"/images"_s, QDir::Files); it.hasNext();) {
        it.next();
        const QString name = it.fileName();
        if (isId(name.toLatin1())) {
            m_usedBytes += it.fileInfo().size();
            ++m_count;
        } else if (name.endsWith(kPartSuffix) && isId(name.chopped(kPartSuffix.size()).toLatin1())) {
            QFile::remove(it.filePath()); // cut short by a crash
        }
    }
    return true;
}

ImageStore::Stored FolderStore::put(QByteArrayView bytes, const QString& name, const QByteArray& type)
{
    Stored stored { Outcome::Failed, { {}, name, type, bytes.size(), QDateTime::currentDateTimeUtc() }, {} };
    Entry& entry = stored.entry;
    const QByteArray line = entryLine(entry);
    const qint64 fileBytes = line.size() + bytes.size();
    const qint64 freeBytes = freeBytesOn(m_folder);
    {
        // Room is taken before the file is written, so that uploads at once cannot overfill the store together.
        const QMutexLocker lock(&m_mutex);
        if (m_usedBytes + fileBytes > m_maxBytes || (freeBytes >= 0 && freeBytes < fileBytes + kDiskReserveBytes)) {
            stored.outcome = Outcome::Full;
            return stored;
        }
        m_usedBytes += fileBytes;
        ++m_count;
    }

    do {
        entry.id = ImageId::draw();
    } while (QFile::exists(pathOf(entry.id)));

    // Named only once whole. Not synced to the disk, which would cost most of
    // the throughput: a crash or kill of the service loses nothing the kernel
    // was given; a power cut may lose the last seconds' uploads.
    QFile file(pathOf(entry.id) + kPartSuffix);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(line) == line.size()
        && file.write(bytes.data(), bytes.size()) == bytes.size() && file.flush();
    file.close();
    if (!written || !file.rename(pathOf(entry.id))) {
        stored.error = file.fileName() + u": "_s + file.errorString();
        file.remove();
        const QMutexLocker lock(&m_mutex);
        m_usedBytes -= fileBytes;
        --m_count;
        return stored;
    }
    stored.outcome = Outcome::Stored;
    return stored;
}

ImageStore::Found FolderStore::get(QByteArrayView id) const
{
    Found found;
    if (!isId(id))
        return found;
    QFile file(pathOf(id));
    if (!file.open(QIODevice::ReadOnly))
        return found;
    const QJsonObject object = QJsonDocument::fromJson(file.readLine(kMaxEntryLineBytes)).object();
    Image& image = found.image;
    image.entry.id = id.toByteArray();
    image.entry.name = object.value(u"name"_s).toString();
    image.entry.type = object.value(u"type"_s).toString().toLatin1();
    image.entry.size = object.value(u"size"_s).toInteger(-1);
    image.entry.time = QDateTime::fromString(object.value(u"time"_s).toString(), Qt::ISODateWithMs);
    image.bytes = file.readAll();
    // Also false for a first line that is no entry.
    if (image.bytes.size() == image.entry.size)
        found.result = Found::Result::Found;
    return found;
}

std::optional<QByteArray> FolderStore::thumbnail(QByteArrayView id) const
{
    QFile file(thumbnailPathOf(id));
    if (!isId(id) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

void FolderStore::keepThumbnail(QByteArrayView id, const QByteArray& jpeg)
{
    if (!isId(id))
        return;
    QSaveFile file(thumbnailPathOf(id));
    if (file.open(QIODevice::WriteOnly) && file.write(jpeg) == jpeg.size())
        file.commit();
}
