#include "HttpServer.h"

#include "HttpConnection.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

#include <malloc.h>
#include <unistd.h>

namespace {

// Requests answered at once; most of them wait on a disk or a network.
constexpr int kAnsweringThreads = 16;
// Bursts of bodies below this leave their memory to the next requests (see main.cpp).
constexpr qint64 kKeptFreeBytes = 16 * 1024 * 1024;
// Memory is given back at most this often: each time, what is taken again costs page faults.
constexpr int kTrimIntervalMs = 1000;
// After running out of descriptors, accepting is tried again this much later.
constexpr int kAcceptRetryMs = 100;

// 127.0.0.1 or ::1, where a proxy on the same machine connects from.
bool isThisMachine(const QHostAddress& address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? ipv4 == QHostAddress(QHostAddress::LocalHost).toIPv4Address()
                  : address == QHostAddress(QHostAddress::LocalHostIPv6);
}

} // namespace

HttpServer::HttpServer(HttpHandler& handler, const Limits& limits, QObject* parent)
    : QTcpServer(parent)
    , m_handler(handler)
    , m_limits(limits)
{
    // A burst of clients waits in the kernel's queue rather than being dropped.
    setListenBacklogSize(1024);
    m_pool.setMaxThreadCount(kAnsweringThreads);
    m_homes.emplace_back(this);
    for (int i = 0; i < std::max(2, QThread::idealThreadCount()); ++i) {
        auto* thread = new QThread(this);
        auto* home = new QObject;
        home->moveToThread(thread);
        connect(thread, &QThread::finished, home, &QObject::deleteLater);
        thread->start();
        m_threads.push_back(thread);
        m_homes.emplace_back(home);
    }
    m_trimTimer.setSingleShot(true);
    connect(&m_trimTimer, &QTimer::timeout, this, [this] {
        if (m_trimPending)
            giveMemoryBack();
    });
    // QTcpServer stops accepting for good when accept() fails for want of
    // descriptors or memory; both come back as connections end.
    connect(this, &QTcpServer::acceptError, this, [this] {
        pauseAccepting();
        m_paused = true;
        QTimer::singleShot(kAcceptRetryMs, this, &HttpServer::admitWaiting);
    });
}

HttpServer::~HttpServer()
{
    close();
    {
        // No connection starts an answer on the pool from here on.
        const QMutexLocker lock(&m_poolMutex);
        m_stopping = true;
    }
    // Answers still being made reach their connections, which then go with their threads.
    m_pool.waitForDone();
    // This thread's own connections go before what they use of the server.
    qDeleteAll(findChildren<HttpConnection*>(Qt::FindDirectChildrenOnly));
    for (QThread* thread : m_threads) {
        thread->quit();
        thread->wait();
    }
    for (const qintptr descriptor : std::as_const(m_waiting))
        ::close(int(descriptor));
}

bool HttpServer::startWork(std::function<void()> work)
{
    const QMutexLocker lock(&m_poolMutex);
    if (m_stopping)
        return false;
    m_pool.start(std::move(work));
    return true;
}

QHostAddress HttpServer::clientKey(const QHostAddress& address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(ipv4);
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), quint8(0));
    return QHostAddress(bytes);
}

bool HttpServer::admit(const QHostAddress& client)
{
    if (m_limits.maxPerAddress <= 0 || isThisMachine(client))
        return true;
    const QHostAddress key = clientKey(client);
    const QMutexLocker lock(&m_addressMutex);
    int& count = m_perAddress[key];
    if (count >= m_limits.maxPerAddress)
        return false;
    ++count;
    return true;
}

void HttpServer::release(const QHostAddress& client)
{
    if (m_limits.maxPerAddress <= 0 || isThisMachine(client))
        return;
    const QHostAddress key = clientKey(client);
    const QMutexLocker lock(&m_addressMutex);
    const auto it = m_perAddress.find(key);
    if (it != m_perAddress.end() && --*it == 0)
        m_perAddress.erase(it);
}

bool HttpServer::isTrustedProxy(const QHostAddress& address) const
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    const QHostAddress plain = mapped ? QHostAddress(ipv4) : address;
    return std::any_of(m_limits.trustedProxies.begin(), m_limits.trustedProxies.end(),
                       [&](const std::pair<QHostAddress, int>& subnet) { return plain.isInSubnet(subnet); });
}

QHostAddress HttpServer::clientOf(const HttpRequest& request) const
{
    QHostAddress client = request.peer;
    if (!isTrustedProxy(client))
        return client;
    // Each proxy adds the address it was reached from on the right; what is
    // left of the last trusted one was said by the client itself.
    QList<QByteArray> hops;
    for (const auto& [name, value] : request.headers) {
        if (name == "x-forwarded-for")
            hops += value.split(',');
    }
    for (auto hop = hops.crbegin(); hop != hops.crend() && isTrustedProxy(client); ++hop) {
        const QHostAddress address(QString::fromLatin1(hop->trimmed()));
        if (address.isNull())
            break;
        client = address;
    }
    return client;
}

bool HttpServer::takeBodyRoom(qint64 bytes)
{
    qint64 now = m_bodyBytes.load();
    do {
        if (now + bytes > m_limits.maxBodyBytesInFlight)
            return false;
    } while (!m_bodyBytes.compare_exchange_weak(now, now + bytes));
    qint64 peak = m_bodyBytesPeak.load();
    while (now + bytes > peak && !m_bodyBytesPeak.compare_exchange_weak(peak, now + bytes)) { }
    return true;
}

void HttpServer::giveBodyRoom(qint64 bytes)
{
    if (bytes < 0)
        return;
    if (bytes > 0) {
        const qint64 left = m_bodyBytes.fetch_sub(bytes) - bytes;
        // Once most of a burst of bodies has gone, what they took goes back to the system.
        const qint64 peak = m_bodyBytesPeak.load();
        if (peak > kKeptFreeBytes && left < peak / 4 && m_bodyBytesPeak.exchange(left) == peak)
            QMetaObject::invokeMethod(this, &HttpServer::giveMemoryBack, Qt::QueuedConnection);
    }
    const QMutexLocker lock(&m_roomMutex);
    // Enough of those waiting to take up the room, in the order they came; with
    // no bytes, the next one, which a wake-up that found no one meant for.
    for (qint64 woken = 0; woken < std::max<qint64>(bytes, 1) && !m_waitingForRoom.isEmpty(); woken += kBodyRoomStep) {
        HttpConnection* connection = m_waitingForRoom.takeFirst();
        QMetaObject::invokeMethod(connection, &HttpConnection::roomFreed, Qt::QueuedConnection);
    }
}

void HttpServer::waitForRoom(HttpConnection* connection)
{
    const QMutexLocker lock(&m_roomMutex);
    m_waitingForRoom.append(connection);
    // Room freed between the failed take and now would wake no one.
    if (m_bodyBytes.load() + kBodyRoomStep <= m_limits.maxBodyBytesInFlight) {
        m_waitingForRoom.removeOne(connection);
        QMetaObject::invokeMethod(connection, &HttpConnection::roomFreed, Qt::QueuedConnection);
    }
}

void HttpServer::stopWaiting(HttpConnection* connection)
{
    const QMutexLocker lock(&m_roomMutex);
    m_waitingForRoom.removeOne(connection);
}

void HttpServer::giveMemoryBack()
{
    if (m_trimTimer.isActive()) {
        m_trimPending = true;
        return;
    }
    malloc_trim(0);
    m_trimPending = false;
    m_trimTimer.start(kTrimIntervalMs);
}

void HttpServer::incomingConnection(qintptr descriptor)
{
    // QTcpServer accepts all that are queued at once, even past a pause: the
    // ones over the limit wait here, unread, for a connection to end.
    m_waiting.enqueue(descriptor);
    admitWaiting();
}

void HttpServer::admitWaiting()
{
    if (!isListening())
        return;
    for (;;) {
        if (m_connections >= m_limits.maxConnections) {
            // Paused before the count is looked at again, and a connection
            // that ends looks at the pause after its count: one of the two
            // sees the other, so the server cannot stay paused under its limit.
            if (!m_paused.exchange(true))
                pauseAccepting();
            if (m_connections >= m_limits.maxConnections)
                return;
        }
        if (m_waiting.isEmpty())
            break;
        serve(m_waiting.dequeue());
    }
    if (m_paused.exchange(false))
        resumeAccepting();
}

void HttpServer::serve(qintptr descriptor)
{
    ++m_connections;
    Home& home = *std::min_element(m_homes.begin(), m_homes.end(),
                                   [](const Home& a, const Home& b) { return a.connections < b.connections; });
    ++home.connections;
    // At once when the home is this thread; else queued to the home's thread.
    QMetaObject::invokeMethod(home.parent, [this, descriptor, &home] {
        auto* connection = new HttpConnection(*this, home.parent);
        // Both on the connection's thread: a request costs no other thread a wake-up.
        connect(connection, &HttpConnection::logged, this, &HttpServer::requestLogged, Qt::DirectConnection);
        connect(
            connection, &QObject::destroyed, this, [this, &home] { connectionEnded(home); }, Qt::DirectConnection);
        connection->start(descriptor);
    });
}

void HttpServer::connectionEnded(Home& home)
{
    --home.connections;
    if (--m_connections < m_limits.maxConnections && m_paused)
        QMetaObject::invokeMethod(this, &HttpServer::admitWaiting, Qt::QueuedConnection);
}
