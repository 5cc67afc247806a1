#include "FolderStore.h"
#include "ImageCodec.h"
#include "RequestFramer.h"
#include "ServiceTestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

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

    void mimeType_data();
    void mimeType();
    void thumbnail_data();
    void thumbnail();

    void framer_data();
    void framer();
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
    QCOMPARE(file.readAll(), "{\"name\":\"caf\xc3\xa9 \\\"1\\\".gif\",\"size\":6,\"time\":\""
                                 + entry.time.toString(Qt::ISODateWithMs).toLatin1()
                                 + "\",\"type\":\"image/gif\"}\nGIF89a");
    QCOMPARE(store.usedBytes(), file.size());

    const std::optional<ImageStore::Image> image = store.get(entry.id);
    QVERIFY(image);
    QCOMPARE(image->bytes, QByteArray("GIF89a"));
    QCOMPARE(image->entry.name, entry.name);
    QCOMPARE(image->entry.type, QByteArray("image/gif"));
    QCOMPARE(image->entry.size, 6);
    QCOMPARE(image->entry.time, entry.time);
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
        const std::optional<ImageStore::Image> image = store.get(ids[i]);
        QVERIFY(image);
        QCOMPARE(image->bytes, QByteArray(100 * (i + 1), char('a' + i)));
        QCOMPARE(image->entry.name, u"n%1"_s.arg(i));
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
    QCOMPARE(store.get(first.entry.id)->bytes, QByteArray(600, 'f'));
    // What still fits is taken.
    QCOMPARE(store.put(QByteArray(200, 't'), u"third"_s, "image/png").outcome, ImageStore::Outcome::Stored);
    QVERIFY(store.usedBytes() <= store.maxBytes());
}

void tst_ServiceParts::storeServesNoBrokenEntry_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("file"); // written as that id's file; none if empty

    const QByteArray line = "{\"name\":\"a.png\",\"size\":10,\"time\":\"2025-05-20T14:03:01.250Z\",\"type\":\"image/png\"}\n";
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
    QVERIFY(!store.get(id));
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
    QTest::newRow("small image is not enlarged") << encoded(gradient(50, 40, false), "PNG") << QSize(50, 40)
                                                 << false;
    QTest::newRow("transparent png") << encoded(gradient(360, 360, true), "PNG") << QSize(180, 180) << false;
    QTest::newRow("no image") << QByteArray("plain text, not a picture") << QSize(180, 180) << true;
    QTest::newRow("empty") << QByteArray() << QSize(180, 180) << true;
    QTest::newRow("png cut in half") << png.left(png.size() / 2) << QSize(180, 180) << true;
    QTest::newRow("png head only") << png.left(40) << QSize(180, 180) << true;
}

void tst_ServiceParts::thumbnail()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(bool, placeholder);

    const ImageCodec::Thumbnail thumbnail = ImageCodec::thumbnailOf(bytes);
    QCOMPARE(thumbnail.placeholder, placeholder);
    QCOMPARE(thumbnail.mimeType, QByteArray("image/jpeg"));
    QCOMPARE(ImageCodec::mimeTypeOf(thumbnail.bytes), thumbnail.mimeType);
    const QImage decoded = QImage::fromData(thumbnail.bytes);
    QVERIFY(!decoded.isNull());
    QCOMPARE(decoded.size(), size);
}

void tst_ServiceParts::framer_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QList<int>>("verdicts"); // 0: pass
    QTest::addColumn<QByteArray>("method");
    // How each whole request's answer ends, oldest first.
    QTest::addColumn<QByteArrayList>("answers");

    const QByteArray post = "POST /? HTTP/1.0\r\nHost: localhost\r\nContent-Length: 5\r\n\r\n";
    const QByteArray get = "GET /i/abc HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const QByteArrayList none;

    QTest::newRow("uploader's post then get, in one piece")
        << QByteArrayList{ post + "hello" + get } << QList<int>{ 0 } << QByteArray("GET")
        << QByteArrayList{ "close", "keep" };
    QTest::newRow("head split across pieces, CR LF split too")
        << QByteArrayList{ post.left(10), post.mid(10, post.size() - 12), post.right(2), "hel", "lo" }
        << QList<int>{ 0, 0, 0, 0, 0 } << QByteArray("POST")
        << QByteArrayList{ "close" };
    QTest::newRow("a body holding a blank line is no head")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 8\r\n\r\n", "\r\n\r\nab\r\n", get }
        << QList<int>{ 0, 0, 0 } << QByteArray("GET") << QByteArrayList{ "keep", "keep" };
    QTest::newRow("blank lines between requests")
        << QByteArrayList{ "\r\n\r\n" + get, "\r\n", get } << QList<int>{ 0, 0, 0 }
        << QByteArray("GET") << QByteArrayList{ "keep", "keep" };
    QTest::newRow("bare line feeds") << QByteArrayList{ "GET / HTTP/1.1\nHost: a\n\n" } << QList<int>{ 0 }
                                     << QByteArray("GET") << QByteArrayList{ "keep" };
    QTest::newRow("HTTP/1.0 asking to keep the connection")
        << QByteArrayList{ "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n" } << QList<int>{ 0 }
        << QByteArray("GET") << QByteArrayList{ "close" };
    QTest::newRow("HTTP/1.1 asking to close")
        << QByteArrayList{ "GET / HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n" } << QList<int>{ 0 }
        << QByteArray("GET") << QByteArrayList{ "close" };
    QTest::newRow("largest body allowed, not all there")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" } << QList<int>{ 0 }
        << QByteArray("POST") << none;
    QTest::newRow("body too large, refused before it arrives")
        << QByteArrayList{ "POST /? HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", "more", get }
        << QList<int>{ 413, 413, 413 } << QByteArray("POST") << none;
    QTest::newRow("length beyond any number")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n" }
        << QList<int>{ 413 } << QByteArray("POST") << none;
    QTest::newRow("second request too large")
        << QByteArrayList{ post + "hello", "PUT /x HTTP/1.1\r\ncontent-length:  5000\r\n\r\n" }
        << QList<int>{ 0, 413 } << QByteArray("PUT") << QByteArrayList{ "close" };
    QTest::newRow("length that is no number")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n" } << QList<int>{ 400 }
        << QByteArray("POST") << none;
    QTest::newRow("two different lengths")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n" }
        << QList<int>{ 400 } << QByteArray("POST") << none;
    QTest::newRow("chunked body") << QByteArrayList{ "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" }
                                  << QList<int>{ 411 } << QByteArray("POST") << none;
    QTest::newRow("post without a length") << QByteArrayList{ "POST / HTTP/1.0\r\n\r\nbody" }
                                           << QList<int>{ 411 } << QByteArray("POST") << none;
    QTest::newRow("endless head") << QByteArrayList{ "GET / HTTP/1.1\r\nX: " + QByteArray(100, 'a'),
                                                     QByteArray(100, 'b') }
                                  << QList<int>{ 0, 431 } << QByteArray("GET") << none;
    QTest::newRow("expect continue")
        << QByteArrayList{ "POST / HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n", "hello" }
        << QList<int>{ 100, 0 } << QByteArray("POST") << QByteArrayList{ "keep" };
    QTest::newRow("expect continue, body already sent")
        << QByteArrayList{ "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nhello" }
        << QList<int>{ 0 } << QByteArray("POST") << QByteArrayList{ "keep" };
    QTest::newRow("expect continue from HTTP/1.0")
        << QByteArrayList{ "POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n" }
        << QList<int>{ 0 } << QByteArray("POST") << none;
}

void tst_ServiceParts::framer()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QList<int>, verdicts);
    QFETCH(QByteArray, method);
    QFETCH(QByteArrayList, answers);

    RequestFramer framer(150, 1000);
    for (qsizetype i = 0; i < pieces.size(); ++i)
        QCOMPARE(framer.feed(pieces[i]), verdicts[i]);
    QCOMPARE(framer.method(), method);
    QByteArrayList taken;
    for (qsizetype i = 0; i < answers.size(); ++i)
        taken.append(framer.takeClosesAfterAnswer() ? "close" : "keep");
    QCOMPARE(taken, answers);
}

QTEST_GUILESS_MAIN(tst_ServiceParts)
#include "tst_ServiceParts.moc"
