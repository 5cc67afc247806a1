// What one hostile client can do to a real service process: uploads whose
// thumbnails would take gigabytes or read the server's files, requests that
// two readers of HTTP could take differently, heads that hold connections,
// names that break links. Memory is read from /proc, never guessed from time.

#include "ServiceProcess.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

// The service itself takes some 20 MiB; a bomb decoded in it took gigabytes.
constexpr qint64 kMaxPeakKiB = 150 * 1024;

QString thumbnailLink(const QStringList& texts)
{
    return texts.value(1).section(u"[img]"_s, 1).section(u"[/img]"_s, 0, 0);
}

} // namespace

class tst_ServiceAttacks : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void thumbnailBombs_data();
    void thumbnailBombs();
    void slowThumbnailHoldsNobodyUp();
    void requestsReadOneWay_data();
    void requestsReadOneWay();
    void idleHeadsLockNobodyOut();
    void namesThatBreakLinks_data();
    void namesThatBreakLinks();
    void pagesRunNoScript();

private:
    // The eight links of an upload of these bytes under this name, or none.
    QStringList upload(const QString& name, const QByteArray& bytes);

    QTemporaryDir m_files;
    QTemporaryDir m_data;
    std::unique_ptr<Service> m_service;
};

void tst_ServiceAttacks::init()
{
    m_service = std::make_unique<Service>();
    QCOMPARE(m_service->start(m_data.path(), { u"--max-per-address"_s, u"8"_s }), QString());
}

QStringList tst_ServiceAttacks::upload(const QString& name, const QByteArray& bytes)
{
    return textsOf(exchange(m_service->port(), uploaderRequest(m_files, name, bytes).value(0)));
}

void tst_ServiceAttacks::thumbnailBombs_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("decoded"); // a thumbnail of its own, not the placeholder

    QTest::newRow("png declaring 32700 squared") << pngDeclaring(32700, 32700, false) << false;
    QTest::newRow("gif declaring 65535 squared") << gifDeclaring(65535, 65535) << false;
    QTest::newRow("progressive jpeg declaring 30000 squared") << progressiveJpegDeclaring(30000, 30000) << false;
    QTest::newRow("progressive jpeg declaring 7000 squared") << progressiveJpegDeclaring(7000, 7000) << true;
    // Within the pixel budget: decoded, in a process of its own.
    QTest::newRow("png of 7000 squared zeros") << pngDeclaring(7000, 7000, true) << true;
    QTest::newRow("svg reading a file of the server") << svgReferring(m_data.filePath(u"lock"_s)) << false;
}

void tst_ServiceAttacks::thumbnailBombs()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, decoded);
    if (decoded && !kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    const QStringList texts = upload(u"bomb"_s, bytes);
    QCOMPARE(texts.size(), 8);
    const QByteArray made = fetch(m_service->port(), thumbnailLink(texts));
    QVERIFY(QImage::fromData(made).size() == QSize(180, 180) || decoded);
    const QByteArray placeholder = fetch(m_service->port(), thumbnailLink(upload(u"t"_s, "text")));
    QCOMPARE(made == placeholder, !decoded);
    // Kept once made: the same bytes again, without another decoding.
    QCOMPARE(fetch(m_service->port(), thumbnailLink(texts)), made);

    const qint64 peak = m_service->peakMemoryKiB();
    QVERIFY(peak > 0);
    QVERIFY2(peak < kMaxPeakKiB, qPrintable(u"peak %1 KiB"_s.arg(peak)));
    qInfo("%s: %s, the service's peak memory %lld KiB", QTest::currentDataTag(),
          decoded ? "thumbnail made" : "placeholder", peak);
}

// A thumbnail that takes long to make keeps only its own request waiting.
void tst_ServiceAttacks::slowThumbnailHoldsNobodyUp()
{
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    const QStringList texts = upload(u"zeros.png"_s, pngDeclaring(7000, 7000, true));
    QCOMPARE(texts.size(), 8);
    RawClient thumbnail(m_service->port(),
                        "GET /" + thumbnailLink(texts).section(u'/', 3).toUtf8() + " HTTP/1.0\r\n\r\n");
    RawClient home(m_service->port(), "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(home.closed(), kWaitMs);
    QVERIFY(home.received.startsWith("HTTP/1.1 200 "));
    QVERIFY(thumbnail.received.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(thumbnail.closed(), kWaitMs);
    QVERIFY(thumbnail.received.startsWith("HTTP/1.1 200 "));
}

void tst_ServiceAttacks::requestsReadOneWay_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    const QByteArray post = "POST / HTTP/1.1\r\nHost: a\r\nContent-Type: multipart/form-data; boundary=b\r\n";
    QTest::newRow("garbage") << QByteArray("GARBAGE\r\n\r\n") << QByteArray("400");
    QTest::newRow("request line without a version") << QByteArray("GET /\r\n\r\n") << QByteArray("400");
    QTest::newRow("HTTP/0.9") << QByteArray("GET / HTTP/0.9\r\n\r\n") << QByteArray("505");
    QTest::newRow("HTTP/9.9") << QByteArray("GET / HTTP/9.9\r\nHost: a\r\n\r\n") << QByteArray("505");
    // Its body would be read in chunks by one reader and not by the other.
    QTest::newRow("folded Transfer-Encoding")
        << post + "Transfer-Encoding: identity\r\n ,chunked\r\nContent-Length: 10\r\n\r\n5\r\nhello\r\n0\r\n\r\n"
        << QByteArray("400");
    QTest::newRow("two lengths") << post + "Content-Length: 10\r\nContent-Length: 5\r\n\r\nhello" << QByteArray("400");
    QTest::newRow("length and chunks") << post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\nhello"
                                       << QByteArray("400");
}

void tst_ServiceAttacks::requestsReadOneWay()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    const QByteArray answer = exchange(m_service->port(), request);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + ' '), answer.left(60).constData());
    // Answered once, and nothing after.
    const qsizetype bodyStart = answer.indexOf("\r\n\r\n") + 4;
    const qsizetype length = answer.indexOf("\r\nContent-Length: ") + 18;
    QCOMPARE(answer.size() - bodyStart, answer.mid(length, answer.indexOf('\r', length) - length).toLongLong());
    QVERIFY(answer.endsWith("</html>"));
}

// Connections that send an upload's head and never its body are let go soon,
// and one address holds no more than its share meanwhile.
void tst_ServiceAttacks::idleHeadsLockNobodyOut()
{
    const QByteArray head = "POST / HTTP/1.1\r\nHost: a\r\nContent-Type: multipart/form-data, boundary=b\r\n"
                            "Content-Length: 4000000\r\n\r\n";
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(std::make_unique<RawClient>(m_service->port(), head, QHostAddress(u"127.0.0.2"_s)));
    QTRY_VERIFY_WITH_TIMEOUT(std::count_if(idle.begin(), idle.end(), [](const auto& c) { return c->closed(); }) >= 12,
                             kWaitMs);

    RawClient normal(m_service->port(), uploaderRequest(m_files, u"normal.png"_s, pngBytes(64, 64))[0],
                     QHostAddress(u"127.0.0.3"_s));
    QTRY_VERIFY_WITH_TIMEOUT(normal.hasPageEnd(), kWaitMs);
    QCOMPARE(textsOf(normal.received).size(), 8);

    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(idle.begin(), idle.end(), [](const auto& c) { return c->closed(); }), kWaitMs);
    const auto answered = [&](const QByteArray& status) {
        return std::count_if(idle.begin(), idle.end(),
                             [&](const auto& c) { return c->received.startsWith("HTTP/1.1 " + status + ' '); });
    };
    QCOMPARE(answered("503"), 12);
    QCOMPARE(answered("408"), 8);
}

void tst_ServiceAttacks::namesThatBreakLinks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("linkName");

    QTest::newRow("dot dot") << u".."_s << u"image"_s;
    QTest::newRow("dot") << u"."_s << u"image"_s;
    QTest::newRow("right-to-left override") << u"cat\u202Egnp.exe"_s << u"catgnp.exe"_s;
}

void tst_ServiceAttacks::namesThatBreakLinks()
{
    QFETCH(QString, name);
    QFETCH(QString, linkName);
    const QByteArray image = pngBytes(20, 20);
    const QByteArrayList request = uploaderRequest(m_files, u"n.png"_s, image);
    QByteArray bytes = request.value(0);
    // The uploader names a file by its own name; a browser or a script may send any.
    bytes.replace("filename=\"n.png\"", "filename=\"" + name.toUtf8() + '"');
    bytes.replace("Content-Length: ", "X-Was: ");
    const qsizetype bodyStart = bytes.indexOf("\r\n\r\n") + 4;
    bytes.insert(bodyStart - 2, "Content-Length: " + QByteArray::number(bytes.size() - bodyStart) + "\r\n");
    const QStringList texts = textsOf(exchange(m_service->port(), bytes));
    QCOMPARE(texts.size(), 8);
    QVERIFY2(texts[7].endsWith(u'/' + linkName), qPrintable(texts[7]));
    QCOMPARE(fetch(m_service->port(), texts[7]), image);
}

void tst_ServiceAttacks::pagesRunNoScript()
{
    const QByteArray answer = exchange(m_service->port(), uploaderRequest(m_files, u"p.png"_s, pngBytes(8, 8))[0]);
    const QByteArray head = answer.left(answer.indexOf("\r\n\r\n") + 2);
    QVERIFY2(head.contains("\r\nContent-Security-Policy: default-src 'none'; img-src 'self';"), head.constData());
    QVERIFY(head.contains("frame-ancestors 'none'"));
    QVERIFY(head.contains("\r\nX-Frame-Options: DENY\r\n"));
    QVERIFY(!answer.contains("<script") && !answer.contains("onclick"));
    QCOMPARE(textsOf(answer).size(), 8);
}

QTEST_GUILESS_MAIN(tst_ServiceAttacks)
#include "tst_ServiceAttacks.moc"
