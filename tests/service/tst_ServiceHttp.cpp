#include "ImageService.h"
#include "modTarnwick.h"

#include <QBuffer>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <string>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 15000;

QByteArray pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x * y) % 256));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray bytesOf(const std::string& text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

// A raw connection that sends what it is given and collects everything that comes back.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    bool hasPageEnd() const { return received.toLower().contains("</html>"); }
};

QString serviceHost()
{
    return QString::fromStdString(std::string(modTarnwick::kServiceHost)).toLower();
}

// Fetched over loopback whatever host name the link carries.
QString onLoopback(QString link, quint16 port)
{
    const QString authority = u"//"_s + link.section(u'/', 2, 2);
    return link.replace(link.indexOf(authority), authority.size(), u"//127.0.0.1:"_s + QString::number(port));
}

QStringList textsOf(const QByteArray& page)
{
    QStringList texts;
    for (const std::string& link : modTarnwick::ParseResultPage(page.toStdString()))
        texts.append(QString::fromStdString(link));
    return texts;
}

} // namespace

class tst_ServiceHttp : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void socketUploadRoundTrip_data();
    void socketUploadRoundTrip();
    void httpClientUpload();
    void badUploadGetsPageWithoutLinks();
    void hugeBodyRefusedEarly();
    void expectContinueAnswered();
    void unknownIdsAndMethods_data();
    void unknownIdsAndMethods();

private:
    std::unique_ptr<QNetworkReply> get(const QString& url);

    std::unique_ptr<ImageService> m_service;
    std::unique_ptr<QSignalSpy> m_log;
    QNetworkAccessManager m_network;
    QTemporaryDir m_dir;
};

void tst_ServiceHttp::init()
{
    QVERIFY(m_dir.isValid());
    GuardedTcpServer::Limits limits;
    limits.refusedLingerMs = 100;
    m_service = std::make_unique<ImageService>(nullptr, limits);
    QVERIFY2(m_service->start(0), qPrintable(m_service->errorString()));
    QVERIFY(m_service->port() != 0);
    m_log = std::make_unique<QSignalSpy>(m_service.get(), &ImageService::requestLogged);
    m_network.setProxy(QNetworkProxy::NoProxy);
}

void tst_ServiceHttp::cleanup()
{
    m_log.reset();
    m_service.reset();
    m_network.clearConnectionCache();
}

std::unique_ptr<QNetworkReply> tst_ServiceHttp::get(const QString& url)
{
    std::unique_ptr<QNetworkReply> reply(m_network.get(QNetworkRequest(QUrl(url))));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, kWaitMs))
        qWarning("no answer from %s", qPrintable(url));
    return reply;
}

void tst_ServiceHttp::socketUploadRoundTrip_data()
{
    QTest::addColumn<QByteArray>("image");

    QTest::newRow("small png") << pngBytes(640, 480);
    QByteArray largest = pngBytes(32, 32);
    largest.append(QByteArray(3145727 - largest.size(), '\x7f'));
    QTest::newRow("3145727 bytes") << largest;
}

// The uploader's own request bytes, HTTP/1.0, over a plain socket.
void tst_ServiceHttp::socketUploadRoundTrip()
{
    QFETCH(QByteArray, image);
    const QString path = m_dir.filePath(u"round trip.png"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();

    const modTarnwick::UploadRequest request = modTarnwick::BuildUploadRequest(path.toStdString(), 1, false);
    QCOMPARE(request.size(), size_t(1));
    QVERIFY(bytesOf(request[0]).startsWith("POST /? HTTP/1.0\r\n"));

    RawClient client(m_service->port());
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::ConnectedState, kWaitMs);
    client.socket.write(bytesOf(request[0]));
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.startsWith("HTTP/1.1 200 "));
    QVERIFY(client.received.endsWith("</html>"));

    const QStringList texts = textsOf(client.received);
    QCOMPARE(texts.size(), 8);
    const QString base = u"http://"_s + serviceHost() + u':' + QString::number(m_service->port()) + u'/';
    for (const QString& slot : texts)
        QVERIFY2(slot.contains(base), qPrintable(slot));

    auto direct = get(onLoopback(texts[7], m_service->port()));
    QCOMPARE(direct->error(), QNetworkReply::NoError);
    QCOMPARE(direct->header(QNetworkRequest::ContentTypeHeader).toByteArray(), QByteArray("image/png"));
    QCOMPARE(direct->readAll(), image);

    auto thumbnail = get(onLoopback(texts[1].section(u"[img]"_s, 1).section(u"[/img]"_s, 0, 0), m_service->port()));
    QCOMPARE(thumbnail->error(), QNetworkReply::NoError);
    const QImage preview = QImage::fromData(thumbnail->readAll());
    QVERIFY(!preview.isNull());
    QVERIFY(preview.width() <= 180 && preview.height() <= 180);

    auto view = get(onLoopback(texts[6], m_service->port()));
    QCOMPARE(view->error(), QNetworkReply::NoError);
    QVERIFY(view->readAll().contains('/' + texts[7].section(u'/', 3).toUtf8()));

    // The connection stays usable: the guard and the HTTP server agree on where the upload ended.
    const QByteArray answered = client.received;
    client.socket.write("GET /" + texts[7].section(u'/', 3).toUtf8() + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.received.endsWith(image), kWaitMs);
    QVERIFY(client.received.mid(answered.size()).startsWith("HTTP/1.1 200 "));

    QCOMPARE(m_log->size(), 5);
    QCOMPARE(m_log->at(0).at(0).toString().section(u' ', 0, 2), u"POST /? 200"_s);
}

// The HTTP client's form: body and header block apart, "POST / HTTP/1.1".
void tst_ServiceHttp::httpClientUpload()
{
    const QString path = m_dir.filePath(u"client.png"_s);
    const QByteArray image = pngBytes(200, 100);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();

    const modTarnwick::UploadRequest request = modTarnwick::BuildUploadRequest(path.toStdString(), 0, true);
    QCOMPARE(request.size(), size_t(2));
    QNetworkRequest post(QUrl(u"http://127.0.0.1:"_s + QString::number(m_service->port())));
    for (const QByteArray& line : bytesOf(request[1]).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed();
        if (colon > 0 && name.compare("Content-Length", Qt::CaseInsensitive) != 0
            && name.compare("Host", Qt::CaseInsensitive) != 0)
            post.setRawHeader(name, line.mid(colon + 1).trimmed());
    }
    QVERIFY(post.rawHeader("Content-Type").startsWith("multipart/form-data, boundary="));

    std::unique_ptr<QNetworkReply> reply(m_network.post(post, bytesOf(request[0])));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), kWaitMs);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    const QStringList texts = textsOf(reply->readAll());
    QCOMPARE(texts.size(), 8);
    // Links name the host the client asked for.
    QVERIFY(texts[7].startsWith(u"http://127.0.0.1:"_s + QString::number(m_service->port()) + u"/i/"_s));

    auto direct = get(texts[7]);
    QCOMPARE(direct->readAll(), image);
}

void tst_ServiceHttp::badUploadGetsPageWithoutLinks()
{
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx\r\n--b--";
    RawClient client(m_service->port());
    client.socket.write("POST /? HTTP/1.0\r\nHost: localhost\r\nContent-Type: multipart/form-data, boundary=b\r\n"
                        "Content-Length: "
                        + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.startsWith("HTTP/1.1 400 "));
    QVERIFY(client.received.contains("fileupload"));
    QCOMPARE(textsOf(client.received), QStringList(8, u"n.a"_s));
    QCOMPARE(m_service->store().count(), 0);
}

// Refused from its head alone: the body is never buffered, and the service goes on.
void tst_ServiceHttp::hugeBodyRefusedEarly()
{
    RawClient client(m_service->port());
    client.socket.write("POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                        "Content-Length: 1000000000\r\n\r\n");
    client.socket.write(QByteArray(1 << 20, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.startsWith("HTTP/1.1 413 "));
    QVERIFY(client.received.contains("Connection: close"));
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);

    auto home = get(u"http://127.0.0.1:"_s + QString::number(m_service->port()) + u'/');
    QCOMPARE(home->error(), QNetworkReply::NoError);
    QCOMPARE(m_log->size(), 2);
    QVERIFY(m_log->at(0).at(0).toString().startsWith(u"POST / 413 "_s));
}

void tst_ServiceHttp::expectContinueAnswered()
{
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"fileupload\"; filename=\"g.gif\"\r\n\r\n"
                            "GIF89a\r\n--b--\r\n";
    RawClient client(m_service->port());
    client.socket.write("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
                        "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: "
                        + QByteArray::number(body.size()) + "\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("HTTP/1.1 100 Continue\r\n\r\n"), kWaitMs);
    client.socket.write(body);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.contains("HTTP/1.1 200 "));
    QCOMPARE(textsOf(client.received.mid(client.received.indexOf("HTTP/1.1 200 "))).size(), 8);
}

void tst_ServiceHttp::unknownIdsAndMethods_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("image") << QByteArray("GET /i/nosuchid/a.png HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("thumbnail") << QByteArray("GET /t/nosuchid.jpg HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("view") << QByteArray("GET /view/nosuchid HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("other path") << QByteArray("GET /admin HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("home") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray("200");
    QTest::newRow("delete the home") << QByteArray("DELETE / HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("405");
    QTest::newRow("post to an image") << QByteArray("POST /i/abc HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
                                      << QByteArray("405");
}

void tst_ServiceHttp::unknownIdsAndMethods()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    RawClient client(m_service->port());
    client.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY2(client.received.startsWith("HTTP/1.1 " + status + ' '), client.received.left(40).constData());
    QCOMPARE(textsOf(client.received), QStringList(8, u"n.a"_s));
}

QTEST_GUILESS_MAIN(tst_ServiceHttp)
#include "tst_ServiceHttp.moc"
