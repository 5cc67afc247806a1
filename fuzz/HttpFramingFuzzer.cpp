// A connection to the service's HTTP layer fed in pieces: requests one after
// another in one write or split anywhere, then the client's half-close, or
// its early close. Every answer that comes back must be whole (a status
// line, a Content-Length and that many bytes), the answers must follow the
// requests in their order, a refusal may only be the last, and the
// connection must end in time. The server runs on threads of its own, as
// in the service; the client is a plain blocking socket.
//
// Input: a first byte whose two low bits choose the end (3: close without
// reading, else half-close and read to the end), then pieces, each a length
// byte and that many bytes, sent in separate writes.

#include "HttpServer.h"

#include <QCoreApplication>
#include <QMutex>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kAnswerWaitMs = 5000; // beyond every deadline of the limits below
constexpr int kStatuses[] = { 400, 408, 411, 413, 414, 417, 431, 503, 505 };

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "the framing broke its promise: %s (%s)\n", what, std::strerror(errno));
        std::abort();
    }
}

// libFuzzer's timer for -timeout interrupts a blocking call now and then.
template <typename Call>
auto Uninterrupted(Call call)
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Waits for one of events on socket until deadline; true when it came.
bool Await(int socket, short events, std::chrono::steady_clock::time_point deadline)
{
    pollfd ready = { socket, events, 0 };
    return Uninterrupted([&] {
               const auto left =
                   std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
               return ::poll(&ready, 1, int(std::max<qint64>(left.count(), 0)));
           })
        == 1;
}

// An interrupted connect() goes on by itself; its outcome is the socket's error.
bool Connect(int socket, const sockaddr_in& address)
{
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (errno != EINTR
        || !Await(socket, POLLOUT, std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs)))
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && (errno = error) == 0;
}

// Answers each request with its own target, and remembers the order.
class EchoHandler : public HttpHandler
{
public:
    bool mayWait(const HttpRequest& request) const override { return request.path.startsWith("/w"); }

    HttpResponse respond(const HttpRequest& request) override
    {
        const QMutexLocker lock(&m_mutex);
        m_seen.append({ request.peer, { request.method, request.target } });
        return { 200, "text/plain", request.target, {} };
    }

    HttpResponse refusal(int status) override { return { status, "text/plain", "refused", {} }; }

    // Method and target of the requests from this client so far, in order;
    // a connection closed early may still be served after it.
    QList<std::pair<QByteArray, QByteArray>> takeSeen(const QHostAddress& client)
    {
        const QMutexLocker lock(&m_mutex);
        QList<std::pair<QByteArray, QByteArray>> seen;
        for (const auto& [peer, request] : std::exchange(m_seen, {})) {
            if (peer == client)
                seen.append(request);
        }
        return seen;
    }

private:
    QMutex m_mutex;
    QList<std::pair<QHostAddress, std::pair<QByteArray, QByteArray>>> m_seen;
};

struct Fixture
{
    EchoHandler handler;
    QThread thread;
    HttpServer* server = nullptr;
    quint16 port = 0;
};

Fixture* fixture = nullptr;

struct Answer
{
    int status = 0;
    qint64 length = 0;
    QByteArrayView body;
};

// One answer's head at the start of bytes; its size, or -1 when malformed.
qsizetype readHead(QByteArrayView bytes, Answer& answer)
{
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (!bytes.startsWith("HTTP/1.1 ") || end < 12 || bytes[12] != ' ')
        return -1;
    answer.status = bytes.sliced(9, 3).toByteArray().toInt();
    if (answer.status == 100)
        return end + 4;
    const qsizetype at = bytes.first(end + 2).indexOf("\r\nContent-Length: ");
    if (at < 0)
        return -1;
    const qsizetype start = at + 18;
    bool ok = false;
    answer.length = bytes.sliced(start, bytes.indexOf('\r', start) - start).toByteArray().toLongLong(&ok);
    return ok && answer.length >= 0 ? end + 4 : -1;
}

void check(QByteArrayView received, const QList<std::pair<QByteArray, QByteArray>>& seen)
{
    qsizetype answered = 0;
    bool refused = false;
    while (!received.isEmpty()) {
        Answer answer;
        const qsizetype head = readHead(received, answer);
        Require(head > 0, "an answer without a whole head");
        received = received.sliced(head);
        if (answer.status == 100)
            continue;
        Require(!refused, "an answer after a refusal");
        const bool forSeen = answered < seen.size();
        const bool bodyless = forSeen && seen[answered].first == "HEAD";
        const qint64 bodyBytes = bodyless ? 0 : answer.length;
        Require(received.size() >= bodyBytes, "an answer shorter than its Content-Length");
        if (forSeen) {
            Require(answer.status == 200, "a request handled, and answered otherwise");
            Require(bodyless || received.first(bodyBytes) == seen[answered].second, "answers out of order");
            Require(!bodyless || answer.length == seen[answered].second.size(), "a HEAD answer of another length");
            ++answered;
        } else {
            refused = true;
            Require(std::find(std::begin(kStatuses), std::end(kStatuses), answer.status) != std::end(kStatuses),
                    "a refusal the server does not make");
        }
        received = received.sliced(bodyBytes);
    }
    Require(answered == seen.size(), "a request handled and never answered");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    new QCoreApplication(*argc, *argv);
    fixture = new Fixture;
    HttpServer::Limits limits;
    limits.maxHeadBytes = 2048;
    limits.maxBodyBytes = 16 * 1024;
    limits.maxBodyBytesInFlight = 32 * 1024;
    limits.headTimeoutMs = 2000;
    limits.minBytesPerSecond = 1024;
    limits.rateWindowMs = 1000;
    limits.lingerMs = 100;
    limits.maxLingerMs = 1000;
    fixture->server = new HttpServer(fixture->handler, limits);
    fixture->server->moveToThread(&fixture->thread);
    fixture->thread.start();
    QMetaObject::invokeMethod(
        fixture->server, [] { fixture->server->listen(QHostAddress::LocalHost, 0); }, Qt::BlockingQueuedConnection);
    fixture->port = fixture->server->serverPort();
    Require(fixture->port != 0, "no port to listen on");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // Each run from an address of its own, 127.0.0.2 to 127.0.0.201, told
    // apart from an earlier one that was closed early and may not be served yet.
    static quint32 runs = 0;
    const QHostAddress from(QHostAddress(QHostAddress::LocalHost).toIPv4Address() + 2 + runs++ % 200);
    fixture->handler.takeSeen(from);

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    // The port is picked at connect(), for the whole four-tuple: thousands of
    // runs leave many behind in TIME_WAIT.
    const int on = 1;
    ::setsockopt(client, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(from.toIPv4Address());
    Require(::bind(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, "no address");
    address.sin_port = htons(fixture->port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Require(Connect(client, address), "no connection");

    QByteArray received;
    char buffer[4096];
    const bool earlyClose = (data[0] & 3) == 3;
    for (std::size_t at = 1; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        ++at;
        // The server may have ended the connection already: what is left is not sent.
        if (length > 0 && Uninterrupted([&] { return ::send(client, data + at, length, MSG_NOSIGNAL); }) < 0)
            break;
        at += length;
        for (ssize_t got;
             (got = Uninterrupted([&] { return ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT); })) > 0;)
            received.append(buffer, got);
    }
    if (earlyClose) {
        ::close(client);
        return 0;
    }
    ::shutdown(client, SHUT_WR);
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
        Require(Await(client, POLLIN, deadline), "no answer nor end in time");
        const ssize_t got = Uninterrupted([&] { return ::recv(client, buffer, sizeof buffer, 0); });
        if (got <= 0)
            break;
        received.append(buffer, got);
    }
    ::close(client);
    // Answers are written before the end; the handler saw its requests before they were answered.
    check(received, fixture->handler.takeSeen(from));
    return 0;
}
