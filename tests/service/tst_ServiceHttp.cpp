// The service in this process, on a free loopback port: what each request
// gets as its answer, what is refused from the head alone, and the deadlines
// (shortened here) within which a request must arrive.

#include "FolderStore.h"
#include "ImageService.h"
#include "ServiceTestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

// "200 404" for two answers one after the other; "malformed" where what came
// is no whole answer: a status line, a Content-Length and that many bytes.
QByteArray statusesOf(QByteArrayView received)
{
    QByteArrayList statuses;
    while (!received.isEmpty()) {
        const qsizetype headEnd = received.indexOf("\r\n\r\n");
        const qsizetype lengthAt = received.indexOf("\r\nContent-Length: ");
        if (!received.startsWith("HTTP/1.1 ") || headEnd < 0 || lengthAt < 0 || lengthAt > headEnd)
            return "malformed";
        const qsizetype lengthStart = lengthAt + 18;
        const qint64 length =
            received.sliced(lengthStart, received.indexOf('\r', lengthStart) - lengthStart).toByteArray().toLongLong();
        if (received.size() < headEnd + 4 + length)
            return "malformed";
        statuses.append(received.sliced(9, 3).toByteArray());
        received = received.sliced(headEnd + 4 + length);
    }
    return statuses.join(' ');
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
    void refusedFromTheHead_data();
    void refusedFromTheHead();
    void expectContinueAnswered();
    void framing_data();
    void framing();
    void unknownIdsAndMethods_data();
    void unknownIdsAndMethods();
    void deadlines_data();
    void deadlines();
    void connectionsBeyondTheLimitWait();
    void bodiesBeyondTheBudgetWait_data();
    void bodiesBeyondTheBudgetWait();
    void longHeadsTakeFromTheBudget();
    void connectionsPerAddress();

private:
    void startService(const HttpServer::Limits& limits);
    std::unique_ptr<QNetworkReply> get(const QString& url);
    // "http://localhost:PORT"
    QString base() const { return u"http://localhost:"_s + QString::number(m_service->port()); }
    // The same link, fetched over 127.0.0.1.
    QString onLoopback(QString link) const
    {
        return link.replace(base(), u"http://127.0.0.1:"_s + QString::number(m_service->port()));
    }

    QTemporaryDir m_files;
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<FolderStore> m_store;
    std::unique_ptr<ImageService> m_service;
    QStringList m_log; // the service's log lines, as they reach this thread
    QNetworkAccessManager m_network;
};

void tst_ServiceHttp::init()
{
    HttpServer::Limits limits;
    limits.lingerMs = 100;
    startService(limits);
}

void tst_ServiceHttp::startService(const HttpServer::Limits& limits)
{
    m_service.reset();
    // Lines still on their way belong to the service just gone.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    m_log.clear();
    m_store.reset();
    m_data = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<FolderStore>(m_data->path(), kPlentyOfBytes);
    QVERIFY2(m_store->open(), qPrintable(m_store->errorString()));
    m_service = std::make_unique<ImageService>(*m_store, QStringLiteral(TARNWICK_SERVICE_PATH), limits);
    QVERIFY2(m_service->start(QHostAddress::LocalHost, 0), qPrintable(m_service->errorString()));
    // Told on the thread that answered: queued to this one.
    connect(m_service.get(), &ImageService::requestLogged, this, [this](const QString& line) { m_log << line; });
    m_network.setProxy(QNetworkProxy::NoProxy);
}

void tst_ServiceHttp::cleanup()
{
    m_service.reset();
    // Lines still on their way belong to the service just gone.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    m_log.clear();
    m_store.reset();
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
    const QByteArrayList request = uploaderRequest(m_files, u"round trip.png"_s, image);
    QCOMPARE(request.size(), 1);
    QVERIFY(request[0].startsWith("POST /? HTTP/1.0\r\n"));

    RawClient client(m_service->port(), request[0]);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.startsWith("HTTP/1.1 200 "));
    QVERIFY(client.received.endsWith("</html>"));
    // An HTTP/1.0 answer is followed by the end of the connection.
    QVERIFY(client.received.contains("\r\nConnection: close\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(client.closed(), kWaitMs);

    const QStringList texts = textsOf(client.received);
    QCOMPARE(texts.size(), 8);
    for (const QString& slot : texts)
        QVERIFY2(slot.contains(base() + u'/'), qPrintable(slot));

    auto direct = get(onLoopback(texts[7]));
    QCOMPARE(direct->error(), QNetworkReply::NoError);
    QCOMPARE(direct->header(QNetworkRequest::ContentTypeHeader).toByteArray(), QByteArray("image/png"));
    QCOMPARE(direct->readAll(), image);

    auto thumbnail = get(onLoopback(texts[1].section(u"[img]"_s, 1).section(u"[/img]"_s, 0, 0)));
    QCOMPARE(thumbnail->error(), QNetworkReply::NoError);
    const QImage preview = QImage::fromData(thumbnail->readAll());
    QVERIFY(!preview.isNull());
    QVERIFY(preview.width() <= 180 && preview.height() <= 180);

    auto view = get(onLoopback(texts[6]));
    QCOMPARE(view->error(), QNetworkReply::NoError);
    QVERIFY(view->readAll().contains(texts[7].toUtf8()));

    QTRY_COMPARE(m_log.size(), 4);
    QCOMPARE(m_log.at(0).section(u' ', 0, 2), u"POST /? 200"_s);
    QCOMPARE(m_store->count(), 1);
}

// The HTTP client's form: body and header block apart, "POST / HTTP/1.1".
void tst_ServiceHttp::httpClientUpload()
{
    const QByteArray image = pngBytes(200, 100);
    const QByteArrayList request = uploaderRequest(m_files, u"client.png"_s, image, 0);
    QCOMPARE(request.size(), 2);
    QNetworkRequest post(QUrl(u"http://127.0.0.1:"_s + QString::number(m_service->port())));
    for (const QByteArray& line : request[1].split('\n')) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed();
        if (colon > 0 && name.compare("Content-Length", Qt::CaseInsensitive) != 0
            && name.compare("Host", Qt::CaseInsensitive) != 0)
            post.setRawHeader(name, line.mid(colon + 1).trimmed());
    }
    QVERIFY(post.rawHeader("Content-Type").startsWith("multipart/form-data, boundary="));

    std::unique_ptr<QNetworkReply> reply(m_network.post(post, request[0]));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), kWaitMs);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    const QStringList texts = textsOf(reply->readAll());
    QCOMPARE(texts.size(), 8);
    // The client asked 127.0.0.1; links still name the service's own base.
    QVERIFY(texts[7].startsWith(base() + u"/i/"_s));
    QCOMPARE(get(onLoopback(texts[7]))->readAll(), image);
}

void tst_ServiceHttp::badUploadGetsPageWithoutLinks()
{
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx\r\n--b--";
    RawClient client(m_service->port(),
                     "POST /? HTTP/1.0\r\nHost: localhost\r\nContent-Type: multipart/form-data, boundary=b\r\n"
                     "Content-Length: "
                         + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.startsWith("HTTP/1.1 400 "));
    QVERIFY(client.received.contains("fileupload"));
    QCOMPARE(textsOf(client.received), QStringList(8, u"n.a"_s));
    QCOMPARE(m_store->count(), 0);
}

void tst_ServiceHttp::refusedFromTheHead_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    const QByteArray form = "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=b\r\n";
    // Never buffered: the body keeps coming after the answer.
    QTest::newRow("body far too large") << form + "Content-Length: 1000000000\r\n\r\n" + QByteArray(1 << 20, 'x')
                                        << QByteArray("413");
    QTest::newRow("no length") << form + "\r\n--b\r\n" << QByteArray("411");
    QTest::newRow("chunked") << form + "Transfer-Encoding: chunked\r\n\r\n5\r\n--b\r\n" << QByteArray("411");
    QTest::newRow("length no number") << form + "Content-Length: 12abc\r\n\r\n" << QByteArray("400");
    QTest::newRow("endless head") << "GET / HTTP/1.1\r\nX: " + QByteArray(100 * 1024, 'a') << QByteArray("431");
    QTest::newRow("garbage") << QByteArray("GARBAGE\r\n\r\n") << QByteArray("400");
    QTest::newRow("unknown version") << QByteArray("GET / HTTP/9.9\r\nHost: a\r\n\r\n") << QByteArray("505");
    // Read as "identity ,chunked" by a reader that joins folded lines.
    QTest::newRow("folded Transfer-Encoding")
        << form + "Transfer-Encoding: identity\r\n ,chunked\r\nContent-Length: 5\r\n\r\n" + QByteArray(1 << 20, '5')
        << QByteArray("400");
}

// Answered and closed, and the service goes on.
void tst_ServiceHttp::refusedFromTheHead()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    RawClient client(m_service->port(), request);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY2(client.received.startsWith("HTTP/1.1 " + status + ' '), client.received.left(40).constData());
    QVERIFY(client.received.contains("\r\nConnection: close\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(client.closed(), kWaitMs);

    auto home = get(u"http://127.0.0.1:"_s + QString::number(m_service->port()) + u'/');
    QCOMPARE(home->error(), QNetworkReply::NoError);
    QTRY_COMPARE(m_log.size(), 2);
    QCOMPARE(m_log.at(0).section(u' ', 2, 2), QString::fromLatin1(status));
}

void tst_ServiceHttp::expectContinueAnswered()
{
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"fileupload\"; filename=\"g.gif\"\r\n\r\n"
                            "GIF89a\r\n--b--\r\n";
    RawClient client(m_service->port(),
                     "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
                     "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: "
                         + QByteArray::number(body.size()) + "\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray("HTTP/1.1 100 Continue\r\n\r\n"), kWaitMs);
    client.socket.write(body);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.contains("HTTP/1.1 200 "));
    QCOMPARE(textsOf(client.received.mid(client.received.indexOf("HTTP/1.1 200 "))).size(), 8);
}

void tst_ServiceHttp::framing_data()
{
    QTest::addColumn<QByteArray>("sent"); // in one write
    QTest::addColumn<bool>("halfClose"); // then the client ends its side
    QTest::addColumn<QByteArray>("statuses"); // answered in this order, and then closed

    const QByteArray get = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    const QByteArray lastGet = "GET /nosuch HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    QTest::newRow("two requests in one write") << get + lastGet << false << QByteArray("200 404");
    QTest::newRow("a body, then the next request")
        << "POST /i/abc HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello" + get + lastGet << false
        << QByteArray("405 200 404");
    QTest::newRow("blank lines between requests") << get + "\r\n\r\n" + lastGet << false << QByteArray("200 404");
    QTest::newRow("half-closed after a request") << get << true << QByteArray("200");
    QTest::newRow("half-closed after two requests") << get + get << true << QByteArray("200 200");
    QTest::newRow("half-closed after a POST without length")
        << QByteArray("POST / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=b\r\n\r\n") << true
        << QByteArray("411");
    QTest::newRow("half-closed in the middle of a head")
        << QByteArray("GET / HTTP/1.1\r\nHo") << true << QByteArray("400");
    QTest::newRow("half-closed in the middle of a body")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc") << true << QByteArray("400");
    // At once, not after the head's deadline as a head that never ends.
    QTest::newRow("bare LF line ends") << QByteArray("GET / HTTP/1.1\nHost: a\n\n") << false << QByteArray("400");
    QTest::newRow("a bare LF after a good line")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\nX: y\r\n\r\n") << false << QByteArray("400");
    QTest::newRow("a bare LF in the next request") << get + "GET / HTTP/1.1\nHost: a\n\n"
                                                   << false << QByteArray("200 400");
}

void tst_ServiceHttp::framing()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, halfClose);
    QFETCH(QByteArray, statuses);

    RawClient client(m_service->port(), halfClose ? QByteArray() : sent);
    if (halfClose) {
        // The request and the end of the input arrive together.
        QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::ConnectedState, kWaitMs);
        const int descriptor = int(client.socket.socketDescriptor());
        QCOMPARE(::send(descriptor, sent.constData(), size_t(sent.size()), 0), ssize_t(sent.size()));
        QCOMPARE(::shutdown(descriptor, SHUT_WR), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(client.closed(), kWaitMs);
    QCOMPARE(statusesOf(client.received), statuses);
}

void tst_ServiceHttp::unknownIdsAndMethods_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("image") << QByteArray("GET /i/nosuchid/a.png HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("thumbnail") << QByteArray("GET /t/nosuchid.jpg HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("view") << QByteArray("GET /view/nosuchid HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("404");
    QTest::newRow("a path for an id") << QByteArray("GET /i/..%2flock/a HTTP/1.1\r\nHost: x\r\n\r\n")
                                      << QByteArray("404");
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
    RawClient client(m_service->port(), request);
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY2(client.received.startsWith("HTTP/1.1 " + status + ' '), client.received.left(40).constData());
    QCOMPARE(textsOf(client.received), QStringList(8, u"n.a"_s));
}

void tst_ServiceHttp::deadlines_data()
{
    QTest::addColumn<QByteArray>("head"); // sent at once
    QTest::addColumn<QByteArray>("rest"); // sent a piece every 100 ms
    QTest::addColumn<int>("pieceBytes");
    QTest::addColumn<QByteArray>("answer");

    // At 2000 bytes a second over 300 ms windows: 600 bytes in every 300 ms.
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"fileupload\"; filename=\"z.bin\"\r\n\r\n"
        + QByteArray(1917, 'z') + "\r\n--b--";
    const QByteArray post = "POST / HTTP/1.1\r\nHost: a\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                            "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n";

    QTest::newRow("idle connection closed unanswered") << QByteArray() << QByteArray() << 1 << QByteArray();
    QTest::newRow("head a byte at a time, each in time for an idle timer")
        << QByteArray() << "GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + QByteArray(50, 'a') + "\r\n\r\n"
        << 1 << QByteArray("HTTP/1.1 408 ");
    QTest::newRow("body below the minimum rate") << post << body << 20 << QByteArray("HTTP/1.1 408 ");
    QTest::newRow("body above the minimum rate, longer than the head deadline")
        << post << body << 500 << QByteArray("HTTP/1.1 200 ");
    QTest::newRow("head of an upload, and no body") << post << QByteArray() << 1 << QByteArray("HTTP/1.1 408 ");
}

void tst_ServiceHttp::deadlines()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, rest);
    QFETCH(int, pieceBytes);
    QFETCH(QByteArray, answer);

    HttpServer::Limits limits;
    limits.headTimeoutMs = 300;
    limits.minBytesPerSecond = 2000;
    limits.rateWindowMs = 300;
    limits.lingerMs = 100;
    limits.maxLingerMs = 1000;
    startService(limits);

    RawClient client(m_service->port(), head);
    QTimer pacer;
    qsizetype sent = 0;
    connect(&pacer, &QTimer::timeout, this, [&] {
        if (!client.received.isEmpty() || sent >= rest.size())
            return pacer.stop();
        client.socket.write(rest.mid(sent, pieceBytes));
        sent += pieceBytes;
    });
    pacer.start(100);
    QTRY_VERIFY_WITH_TIMEOUT(client.closed(), kWaitMs);
    QVERIFY2(client.received.startsWith(answer), client.received.left(40).constData());
    if (answer.isEmpty())
        QVERIFY(client.received.isEmpty());
}

// Past the limit, a connection is neither taken nor refused: it waits in the
// listening queue until an earlier one ends.
void tst_ServiceHttp::connectionsBeyondTheLimitWait()
{
    HttpServer::Limits limits;
    limits.maxConnections = 2;
    startService(limits);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(std::make_unique<RawClient>(m_service->port(), "GET / HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(clients[0]->hasPageEnd() && clients[1]->hasPageEnd(), kWaitMs);
    QVERIFY(!clients[2]->closed());
    QVERIFY(clients[2]->received.isEmpty());

    clients[0]->socket.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(clients[2]->hasPageEnd(), kWaitMs);
    QVERIFY(clients[2]->received.startsWith("HTTP/1.1 200 "));
}

void tst_ServiceHttp::bodiesBeyondTheBudgetWait_data()
{
    QTest::addColumn<bool>("firstEnds");
    QTest::addColumn<QByteArray>("secondStatus");

    QTest::newRow("the body in memory arrives whole") << true << QByteArray("200");
    QTest::newRow("the body in memory never ends") << false << QByteArray("503");
}

// A body that finds no room in the budget waits, unread, for one that
// leaves; in vain for too long, it gets 503.
void tst_ServiceHttp::bodiesBeyondTheBudgetWait()
{
    QFETCH(bool, firstEnds);
    QFETCH(QByteArray, secondStatus);
    HttpServer::Limits limits;
    limits.maxBodyBytesInFlight = 400 * 1024;
    limits.headTimeoutMs = 1000; // also the longest wait for room
    limits.lingerMs = 100;
    startService(limits);
    // Each takes more than half of the budget.
    const QByteArray first = uploaderRequest(m_files, u"first.gif"_s, "GIF89a" + QByteArray(250'000, 'f'))[0];
    const QByteArray second = uploaderRequest(m_files, u"second.gif"_s, "GIF89a" + QByteArray(250'000, 's'))[0];
    RawClient holder(m_service->port(), first.chopped(1));
    QTRY_VERIFY_WITH_TIMEOUT(
        holder.socket.bytesToWrite() == 0 && holder.socket.state() == QAbstractSocket::ConnectedState, kWaitMs);
    RawClient waiting(m_service->port(), second);
    if (firstEnds) {
        holder.socket.write(first.right(1));
        QTRY_VERIFY_WITH_TIMEOUT(holder.hasPageEnd(), kWaitMs);
        QVERIFY(holder.received.startsWith("HTTP/1.1 200 "));
    }
    QTRY_VERIFY_WITH_TIMEOUT(waiting.hasPageEnd(), kWaitMs);
    QVERIFY2(waiting.received.startsWith("HTTP/1.1 " + secondStatus + ' '), waiting.received.left(40).constData());
}

// Heads past 16 KiB are counted with the bodies: one long head that has not
// ended leaves no room for another, while short ones are still read.
void tst_ServiceHttp::longHeadsTakeFromTheBudget()
{
    HttpServer::Limits limits;
    limits.maxBodyBytesInFlight = 100 * 1024; // room for one head allowance of 64 KiB
    limits.lingerMs = 100;
    startService(limits);
    const QByteArray longHead = "GET / HTTP/1.1\r\nHost: a\r\nX-Pad: " + QByteArray(40 * 1024, 'p');
    RawClient one(m_service->port(), longHead);
    RawClient other(m_service->port(), longHead);
    // Whichever the service read second is refused; the first waits for the rest of its head.
    QTRY_VERIFY_WITH_TIMEOUT(one.hasPageEnd() || other.hasPageEnd(), kWaitMs);
    RawClient& refused = one.hasPageEnd() ? one : other;
    RawClient& waiting = one.hasPageEnd() ? other : one;
    QVERIFY2(refused.received.startsWith("HTTP/1.1 503 "), refused.received.left(40).constData());
    RawClient shortOne(m_service->port(), "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(shortOne.closed(), kWaitMs);
    QVERIFY(shortOne.received.startsWith("HTTP/1.1 200 "));
    QVERIFY(waiting.received.isEmpty());

    waiting.socket.write("\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(waiting.hasPageEnd(), kWaitMs);
    QVERIFY(waiting.received.startsWith("HTTP/1.1 200 "));
    // Its room went back with its head.
    RawClient third(m_service->port(), longHead + "\r\nConnection: close\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(third.closed(), kWaitMs);
    QVERIFY2(third.received.startsWith("HTTP/1.1 200 "), third.received.left(40).constData());
}

// One address holds its share of the connections and no more; the others,
// and this machine itself (where a reverse proxy connects from), get theirs.
void tst_ServiceHttp::connectionsPerAddress()
{
    HttpServer::Limits limits;
    limits.maxPerAddress = 3;
    limits.lingerMs = 100;
    startService(limits);
    const QHostAddress greedy(u"127.0.0.2"_s);
    const QByteArray get = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    // Answered, and kept open: each holds its place.
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(std::make_unique<RawClient>(m_service->port(), get, greedy));
    for (int i = 0; i < 5; ++i)
        held.push_back(std::make_unique<RawClient>(m_service->port(), get));
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(held.begin(), held.end(), [](const auto& c) { return c->hasPageEnd(); }),
                             kWaitMs);

    RawClient oneTooMany(m_service->port(), get, greedy);
    QTRY_VERIFY_WITH_TIMEOUT(oneTooMany.closed(), kWaitMs);
    QVERIFY2(oneTooMany.received.startsWith("HTTP/1.1 503 "), oneTooMany.received.left(40).constData());

    RawClient other(m_service->port(), get, QHostAddress(u"127.0.0.3"_s));
    QTRY_VERIFY_WITH_TIMEOUT(other.hasPageEnd(), kWaitMs);
    QVERIFY(other.received.startsWith("HTTP/1.1 200 "));
    RawClient local(m_service->port(), get);
    QTRY_VERIFY_WITH_TIMEOUT(local.hasPageEnd(), kWaitMs);
    QVERIFY(local.received.startsWith("HTTP/1.1 200 "));

    // A connection that ends gives its place back, once the service has seen it end.
    held.front()->socket.abort();
    const auto answeredAgain = [&] {
        RawClient again(m_service->port(), "GET / HTTP/1.0\r\n\r\n", greedy);
        return QTest::qWaitFor([&] { return again.closed(); }, kWaitMs) && again.received.startsWith("HTTP/1.1 200 ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(answeredAgain(), kWaitMs);
}

QTEST_GUILESS_MAIN(tst_ServiceHttp)
#include "tst_ServiceHttp.moc"
