#include "S3Store.h"

#include "ImageId.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kImagesPrefix = "images/";
constexpr QByteArrayView kThumbnailsPrefix = "thumbnails/";
constexpr QByteArrayView kNameHeader = "x-amz-meta-name";
constexpr QByteArrayView kTimeHeader = "x-amz-meta-time";
constexpr QByteArrayView kSizeHeader = "x-amz-meta-size";
// Far above the largest image the service takes: a bound, not a limit.
constexpr qsizetype kMaxObjectBytes = 64 * 1024 * 1024;
// A clash of ten random characters is already rare; four in a row means
// something else answers 412.
constexpr int kMaxDraws = 4;

struct Upload
{
    const QByteArray* bytes = nullptr;
    qsizetype sent = 0;
};

size_t readBody(char* buffer, size_t size, size_t count, void* userdata)
{
    auto* upload = static_cast<Upload*>(userdata);
    const size_t left = size_t(upload->bytes->size() - upload->sent);
    const size_t n = std::min(left, size * count);
    std::memcpy(buffer, upload->bytes->constData() + upload->sent, n);
    upload->sent += qsizetype(n);
    return n;
}

size_t writeBody(char* data, size_t size, size_t count, void* userdata)
{
    auto* body = static_cast<QByteArray*>(userdata);
    const size_t n = size * count;
    if (body->size() + qsizetype(n) > kMaxObjectBytes)
        return 0; // libcurl ends the call with CURLE_WRITE_ERROR
    try {
        body->append(data, qsizetype(n));
    } catch (const std::exception&) {
        return 0;
    }
    return n;
}

// The Code element of an S3 error document: "NoSuchKey"; empty when there is none.
QByteArray errorCode(const QByteArray& body)
{
    QXmlStreamReader xml(body);
    while (xml.readNextStartElement()) {
        if (xml.name() == "Code"_L1)
            return xml.readElementText().toUtf8();
        if (xml.name() != "Error"_L1)
            xml.skipCurrentElement();
    }
    return {};
}

struct CurlDeleter
{
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

QString S3Store::checkEndpoint(const QUrl& endpoint)
{
    const bool usable = endpoint.isValid() && (endpoint.scheme() == "http"_L1 || endpoint.scheme() == "https"_L1)
        && !endpoint.host().isEmpty() && endpoint.userInfo().isEmpty() && !endpoint.hasQuery()
        && !endpoint.hasFragment();
    if (usable)
        return {};
    return u"--s3-endpoint takes the store's http or https URL, such as http://127.0.0.1:7480, not '%1'"_s.arg(
        endpoint.toString());
}

QString S3Store::checkBucket(const QString& bucket)
{
    static const QRegularExpression name(u"^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$"_s);
    if (name.match(bucket).hasMatch() && !bucket.contains(".."_L1))
        return {};
    return u"--s3-bucket takes a bucket name of 3 to 63 lower-case letters, digits, dots and hyphens, beginning "
           "and ending with a letter or digit, not '%1'"_s.arg(bucket);
}

S3Store::S3Store(Settings settings)
    : m_settings(std::move(settings))
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QString base = m_settings.endpoint.toString(QUrl::FullyEncoded);
    while (base.endsWith(u'/'))
        base.chop(1);
    m_bucketUrl = base.toUtf8() + '/' + QUrl::toPercentEncoding(m_settings.bucket);
    m_signing = "aws:amz:" + m_settings.region + ":s3";
    m_user = m_settings.accessKey + ':' + m_settings.secretKey;
    if (!m_settings.drawId)
        m_settings.drawId = &ImageId::draw;
}

S3Store::~S3Store()
{
    curl_global_cleanup();
}

QString S3Store::bucketUrl() const
{
    return QString::fromUtf8(m_bucketUrl);
}

S3Store::Reply S3Store::call(const char* method, const QByteArray& key, const QByteArray* body,
                             const QList<QByteArray>& headers, const QList<QByteArray>& wanted) const
{
    const QByteArray url = key.isEmpty() ? m_bucketUrl : m_bucketUrl + '/' + key;
    Reply reply;
    const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        reply.error = u"%1 %2: libcurl could not start a call"_s.arg(QLatin1String(method), QString::fromUtf8(url));
        return reply;
    }
    // libcurl 7.88 signs no payload hash of its own, and without one the
    // store refuses the signature; the real hash also lets the store check
    // the bytes it got.
    const QByteArray payload = body ? *body : QByteArray();
    curl_slist* list = nullptr;
    const auto add = [&](const QByteArray& line) {
        if (curl_slist* longer = curl_slist_append(list, line.constData()))
            list = longer;
    };
    add("x-amz-content-sha256: " + QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex());
    // No "Expect:" line to keep libcurl from asking for 100 Continue: 7.88
    // signs that empty header, sends none, and the signature fails.
    for (const QByteArray& header : headers)
        add(header);
    const std::unique_ptr<curl_slist, ListDeleter> ownedList(list);

    char errorBuffer[CURL_ERROR_SIZE] = {};
    Upload upload { &payload, 0 };
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(m_settings.connectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(m_settings.timeoutMs));
    curl_easy_setopt(c, CURLOPT_AWS_SIGV4, m_signing.constData());
    curl_easy_setopt(c, CURLOPT_USERPWD, m_user.constData());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
    if (qstrcmp(method, "PUT") == 0) {
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, &readBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &upload);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(payload.size()));
    } else if (qstrcmp(method, "GET") != 0) {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
    }

    const CURLcode result = curl_easy_perform(c);
    const QString what = QLatin1String(method) + u' ' + QString::fromUtf8(url) + u": "_s;
    if (result != CURLE_OK) {
        reply.error = what + QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(result));
        return reply;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    reply.status = int(status);
    for (const QByteArray& name : wanted) {
        curl_header* header = nullptr;
        if (curl_easy_header(c, name.constData(), 0, CURLH_HEADER, -1, &header) == CURLHE_OK)
            reply.headers.insert(name, QByteArray(header->value));
    }
    if (reply.status >= 300) {
        reply.code = errorCode(reply.body);
        reply.error = what + QString::number(reply.status) + u' ' + QString::fromUtf8(reply.code);
    }
    return reply;
}

ImageStore::Outcome S3Store::outcomeOf(const Reply& reply)
{
    if (reply.status >= 200 && reply.status < 300)
        return Outcome::Stored;
    if (reply.status == 507 || reply.code == "QuotaExceeded")
        return Outcome::Full;
    if (reply.status == 0 || reply.status >= 500)
        return Outcome::Unavailable;
    return Outcome::Failed;
}

ImageStore::Outcome S3Store::createBucket(QString* error)
{
    // Elsewhere than us-east-1 a bucket is made with its region named.
    QByteArray where;
    if (m_settings.region != "us-east-1") {
        where = "<CreateBucketConfiguration><LocationConstraint>" + m_settings.region
            + "</LocationConstraint></CreateBucketConfiguration>";
    }
    const Reply reply = call("PUT", {}, &where);
    // Taken by its owner, we may use it; someone else's, we may not.
    const Outcome outcome = reply.code == "BucketAlreadyOwnedByYou" ? Outcome::Stored : outcomeOf(reply);
    if (error) {
        *error = reply.code == "BucketAlreadyExists" ? u"the bucket %1 belongs to someone else"_s.arg(bucketUrl())
                                                     : reply.error;
    }
    return outcome;
}

ImageStore::Stored S3Store::put(QByteArrayView image, const QString& name, const QByteArray& type)
{
    const QByteArray bytes = image.toByteArray();
    Stored stored { Outcome::Failed, { {}, name, type, bytes.size(), QDateTime::currentDateTimeUtc() }, {} };
    Entry& entry = stored.entry;
    // Metadata travels in header lines, which carry ASCII only.
    const QList<QByteArray> headers { "Content-Type: " + type,
                                      kNameHeader.toByteArray() + ": " + QUrl::toPercentEncoding(name),
                                      kTimeHeader.toByteArray() + ": "
                                          + entry.time.toString(Qt::ISODateWithMs).toLatin1(),
                                      kSizeHeader.toByteArray() + ": " + QByteArray::number(entry.size),
                                      // An id that is taken is drawn again, never overwritten.
                                      "If-None-Match: *" };
    bool bucketMade = false;
    for (int draw = 0; draw < kMaxDraws;) {
        entry.id = m_settings.drawId();
        const Reply reply = call("PUT", kImagesPrefix.toByteArray() + entry.id, &bytes, headers);
        if (reply.status == 412 || (reply.status == 409 && reply.code == "ConditionalRequestConflict")) {
            ++draw;
            continue;
        }
        // Missing when the store was out of reach as the service started.
        if (reply.status == 404 && reply.code == "NoSuchBucket" && !bucketMade) {
            bucketMade = true;
            stored.outcome = createBucket(&stored.error);
            if (stored.outcome != Outcome::Stored)
                return stored;
            continue;
        }
        stored.outcome = outcomeOf(reply);
        stored.error = reply.error;
        return stored;
    }
    stored.outcome = Outcome::Failed;
    stored.error = u"PUT %1/%2: every id drawn was taken"_s.arg(bucketUrl(), QString::fromLatin1(kImagesPrefix));
    return stored;
}

ImageStore::Found S3Store::get(QByteArrayView id) const
{
    Found found;
    if (!ImageId::isValid(id))
        return found;
    const QList<QByteArray> wanted { "content-type", kNameHeader.toByteArray(), kTimeHeader.toByteArray(),
                                     kSizeHeader.toByteArray() };
    Reply reply = call("GET", kImagesPrefix.toByteArray() + id.toByteArray(), nullptr, {}, wanted);
    if (reply.status == 404)
        return found;
    if (reply.status != 200) {
        found.result = Found::Result::Unavailable;
        found.error = reply.error;
        return found;
    }
    Entry& entry = found.image.entry;
    entry.id = id.toByteArray();
    entry.name = QUrl::fromPercentEncoding(reply.headers.value(kNameHeader.toByteArray()));
    entry.type = reply.headers.value("content-type");
    entry.size = reply.headers.value(kSizeHeader.toByteArray()).toLongLong();
    entry.time =
        QDateTime::fromString(QString::fromLatin1(reply.headers.value(kTimeHeader.toByteArray())), Qt::ISODateWithMs);
    found.image.bytes = std::move(reply.body);
    // An object that some other writer left without the entry is no image of ours.
    if (entry.size == found.image.bytes.size() && entry.time.isValid() && !entry.type.isEmpty())
        found.result = Found::Result::Found;
    return found;
}

std::optional<QByteArray> S3Store::thumbnail(QByteArrayView id) const
{
    if (!ImageId::isValid(id))
        return std::nullopt;
    Reply reply = call("GET", kThumbnailsPrefix.toByteArray() + id.toByteArray() + ".jpg", nullptr);
    if (reply.status != 200)
        return std::nullopt;
    return std::move(reply.body);
}

void S3Store::keepThumbnail(QByteArrayView id, const QByteArray& jpeg)
{
    if (!ImageId::isValid(id))
        return;
    // A thumbnail is the same whoever makes it: a second PUT of it may overwrite the first.
    const Reply reply =
        call("PUT", kThumbnailsPrefix.toByteArray() + id.toByteArray() + ".jpg", &jpeg, { "Content-Type: image/jpeg" });
    if (outcomeOf(reply) != Outcome::Stored)
        qWarning("store: %s", qPrintable(reply.error));
}
