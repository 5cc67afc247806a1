#include "ImageCodec.h"
#include "ImageStore.h"
#include "RequestFramer.h"

#include <QBuffer>
#include <QImage>
#include <QSet>
#include <QtTest>

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
    void storeEvictsOldestByCount();
    void storeEvictsOldestByBytes();
    void storeCountsThumbnails();
    void storeRefusesWhatCanNeverFit();

    void mimeType_data();
    void mimeType();
    void thumbnail_data();
    void thumbnail();

    void framer_data();
    void framer();
};

void tst_ServiceParts::storeEvictsOldestByCount()
{
    ImageStore store(3, 1'000'000);
    QList<QByteArray> ids;
    for (int i = 0; i < 5; ++i)
        ids.append(store.add(QByteArray(10, char('a' + i)), QStringLiteral("n%1").arg(i)));

    QCOMPARE(QSet<QByteArray>(ids.begin(), ids.end()).size(), 5);
    QCOMPARE(store.count(), 3);
    QCOMPARE(store.totalBytes(), 30);
    QVERIFY(!store.find(ids[0]));
    QVERIFY(!store.find(ids[1]));
    for (int i = 2; i < 5; ++i) {
        const auto image = store.find(ids[i]);
        QVERIFY(image);
        QCOMPARE(image->bytes, QByteArray(10, char('a' + i)));
        QCOMPARE(image->name, QStringLiteral("n%1").arg(i));
    }
}

void tst_ServiceParts::storeEvictsOldestByBytes()
{
    ImageStore store(100, 250);
    const QByteArray first = store.add(QByteArray(100, 'x'), QStringLiteral("first"));
    const QByteArray second = store.add(QByteArray(100, 'y'), QStringLiteral("second"));
    const QByteArray third = store.add(QByteArray(100, 'z'), QStringLiteral("third"));

    QVERIFY(!store.find(first));
    QVERIFY(store.find(second));
    QVERIFY(store.find(third));
    QCOMPARE(store.totalBytes(), 200);

    // One large image pushes out everything older.
    const QByteArray large = store.add(QByteArray(250, 'w'), QStringLiteral("large"));
    QCOMPARE(store.count(), 1);
    QVERIFY(store.find(large));
    QCOMPARE(store.totalBytes(), 250);
}

void tst_ServiceParts::storeCountsThumbnails()
{
    ImageStore store(100, 300);
    const QByteArray older = store.add(QByteArray(100, 'a'), QStringLiteral("older"));
    const QByteArray newer = store.add(QByteArray(150, 'b'), QStringLiteral("newer"));

    // The thumbnail needs room: the older image goes, never the one it belongs to.
    store.setThumbnail(newer, QByteArray(100, 't'), "image/jpeg");
    QVERIFY(!store.find(older));
    QCOMPARE(store.find(newer)->thumbnail.size(), 100);
    QCOMPARE(store.find(newer)->thumbnailType, QByteArray("image/jpeg"));
    QCOMPARE(store.totalBytes(), 250);

    // Too large to keep even alone: the image stays, the thumbnail is not kept.
    store.setThumbnail(newer, QByteArray(200, 't'), "image/jpeg");
    QCOMPARE(store.totalBytes(), 250);
    QVERIFY(store.totalBytes() <= store.maxBytes());
}

void tst_ServiceParts::storeRefusesWhatCanNeverFit()
{
    ImageStore store(10, 100);
    const QByteArray kept = store.add(QByteArray(60, 'k'), QStringLiteral("kept"));
    QVERIFY(store.add(QByteArray(101, 'x'), QStringLiteral("huge")).isEmpty());
    QVERIFY(store.find(kept));
    QCOMPARE(store.count(), 1);
    QVERIFY(!store.find(QByteArray("no-such-id")));
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
    using V = RequestFramer::Verdict;
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QList<V>>("verdicts");
    QTest::addColumn<QByteArray>("method");

    const QByteArray post = "POST /? HTTP/1.0\r\nHost: localhost\r\nContent-Length: 5\r\n\r\n";
    const QByteArray get = "GET /i/abc HTTP/1.1\r\nHost: localhost\r\n\r\n";

    QTest::newRow("post then get, in one piece")
        << QByteArrayList{ post + "hello" + get } << QList<V>{ V::Pass } << QByteArray("GET");
    QTest::newRow("head split across pieces, CR LF split too")
        << QByteArrayList{ post.left(10), post.mid(10, post.size() - 12), post.right(2), "hel", "lo" }
        << QList<V>{ V::Pass, V::Pass, V::Pass, V::Pass, V::Pass } << QByteArray("POST");
    QTest::newRow("a body holding a blank line is no head")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 8\r\n\r\n", "\r\n\r\nab\r\n", get }
        << QList<V>{ V::Pass, V::Pass, V::Pass } << QByteArray("GET");
    QTest::newRow("blank lines between requests") << QByteArrayList{ "\r\n\r\n" + get, "\r\n", get }
                                                  << QList<V>{ V::Pass, V::Pass, V::Pass } << QByteArray("GET");
    QTest::newRow("bare line feeds") << QByteArrayList{ "GET / HTTP/1.1\nHost: a\n\n" } << QList<V>{ V::Pass }
                                     << QByteArray("GET");
    QTest::newRow("largest body allowed")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" } << QList<V>{ V::Pass }
        << QByteArray("POST");
    QTest::newRow("body too large, refused before it arrives")
        << QByteArrayList{ "POST /? HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", "more", get }
        << QList<V>{ V::BodyTooLarge, V::BodyTooLarge, V::BodyTooLarge } << QByteArray("POST");
    QTest::newRow("length beyond any number")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n" }
        << QList<V>{ V::BodyTooLarge } << QByteArray("POST");
    QTest::newRow("second request too large")
        << QByteArrayList{ post + "hello", "PUT /x HTTP/1.1\r\ncontent-length:  5000\r\n\r\n" }
        << QList<V>{ V::Pass, V::BodyTooLarge } << QByteArray("PUT");
    QTest::newRow("length that is no number")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n" } << QList<V>{ V::BadRequest }
        << QByteArray("POST");
    QTest::newRow("two different lengths")
        << QByteArrayList{ "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n" }
        << QList<V>{ V::BadRequest } << QByteArray("POST");
    QTest::newRow("chunked body") << QByteArrayList{ "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" }
                                  << QList<V>{ V::LengthRequired } << QByteArray("POST");
    QTest::newRow("endless head") << QByteArrayList{ "GET / HTTP/1.1\r\nX: " + QByteArray(100, 'a'),
                                                     QByteArray(100, 'b') }
                                  << QList<V>{ V::Pass, V::HeadTooLarge } << QByteArray("GET");
    QTest::newRow("expect continue")
        << QByteArrayList{ "POST / HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n", "hello" }
        << QList<V>{ V::ExpectContinue, V::Pass } << QByteArray("POST");
    QTest::newRow("expect continue, body already sent")
        << QByteArrayList{ "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nhello" }
        << QList<V>{ V::Pass } << QByteArray("POST");
    QTest::newRow("expect continue from HTTP/1.0")
        << QByteArrayList{ "POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n" }
        << QList<V>{ V::Pass } << QByteArray("POST");
}

void tst_ServiceParts::framer()
{
    using V = RequestFramer::Verdict;
    QFETCH(QByteArrayList, pieces);
    QFETCH(QList<V>, verdicts);
    QFETCH(QByteArray, method);

    RequestFramer framer(150, 1000);
    for (qsizetype i = 0; i < pieces.size(); ++i)
        QCOMPARE(framer.feed(pieces[i]), verdicts[i]);
    QCOMPARE(framer.method(), method);
}

QTEST_GUILESS_MAIN(tst_ServiceParts)
#include "tst_ServiceParts.moc"
