#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <optional>

// Where the uploaded images live. The service asks no more of a store than
// these two calls, so that another kind of store (an object store that
// several machines share) can stand behind it.
class ImageStore
{
public:
    // What the pages need to know of an image.
    struct Entry
    {
        QByteArray id;   // "k3x9pq2mzt": safe in a path and in a link
        QString name;    // as shown and as put in the direct link
        QByteArray type; // "image/png", or "application/octet-stream"
        qint64 size = 0;
        QDateTime time; // of the upload, in UTC
    };

    struct Image
    {
        Entry entry;
        QByteArray bytes;
    };

    enum class Outcome { Stored, Full, Failed };

    struct Stored
    {
        Outcome outcome = Outcome::Failed;
        Entry entry;   // when Stored
        QString error; // when Failed, for the log
    };

    virtual ~ImageStore() = default;

    // Keeps the bytes and their entry whole, or nothing of them; the store
    // gives the entry its id and time. Full when they do not fit: no image is
    // ever removed to make room, since its links are out there.
    virtual Stored put(const QByteArray& bytes, const QString& name, const QByteArray& type) = 0;
    // Nothing for an unknown id, or an entry that is not whole.
    virtual std::optional<Image> get(QByteArrayView id) const = 0;
};
