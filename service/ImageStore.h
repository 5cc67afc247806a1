#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <optional>

// Where the uploaded images live. The service asks no more of a store than
// these calls, so that another kind of store (an object store that several
// machines share) can stand behind it. They come from several threads at
// once and may wait, each within a time limit of the store's own.
class ImageStore
{
public:
    // What the pages need to know of an image.
    struct Entry
    {
        QByteArray id; // "k3x9pq2mzt": safe in a path and in a link
        QString name; // as shown and as put in the direct link
        QByteArray type; // "image/png", or "application/octet-stream"
        qint64 size = 0;
        QDateTime time; // of the upload, in UTC
    };

    struct Image
    {
        Entry entry;
        QByteArray bytes;
    };

    enum class Outcome {
        Stored,
        Full, // no room, or over the store's quota
        Failed, // the store refused or broke: the service's fault
        Unavailable, // the store could not be reached, or not in time: may pass
    };

    struct Stored
    {
        Outcome outcome = Outcome::Failed;
        Entry entry; // when Stored
        QString error; // otherwise, for the log
    };

    struct Found
    {
        enum class Result { Found, Missing, Unavailable };
        Result result = Result::Missing;
        Image image; // when Found
        QString error; // when Unavailable, for the log
    };

    virtual ~ImageStore() = default;

    // Whether its calls may take long, as across a network: the service then
    // answers the requests that reach the store on threads of their own.
    virtual bool isRemote() const { return false; }

    // Keeps the bytes and their entry whole, or nothing of them; the store
    // gives the entry its id and time. Full when they do not fit: no image is
    // ever removed to make room, since its links are out there.
    virtual Stored put(QByteArrayView bytes, const QString& name, const QByteArray& type) = 0;
    // Missing for an unknown id, or an entry that is not whole; Unavailable
    // when the store cannot tell (an image is never said to be gone then).
    virtual Found get(QByteArrayView id) const = 0;

    // A thumbnail made of an image, kept beside it once made, whole or not at
    // all; nothing when none is kept (or the store cannot say).
    virtual std::optional<QByteArray> thumbnail(QByteArrayView id) const = 0;
    virtual void keepThumbnail(QByteArrayView id, const QByteArray& jpeg) = 0;
};
