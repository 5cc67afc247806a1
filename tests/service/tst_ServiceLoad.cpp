// A real service process under load: bursts of connections past its limit
// whose ends arrive together, bodies sent at once but for their last byte,
// heads shaped to cost work, and clients behind a proxy. Memory is read from
// /proc, never guessed from time.

#include "ServiceProcess.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

using Clients = std::vector<std::unique_ptr<RawClient>>;

const QByteArray kGet = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";

// 127.0.0.2, 127.0.0.3, ...: count addresses in turn.
QHostAddress loopbackNumber(int i, int count)
{
    return QHostAddress(QHostAddress(QHostAddress::LocalHost).toIPv4Address() + 1 + quint32(i % count));
}

qint64 answered(const Clients& clients)
{
    return std::count_if(clients.begin(), clients.end(), [](const auto& c) { return c && c->hasPageEnd(); });
}

// A form of many parts whose heads each cost a reader that looks again from every quote.
QByteArray partsWithCostlyHeads(int parts, qsizetype headBytes)
{
    QByteArray body;
    for (int i = 0; i < parts; ++i) {
        QByteArray disposition = "Content-Disposition: form-data; name=\"f\"";
        while (disposition.size() < headBytes - 8)
            disposition += ";a=\"x";
        body += "--b\r\n" + disposition + "\r\n\r\nx\r\n";
    }
    return body + "--b--\r\n";
}

QByteArray post(const QByteArray& contentType, const QByteArray& body, const QByteArray& more = {})
{
    return "POST / HTTP/1.1\r\nHost: a\r\nContent-Type: " + contentType + "\r\n" + more
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class tst_ServiceLoad : public QObject
{
    Q_OBJECT

private slots:
    void burstPastTheLimit_data();
    void burstPastTheLimit();
    void frontLoadedBodiesHoldTheirMemory();
    void costlyHeadsHoldNobodyUp_data();
    void costlyHeadsHoldNobodyUp();
    void clientBehindAProxy_data();
    void clientBehindAProxy();
    void limitsCountTheClientBehindAProxy();

private:
    QTemporaryDir m_data;
};

void tst_ServiceLoad::burstPastTheLimit_data()
{
    QTest::addColumn<int>("addresses"); // 0: 127.0.0.1, which has no per-address limit
    QTest::addColumn<QStringList>("options");

    QTest::newRow("from this machine") << 0 << QStringList();
    QTest::newRow("from one address at its own limit") << 1 << QStringList { u"--max-per-address"_s, u"40"_s };
    QTest::newRow("from eight addresses") << 8 << QStringList();
}

// Every connection served in turn: whenever the ones in hand end at once,
// the waiting ones are taken, and a new one is answered at the end.
void tst_ServiceLoad::burstPastTheLimit()
{
    QFETCH(int, addresses);
    QFETCH(QStringList, options);
    constexpr int kLimit = 16;
    constexpr int kBurst = 40;
    Service service;
    QCOMPARE(service.start(m_data.path(), options + QStringList { u"--max-connections"_s, QString::number(kLimit) }),
             QString());

    Clients clients;
    for (int i = 0; i < kBurst; ++i) {
        const QHostAddress from = addresses == 0 ? QHostAddress() : loopbackNumber(i, addresses);
        clients.push_back(std::make_unique<RawClient>(service.port(), kGet, from));
    }
    for (int served = 0; served < kBurst;) {
        const int expected = std::min(served + kLimit, kBurst);
        QTRY_COMPARE_WITH_TIMEOUT(served + answered(clients), qint64(expected), kWaitMs);
        // Answered, and kept open past their answers: all of them end together.
        for (auto& client : clients) {
            if (client && client->hasPageEnd()) {
                client->socket.abort();
                client.reset();
            }
        }
        served = expected;
    }
    RawClient after(service.port(), "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(after.closed(), kWaitMs);
    QVERIFY2(after.received.startsWith("HTTP/1.1 200 "), after.received.left(40).constData());
}

// Bodies that arrive at once but for their last byte take no more memory
// than the budget for bodies allows, and it is given back once they are gone.
void tst_ServiceLoad::frontLoadedBodiesHoldTheirMemory()
{
    constexpr qint64 kBudgetMiB = 32;
    constexpr int kClients = 24; // 24 bodies of 4 MB: three times the budget
    constexpr qint64 kBodyBytes = 4000000;
    Service service;
    QCOMPARE(service.start(m_data.path(), { u"--max-body-memory"_s, u"%1M"_s.arg(kBudgetMiB) }), QString());
    // Answered once, so that what the first request sets up counts as idle.
    QVERIFY(exchange(service.port(), "GET / HTTP/1.0\r\n\r\n").startsWith("HTTP/1.1 200 "));
    const qint64 idleKiB = service.memoryKiB("VmRSS");
    QVERIFY(idleKiB > 0);

    const QByteArray head = "POST / HTTP/1.1\r\nHost: a\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                            "Content-Length: "
        + QByteArray::number(kBodyBytes) + "\r\n\r\n";
    const QByteArray allButOne(kBodyBytes - 1, 'x');
    Clients clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::make_unique<RawClient>(service.port(), head + allButOne, loopbackNumber(i, 8)));
    // Each gets 408 once its window passes in silence, or 503 after waiting for room in vain.
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->closed(); }),
                             3 * kWaitMs);
    for (const auto& client : clients) {
        QVERIFY2(client->received.startsWith("HTTP/1.1 408 ") || client->received.startsWith("HTTP/1.1 503 "),
                 client->received.left(40).constData());
    }

    if (kUnderAddressSanitizer)
        return;
    const qint64 peakKiB = service.memoryKiB("VmHWM");
    qInfo("idle %lld KiB, peak %lld KiB with %d bodies of %lld bytes", idleKiB, peakKiB, kClients, kBodyBytes);
    // Bodies in full would take 96 MB above idle.
    QVERIFY2(peakKiB - idleKiB < (kBudgetMiB + 24) * 1024, qPrintable(u"peak %1 KiB"_s.arg(peakKiB)));
    const auto settledKiB = [&] { return service.memoryKiB("VmRSS") - idleKiB; };
    QTRY_VERIFY2_WITH_TIMEOUT(settledKiB() < 16 * 1024, qPrintable(u"%1 KiB above idle"_s.arg(settledKiB())), kWaitMs);
}

void tst_ServiceLoad::costlyHeadsHoldNobodyUp_data()
{
    QTest::addColumn<QByteArray>("request");

    QByteArray type = "multipart/form-data; boundary=b";
    while (type.size() < 60 * 1024)
        type += ";a=\"x";
    QTest::newRow("content type of 60 KiB") << post(type, "--b--\r\n");
    // Each part's head, of 16 KiB, is read as the service's own form reader reads it.
    QTest::newRow("64 parts with heads of 16 KiB")
        << post("multipart/form-data; boundary=b", partsWithCostlyHeads(64, 16 * 1024 - 16));
    QByteArray pieces = "GET / HTTP/1.1\r\nHost: a\r\n";
    while (pieces.size() < 60 * 1024)
        pieces += "X: y\r\n";
    QTest::newRow("head of 60 KiB in many header lines") << pieces + "\r\n";
}

// Answered, and a connection that comes after it on the same thread is
// answered too; a reader that looked again from every quote took minutes.
void tst_ServiceLoad::costlyHeadsHoldNobodyUp()
{
    QFETCH(QByteArray, request);
    Service service;
    QCOMPARE(service.start(m_data.path()), QString());
    RawClient costly(service.port(), request);
    RawClient plain(service.port(), "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(plain.closed(), kWaitMs);
    QVERIFY(plain.received.startsWith("HTTP/1.1 200 "));
    QTRY_VERIFY_WITH_TIMEOUT(costly.hasPageEnd(), kWaitMs);
    QVERIFY2(costly.received.startsWith("HTTP/1.1 400 ") || costly.received.startsWith("HTTP/1.1 431 ")
                 || costly.received.startsWith("HTTP/1.1 200 "),
             costly.received.left(40).constData());
}

void tst_ServiceLoad::clientBehindAProxy_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QByteArray>("forwardedFor"); // the header lines
    QTest::addColumn<QString>("client"); // as the log names it

    const QByteArray xff = "X-Forwarded-For: ";
    QTest::newRow("trusted proxy") << u"127.0.0.2"_s << xff + "203.0.113.9\r\n" << u"203.0.113.9"_s;
    QTest::newRow("what the client said itself is left of its address")
        << u"127.0.0.2"_s << xff + "198.51.100.1, 203.0.113.9\r\n"
        << u"203.0.113.9"_s;
    QTest::newRow("two trusted proxies") << u"127.0.0.2"_s << xff + "203.0.113.9, 127.0.0.4\r\n" << u"203.0.113.9"_s;
    QTest::newRow("over two header lines") << u"127.0.0.2"_s << xff + "203.0.113.9\r\n" + xff + "127.0.0.4\r\n"
                                           << u"203.0.113.9"_s;
    QTest::newRow("IPv6 client") << u"127.0.0.2"_s << xff + "2001:db8::7\r\n" << u"2001:db8::7"_s;
    QTest::newRow("no header") << u"127.0.0.2"_s << QByteArray() << u"127.0.0.2"_s;
    QTest::newRow("not an address") << u"127.0.0.2"_s << xff + "unknown\r\n" << u"127.0.0.2"_s;
    QTest::newRow("untrusted sender") << u"127.0.0.3"_s << xff + "203.0.113.9\r\n" << u"127.0.0.3"_s;
}

void tst_ServiceLoad::clientBehindAProxy()
{
    QFETCH(QString, from);
    QFETCH(QByteArray, forwardedFor);
    QFETCH(QString, client);
    Service service;
    QCOMPARE(service.start({ u"--data"_s, m_data.path(), u"--trusted-proxy"_s, u"127.0.0.2"_s, u"--trusted-proxy"_s,
                             u"127.0.0.4/31"_s },
                           QProcessEnvironment::systemEnvironment(), true),
             QString());
    RawClient proxied(service.port(), "GET /nowhere HTTP/1.0\r\n" + forwardedFor + "\r\n", QHostAddress(from));
    QTRY_VERIFY_WITH_TIMEOUT(proxied.closed(), kWaitMs);
    QVERIFY(proxied.received.startsWith("HTTP/1.1 404 "));
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains("GET /nowhere 404 "), kWaitMs);
    const QByteArray log = service.errors();
    const qsizetype line = log.indexOf("GET /nowhere 404 ");
    QCOMPARE(QString::fromLatin1(log.mid(line, log.indexOf('\n', line) - line)).section(u' ', 4), client);
}

// Through the proxy, each client holds its own share of requests at once;
// an IPv6 client is its /64.
void tst_ServiceLoad::limitsCountTheClientBehindAProxy()
{
    Service service;
    QCOMPARE(service.start(m_data.path(), { u"--trusted-proxy"_s, u"127.0.0.2"_s, u"--max-per-address"_s, u"2"_s }),
             QString());
    const QHostAddress proxy(u"127.0.0.2"_s);
    // Heads of uploads whose bodies have not come yet: each holds its request
    // open. The service asks for a body only once it has admitted the request,
    // and the four reach it on threads of their own: a check sent before that
    // could be admitted first and push a held one out.
    const QByteArray goOn = "HTTP/1.1 100 Continue\r\n\r\n";
    Clients held;
    for (const QByteArray client : { "203.0.113.9", "203.0.113.9", "2001:db8::1", "2001:db8::2" }) {
        held.push_back(std::make_unique<RawClient>(service.port(),
                                                   "POST / HTTP/1.1\r\nHost: a\r\nX-Forwarded-For: " + client
                                                       + "\r\nExpect: 100-continue\r\nContent-Length: 100\r\n\r\n",
                                                   proxy));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(held.begin(), held.end(), [&](const auto& c) { return c->received == goOn; }),
                             kWaitMs);
    // Through the same proxy, a whole request for one client and another.
    const auto statusFor = [&](const QByteArray& client) {
        const QByteArray answer =
            exchange(service.port(), "GET / HTTP/1.0\r\nX-Forwarded-For: " + client + "\r\n\r\n", proxy);
        return answer.left(12);
    };
    QCOMPARE(statusFor("203.0.113.9"), QByteArray("HTTP/1.1 503"));
    QCOMPARE(statusFor("2001:db8::3"), QByteArray("HTTP/1.1 503"));
    QCOMPARE(statusFor("203.0.113.10"), QByteArray("HTTP/1.1 200"));
    QCOMPARE(statusFor("2001:db8:0:1::1"), QByteArray("HTTP/1.1 200"));
    // Still held: none has been answered or timed out meanwhile.
    for (const auto& client : held)
        QCOMPARE(client->received, goOn);
}

QTEST_GUILESS_MAIN(tst_ServiceLoad)
#include "tst_ServiceLoad.moc"
