#include "FolderStore.h"
#include "HttpRequest.h"
#include "ImageCodec.h"
#include "ServiceTestSupport.h"
#include "ThumbnailMaker.h"
#include "ThumbnailSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using ServiceTest::kPlentyOfBytes;

namespace {

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage gradient(int width, int height, bool alpha)
{
    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgba(x % 256, y % 256, 90, alpha ? (x < width / 2 ? 0 : 255) : 255));
    }
    return image;
}

} // namespace

class tst_ServiceParts : public QObject
{
    Q_OBJECT

private slots:
    void storeFileLayout();
    void storeKeepsAcrossReopening();
    void storeFullRefusesAndKeepsOlder();
    void storeServesNoBrokenEntry_data();
    void storeServesNoBrokenEntry();
    void storeHasOneService();
    void storeNamesAnImageOnlyByRenaming();
    void storeCountsTheEntryLine_data();
    void storeCountsTheEntryLine();

    void mimeType_data();
    void mimeType();
    void thumbnail_data();
    void thumbnail();
    void overBudget_data();
    void overBudget();
    void thumbnailClient_data();
    void thumbnailClient();

    void requestHead_data();
    void requestHead();
    void expectContinue();
};

// Golden bytes of one image's file: the entry as a line of JSON, then the image.
void tst_ServiceParts::storeFileLayout()
{
    QTemporaryDir dir;
    FolderStore store(dir.path(), 1000);
    QVERIFY(store.open());
    const ImageStore::Stored stored = store.put("GIF89a", u"caf\u00e9 \"1\".gif"_s, "image/gif");
    QCOMPARE(stored.outcome, ImageStore::Outcome::Stored);
    const ImageStore::Entry& entry = stored.entry;
    QVERIFY(FolderStore::isId(entry.id));
    QVERIFY(qAbs(entry.time.secsTo(QDateTime::currentDateTimeUtc())) < 60);

    QFile file(dir.filePath(u"images/"_s + QString::fromLatin1(entry.id)));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             "{\"name\":\"caf\xc3\xa9 \\\"1\\\".gif\",\"size\":6,\"time\":\""
                 + entry.time.toString(Qt::ISODateWithMs).toLatin1() + "\",\"type\":\"image/gif\"}\nGIF89a");
    QCOMPARE(store.usedBytes(), file.size());

    const ImageStore::Found found = store.get(entry.id);
    QCOMPARE(found.result, ImageStore::Found::Result::Found);
    QCOMPARE(found.image.bytes, QByteArray("GIF89a"));
    QCOMPARE(found.image.entry.name, entry.name);
    QCOMPARE(found.image.entry.type, QByteArray("image/gif"));
    QCOMPARE(found.image.entry.size, 6);
    QCOMPARE(found.image.entry.time, entry.time);

    // A thumbnail is kept beside it, once made.
    QVERIFY(!store.thumbnail(entry.id));
    store.keepThumbnail(entry.id, "\xff\xd8\xff thumbnail");
    QCOMPARE(store.thumbnail(entry.id), QByteArray("\xff\xd8\xff thumbnail"));
    QCOMPARE(store.usedBytes(), file.size());
}

void tst_ServiceParts::storeKeepsAcrossReopening()
{
    QTemporaryDir dir;
    QList<QByteArray> ids;
    qint64 used = 0;
    {
        FolderStore store(dir.path(), kPlentyOfBytes);
        QVERIFY(store.open());
        for (int i = 0; i < 5; ++i)
            ids.append(store.put(QByteArray(100 * (i + 1), char('a' + i)), u"n%1"_s.arg(i), "image/png").entry.id);
        used = store.usedBytes();
    }
    QCOMPARE(QSet<QByteArray>(ids.begin(), ids.end()).size(), 5);
    QFile foreign(dir.filePath(u"images/notes.txt"_s));
    QVERIFY(foreign.open(QIODevice::WriteOnly) && foreign.write("not an image") > 0);
    foreign.close();

    FolderStore store(dir.path(), kPlentyOfBytes);
    QVERIFY(store.open());
    QCOMPARE(store.count(), 5);
    QCOMPARE(store.usedBytes(), used);
    for (int i = 0; i < 5; ++i) {
        const ImageStore::Found found = store.get(ids[i]);
        QCOMPARE(found.result, ImageStore::Found::Result::Found);
        QCOMPARE(found.image.bytes, QByteArray(100 * (i + 1), char('a' + i)));
        QCOMPARE(found.image.entry.name, u"n%1"_s.arg(i));
    }
}

void tst_ServiceParts::storeFullRefusesAndKeepsOlder()
{
    QTemporaryDir dir;
    FolderStore store(dir.path(), 1000);
    QVERIFY(store.open());
    const ImageStore::Stored first = store.put(QByteArray(600, 'f'), u"first"_s, "image/png");
    QCOMPARE(first.outcome, ImageStore::Outcome::Stored);
    QCOMPARE(store.put(QByteArray(600, 's'), u"second"_s, "image/png").outcome, ImageStore::Outcome::Full);
    QCOMPARE(store.count(), 1);
    QCOMPARE(store.get(first.entry.id).image.bytes, QByteArray(600, 'f'));
    // What still fits is taken.
    QCOMPARE(store.put(QByteArray(200, 't'), u"third"_s, "image/png").outcome, ImageStore::Outcome::Stored);
    QVERIFY(store.usedBytes() <= store.maxBytes());
}

void tst_ServiceParts::storeServesNoBrokenEntry_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("file"); // written as that id's file; none if empty

    const QByteArray line =
        "{\"name\":\"a.png\",\"size\":10,\"time\":\"2025-05-20T14:03:01.250Z\",\"type\":\"image/png\"}\n";
    QTest::newRow("cut short") << QByteArray("abcdefghij") << line + "12345";
    QTest::newRow("longer than its entry") << QByteArray("abcdefghij") << line + "12345678901";
    QTest::newRow("no entry line") << QByteArray("abcdefghij") << QByteArray("\x89PNG\r\n\x1a\n");
    QTest::newRow("unknown id") << QByteArray("abcdefghij") << QByteArray();
    QTest::newRow("a path") << QByteArray("../../lock") << QByteArray();
    QTest::newRow("capitals") << QByteArray("ABCDEFGHIJ") << QByteArray();
    QTest::newRow("too short") << QByteArray("abc") << QByteArray();
}

void tst_ServiceParts::storeServesNoBrokenEntry()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, file);
    QTemporaryDir dir;
    if (!file.isEmpty()) {
        QVERIFY(QDir(dir.path()).mkpath(u"images"_s));
        QFile out(dir.filePath(u"images/"_s + QString::fromLatin1(id)));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file);
    }
    FolderStore store(dir.path(), 1000);
    QVERIFY(store.open());
    QCOMPARE(store.get(id).result, ImageStore::Found::Result::Missing);
    QVERIFY(!store.thumbnail(id));
}

void tst_ServiceParts::storeHasOneService()
{
    QTemporaryDir dir;
    FolderStore first(dir.path(), 1000);
    QVERIFY(first.open());
    FolderStore second(dir.path(), 1000);
    QVERIFY(!second.open());
    QVERIFY2(second.errorString().contains(u"in use"_s), qPrintable(second.errorString()));
}

// An image appears under its own name whole or not at all: written under
// another, then renamed. The folder's events say so, in the order they came.
void tst_ServiceParts::storeNamesAnImageOnlyByRenaming()
{
    QTemporaryDir dir;
    FolderStore store(dir.path(), kPlentyOfBytes);
    QVERIFY(store.open());
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
    const QByteArray images = QFile::encodeName(dir.filePath(u"images"_s));
    QVERIFY(inotify_add_watch(watch, images.constData(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) >= 0);

    const ImageStore::Stored stored = store.put(QByteArray(300'000, 'p'), u"p.png"_s, "image/png");
    QCOMPARE(stored.outcome, ImageStore::Outcome::Stored);
    QStringList events;
    alignas(inotify_event) char buffer[16 * 1024];
    for (ssize_t got; (got = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (qsizetype at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const QString name =
                QString::fromLatin1(event->name).replace(QString::fromLatin1(stored.entry.id), u"ID"_s);
            const char* what = event->mask & IN_CREATE ? "made "
                : event->mask & IN_MOVED_TO            ? "renamed to "
                                                       : "closed ";
            events.append(QString::fromLatin1(what) + name);
            at += qsizetype(sizeof(inotify_event) + event->len);
        }
    }
    QCOMPARE(events, QStringList({ u"made ID.part"_s, u"closed ID.part"_s, u"renamed to ID"_s }));
}

void tst_ServiceParts::storeCountsTheEntryLine_data()
{
    QTest::addColumn<qint64>("spare"); // bytes of the limit beyond the image and its entry line
    QTest::addColumn<bool>("stored");

    QTest::newRow("fits with its entry line") << qint64(0) << true;
    QTest::newRow("fits only without its entry line") << qint64(-1) << false;
}

void tst_ServiceParts::storeCountsTheEntryLine()
{
    QFETCH(qint64, spare);
    QFETCH(bool, stored);
    const QByteArray image(1000, 'q');
    qint64 lineBytes = 0;
    {
        // The line's size, from the file the store writes: its time always has milliseconds.
        QTemporaryDir dir;
        FolderStore store(dir.path(), kPlentyOfBytes);
        QVERIFY(store.open());
        const QByteArray id = store.put(image, u"q.png"_s, "image/png").entry.id;
        lineBytes = QFileInfo(dir.filePath(u"images/"_s + QString::fromLatin1(id))).size() - image.size();
        QVERIFY(lineBytes > 0);
    }
    QTemporaryDir dir;
    FolderStore store(dir.path(), image.size() + lineBytes + spare);
    QVERIFY(store.open());
    const ImageStore::Outcome expected = stored ? ImageStore::Outcome::Stored : ImageStore::Outcome::Full;
    QCOMPARE(store.put(image, u"q.png"_s, "image/png").outcome, expected);
    QVERIFY(store.usedBytes() <= store.maxBytes());
}

void tst_ServiceParts::mimeType_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("mimeType");

    QTest::newRow("png") << encoded(gradient(4, 4, false), "PNG") << QByteArray("image/png");
    QTest::newRow("jpeg") << encoded(gradient(4, 4, false), "JPEG") << QByteArray("image/jpeg");
    QTest::newRow("gif87a") << QByteArray("GIF87a\x01\x00") << QByteArray("image/gif");
    QTest::newRow("gif89a") << QByteArray("GIF89a\x01\x00") << QByteArray("image/gif");
    QTest::newRow("bmp") << encoded(gradient(4, 4, false), "BMP") << QByteArray("image/bmp");
    QTest::newRow("html is no image") << QByteArray("<html><script>") << QByteArray("application/octet-stream");
    QTest::newRow("empty") << QByteArray() << QByteArray("application/octet-stream");
    QTest::newRow("png signature cut short") << QByteArray("\x89PNG\r\n") << QByteArray("application/octet-stream");
}

void tst_ServiceParts::mimeType()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, mimeType);
    QCOMPARE(ImageCodec::mimeTypeOf(bytes), mimeType);
}

void tst_ServiceParts::thumbnail_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("placeholder");

    const QByteArray png = encoded(gradient(640, 480, false), "PNG");
    QTest::newRow("landscape png") << png << QSize(180, 135) << false;
    QTest::newRow("portrait jpeg") << encoded(gradient(300, 900, false), "JPEG") << QSize(60, 180) << false;
    QTest::newRow("small image is not enlarged") << encoded(gradient(50, 40, false), "PNG") << QSize(50, 40) << false;
    QTest::newRow("transparent png") << encoded(gradient(360, 360, true), "PNG") << QSize(180, 180) << false;
    QTest::newRow("no image") << QByteArray("plain text, not a picture") << QSize(180, 180) << true;
    QTest::newRow("empty") << QByteArray() << QSize(180, 180) << true;
    QTest::newRow("png cut in half") << png.left(png.size() / 2) << QSize(180, 180) << true;
    QTest::newRow("png head only") << png.left(40) << QSize(180, 180) << true;
    // Not decoded at all.
    QTest::newRow("png declaring 32700 squared")
        << ServiceTest::pngDeclaring(32700, 32700, false) << QSize(180, 180) << true;
    QTest::newRow("gif declaring 65535 squared") << ServiceTest::gifDeclaring(65535, 65535) << QSize(180, 180) << true;
    QTest::newRow("progressive jpeg declaring 30000 squared")
        << ServiceTest::progressiveJpegDeclaring(30000, 30000) << QSize(180, 180) << true;
    QTest::newRow("svg") << ServiceTest::svgReferring(u"/etc/hostname"_s) << QSize(180, 180) << true;
}

void tst_ServiceParts::thumbnail()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(bool, placeholder);

    const ImageCodec::Thumbnail thumbnail = ImageCodec::thumbnailOf(bytes);
    QCOMPARE(thumbnail.placeholder, placeholder);
    QCOMPARE(ImageCodec::mimeTypeOf(thumbnail.jpeg), QByteArray("image/jpeg"));
    const QImage decoded = QImage::fromData(thumbnail.jpeg);
    QVERIFY(!decoded.isNull());
    QCOMPARE(decoded.size(), size);
}

void tst_ServiceParts::overBudget_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");

    const QImage photo = ServiceTest::photoLike(64, 48, 1);
    const QByteArray jpeg = encoded(photo, "JPEG");
    QTest::newRow("jpeg") << jpeg << QString();
    QTest::newRow("progressive jpeg") << ServiceTest::encoded(photo, "JPEG", 80, true) << QString();
    QTest::newRow("jpeg cut short") << jpeg.left(jpeg.size() / 2) << QString();
    QTest::newRow("jpeg of 32 scans") << ServiceTest::scanBomb(64, 64, 22) << QString();
    QTest::newRow("jpeg of 33 scans") << ServiceTest::scanBomb(64, 64, 23) << u"33 scans"_s;
    QTest::newRow("jpeg of 310 scans") << ServiceTest::scanBomb(2000, 2000, 300) << u"310 scans"_s;
    QTest::newRow("jpeg declaring 30000 squared")
        << ServiceTest::progressiveJpegDeclaring(30000, 30000) << u"30000 by 30000 pixels"_s;

    const QByteArray png = ServiceTest::pngDeclaring(64, 64, true);
    const qsizetype data = png.indexOf("IDAT") - 4;
    QByteArray manyChunks = png.first(data);
    for (int i = 0; i < 9000; ++i)
        manyChunks += ServiceTest::pngChunk("tEXt", QByteArray("k\0v", 3));
    QTest::newRow("png") << png << QString();
    QTest::newRow("png of 9002 chunks") << manyChunks + png.sliced(data) << u"9002 chunks"_s;
    QTest::newRow("png declaring 32700 squared")
        << ServiceTest::pngDeclaring(32700, 32700, false) << u"32700 by 32700 pixels"_s;
    QTest::newRow("png without its header") << png.first(8) + png.sliced(data) << u"no header"_s;

    const QByteArray gif = ServiceTest::gifDeclaring(20, 20);
    QByteArray gifOffScreen = gif;
    gifOffScreen.replace(20, 4, "\x60\xea\x60\xea"); // the picture at 60000, 60000 on a screen of 20 by 20
    QTest::newRow("gif") << gif << QString();
    QTest::newRow("gif declaring 65535 squared")
        << ServiceTest::gifDeclaring(65535, 65535) << u"65535 by 65535 pixels"_s;
    QTest::newRow("gif drawn far off its screen") << gifOffScreen << u"60020 by 60020 pixels"_s;
    QTest::newRow("gif without a picture") << gif.first(19) + ';' << u"no picture"_s;

    const QByteArray bmp = encoded(gradient(20, 10, false), "BMP");
    // Its header's numbers at these places replaced.
    const auto patched = [&bmp](std::initializer_list<std::pair<qsizetype, qint32>> numbers) {
        QByteArray bytes = bmp;
        for (const auto& [at, value] : numbers) {
            for (int i = 0; i < 4; ++i)
                bytes[at + i] = char((quint32(value) >> (8 * i)) & 0xff);
        }
        return bytes;
    };
    QTest::newRow("bmp") << bmp << QString();
    QTest::newRow("bmp from the top down") << patched({ { 22, -10 } }) << QString();
    QTest::newRow("bmp declaring 100000 squared")
        << patched({ { 18, 100000 }, { 22, 100000 } }) << u"100000 by 100000 pixels"_s;
    QTest::newRow("bmp holding a jpeg") << patched({ { 30, 4 } }) << u"compression 4"_s;

    QTest::newRow("text") << QByteArray("plain text") << u"not a PNG, JPEG, GIF or BMP"_s;
    QTest::newRow("svg") << ServiceTest::svgReferring(u"/etc/hostname"_s) << u"not a PNG, JPEG, GIF or BMP"_s;
}

void tst_ServiceParts::overBudget()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    QCOMPARE(ImageCodec::overBudget(bytes), why);
    if (why.isEmpty())
        QVERIFY(!ImageCodec::thumbnailOf(bytes).placeholder);
}

// Whose share of the decoders a request takes: an IPv6 home picks any address in its /64.
void tst_ServiceParts::thumbnailClient_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QByteArray>("client");

    QTest::newRow("ipv4") << u"203.0.113.7"_s << QByteArray("203.0.113.7");
    QTest::newRow("ipv4 mapped into ipv6") << u"::ffff:203.0.113.7"_s << QByteArray("203.0.113.7");
    QTest::newRow("ipv6") << u"2001:db8:1:2:3:4:5:6"_s << QByteArray("2001:db8:1:2::/64");
    QTest::newRow("ipv6, same /64") << u"2001:db8:1:2:ffff::1"_s << QByteArray("2001:db8:1:2::/64");
    QTest::newRow("ipv6, next /64") << u"2001:db8:1:3::1"_s << QByteArray("2001:db8:1:3::/64");
    QTest::newRow("ipv6 loopback") << u"::1"_s << QByteArray("::/64");
}

void tst_ServiceParts::thumbnailClient()
{
    QFETCH(QString, peer);
    QFETCH(QByteArray, client);
    QCOMPARE(ThumbnailMaker::clientOf(QHostAddress(peer)), client);
}

void tst_ServiceParts::requestHead_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<qint64>("bodyLength");
    QTest::addColumn<bool>("closes");

    const QByteArray host = "Host: localhost\r\n";
    const auto row = [](const char* name, const QByteArray& head, int refusal, const QByteArray& path = "/",
                        qint64 bodyLength = 0, bool closes = false) {
        QTest::newRow(name) << head << refusal << path << bodyLength << closes;
    };

    row("uploader's post", "POST /? HTTP/1.0\r\n" + host + "Content-Length: 5\r\n\r\n", 0, "/", 5, true);
    row("browser's get", "GET /i/k3x9pq2mzt/a%20b.png?x=1 HTTP/1.1\r\n" + host + "Accept: */*\r\n\r\n", 0,
        "/i/k3x9pq2mzt/a b.png");
    row("absolute target", "GET http://localhost/view/abc HTTP/1.1\r\n" + host + "\r\n", 0, "/view/abc");
    row("an id made a path stays one segment", "GET /i/..%2flock/a HTTP/1.1\r\n" + host + "\r\n", 0, "/i/../lock/a");
    row("HTTP/1.0 asking to keep the connection", "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 0, "/", 0, true);
    row("HTTP/1.1 asking to close", "GET / HTTP/1.1\r\n" + host + "Connection: keep-alive, Close\r\n\r\n", 0, "/", 0,
        true);
    row("expect continue from HTTP/1.0, already sending",
        "POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", 0, "/", 5, true);

    // Not read as a request at all.
    row("garbage", "GARBAGE\r\n\r\n", 400);
    row("no version", "GET /\r\n\r\n", 400);
    row("version in small letters", "GET / http/1.1\r\n" + host + "\r\n", 400);
    row("two spaces", "GET  / HTTP/1.1\r\n" + host + "\r\n", 400);
    row("target without a slash", "GET index.html HTTP/1.1\r\n" + host + "\r\n", 400);
    row("control character in the target", "GET /\x01 HTTP/1.1\r\n" + host + "\r\n", 400);
    row("HTTP/0.9", "GET / HTTP/0.9\r\n\r\n", 505);
    row("HTTP/9.9", "GET / HTTP/9.9\r\n" + host + "\r\n", 505);
    row("HTTP/2.0", "GET / HTTP/2.0\r\n" + host + "\r\n", 505);
    row("bare line feed", "GET / HTTP/1.1\n" + host + "\r\n", 400);
    row("bare carriage return", "GET / HTTP/1.1\r\nX: a\rb\r\n" + host + "\r\n", 400);
    row("no Host in HTTP/1.1", "GET / HTTP/1.1\r\n\r\n", 400);
    row("two Hosts", "GET / HTTP/1.1\r\n" + host + host + "\r\n", 400);
    row("space before the colon", "GET / HTTP/1.1\r\n" + host + "Content-Length : 5\r\n\r\n", 400);
    row("nul in a value", "GET / HTTP/1.1\r\n" + host + "X: a\0b\r\n\r\n"_ba, 400);

    // Framing that two readers could take differently.
    row("folded Transfer-Encoding",
        "POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: identity\r\n ,chunked\r\nContent-Length: 5\r\n\r\n", 400);
    row("folded with a tab", "GET / HTTP/1.1\r\n" + host + "X-A: 1\r\n\t2\r\n\r\n", 400);
    row("two equal lengths", "POST / HTTP/1.1\r\n" + host + "Content-Length: 5\r\nContent-Length: 5\r\n\r\n", 400);
    row("two lengths", "POST / HTTP/1.1\r\n" + host + "Content-Length: 3\r\ncontent-length: 4\r\n\r\n", 400);
    row("length and chunks", "POST / HTTP/1.1\r\n" + host + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
        400);
    row("length that is no number", "POST / HTTP/1.1\r\n" + host + "Content-Length: 12abc\r\n\r\n", 400);
    row("length with a sign", "POST / HTTP/1.1\r\n" + host + "Content-Length: +5\r\n\r\n", 400);
    row("chunked body", "POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", 411);
    row("post without a length", "POST / HTTP/1.0\r\n\r\n", 411);
    row("body too large", "POST / HTTP/1.1\r\n" + host + "Content-Length: 1001\r\n\r\n", 413);
    row("length beyond any number", "POST / HTTP/1.1\r\n" + host + "Content-Length: 99999999999999999999\r\n\r\n", 413);
    row("largest body allowed", "POST / HTTP/1.1\r\n" + host + "Content-Length: 1000\r\n\r\n", 0, "/", 1000);
    row("other expectation", "POST / HTTP/1.1\r\n" + host + "Expect: miracles\r\nContent-Length: 5\r\n\r\n", 417);
    row("target too long", "GET /" + QByteArray(HttpHead::kMaxTargetBytes, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414);
    QByteArray many = "GET / HTTP/1.1\r\n" + host;
    for (int i = 0; i < HttpHead::kMaxHeaderLines; ++i)
        many += "X: " + QByteArray::number(i) + "\r\n";
    row("too many header lines", many + "\r\n", 431);
}

void tst_ServiceParts::requestHead()
{
    QFETCH(QByteArray, head);
    QFETCH(int, refusal);
    QFETCH(QByteArray, path);
    QFETCH(qint64, bodyLength);
    QFETCH(bool, closes);

    const HttpHead parsed = HttpHead::parse(head, 1000);
    QCOMPARE(parsed.refusal, refusal);
    if (refusal != 0)
        return;
    QCOMPARE(parsed.request.path, path);
    QCOMPARE(parsed.bodyLength, bodyLength);
    QCOMPARE(parsed.closeAfterAnswer, closes);
}

void tst_ServiceParts::expectContinue()
{
    const HttpHead head =
        HttpHead::parse("POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n", 1000);
    QCOMPARE(head.refusal, 0);
    QVERIFY(head.expectsContinue);
    QCOMPARE(head.request.header("expect"), QByteArray("100-Continue"));
}

QTEST_GUILESS_MAIN(tst_ServiceParts)
#include "tst_ServiceParts.moc"
