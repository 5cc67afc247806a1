#pragma once

#include "ImageStore.h"

#include <QHash>
#include <QString>
#include <QUrl>

#include <functional>

// Images in a bucket of an S3 object store, which several services on several
// machines may share: one object each, "images/k3x9pq2mzt", with the image's
// bytes as its body, its type as Content-Type and the rest of its entry in
// x-amz-meta- headers, so that the entry and the bytes appear whole in one
// PUT or not at all. Thumbnails are objects too ("thumbnails/k3x9pq2mzt.jpg"),
// so that any service can serve one that another made.
//
// Spoken with libcurl and its SigV4 signing, one easy handle per call: a
// call blocks its thread, within the time limits below. Safe to use from
// several threads.
class S3Store : public ImageStore
{
public:
    struct Settings
    {
        QUrl endpoint; // "http://127.0.0.1:7480"; the bucket is named in the path
        QString bucket;
        QByteArray accessKey;
        QByteArray secretKey;
        QByteArray region = "us-east-1";
        int connectTimeoutMs = 3000;
        int timeoutMs = 10000; // of a whole call, connection included
        // Where ids come from; a test hands out ids that clash.
        std::function<QByteArray()> drawId;
    };

    // Empty when usable, else why not: "--s3-endpoint takes ...".
    // "http://127.0.0.1:7480" -> ""; "https://s3.example.org/" -> ""; "ftp://a", "http://a/?x" -> a message
    static QString checkEndpoint(const QUrl& endpoint);
    // "tarnwick-images" -> ""; "ab", "Images", "-a-" -> a message
    static QString checkBucket(const QString& bucket);

    explicit S3Store(Settings settings);
    ~S3Store() override;
    S3Store(const S3Store&) = delete;
    S3Store& operator=(const S3Store&) = delete;

    // Creates the bucket unless it is there: Stored when it is there now,
    // Unavailable when the store cannot be reached, Failed when it refuses
    // (credentials, or a bucket of someone else's); errorString() tells.
    // put() creates it too, should it still be missing then.
    Outcome createBucket(QString* error = nullptr);

    bool isRemote() const override { return true; }
    Stored put(QByteArrayView bytes, const QString& name, const QByteArray& type) override;
    Found get(QByteArrayView id) const override;
    std::optional<QByteArray> thumbnail(QByteArrayView id) const override;
    void keepThumbnail(QByteArrayView id, const QByteArray& jpeg) override;

    // "http://127.0.0.1:7480/tarnwick-images", for messages.
    QString bucketUrl() const;

private:
    struct Reply
    {
        int status = 0; // 0 when no answer came
        QByteArray code; // of an error answer: "NoSuchKey", "QuotaExceeded"
        QByteArray body;
        QHash<QByteArray, QByteArray> headers; // those asked for, by their lower-case names
        QString error; // "PUT http://…/images/k3x9pq2mzt: 403 AccessDenied"
    };
    // What an answer means for an image's PUT: Stored, Full (a quota), Failed
    // (refused) or Unavailable (no answer, or the store's own fault).
    static Outcome outcomeOf(const Reply& reply);

    Reply call(const char* method, const QByteArray& key, const QByteArray* body, const QList<QByteArray>& headers = {},
               const QList<QByteArray>& wanted = {}) const;

    Settings m_settings;
    QByteArray m_bucketUrl;
    QByteArray m_signing; // "aws:amz:us-east-1:s3"
    QByteArray m_user; // "access:secret"
};
