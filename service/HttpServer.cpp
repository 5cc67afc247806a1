#include "HttpServer.h"

#include "HttpConnection.h"

#include <QTcpSocket>
#include <QThread>

#include <algorithm>

namespace {

// Requests answered at once; most of them wait on a disk or a network.
constexpr int kAnsweringThreads = 16;

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
}

HttpServer::~HttpServer()
{
    close();
    // Answers still being made reach their connections, which then go with their threads.
    m_pool.waitForDone();
    // This thread's own connections go before what they use of the server.
    qDeleteAll(findChildren<HttpConnection*>(Qt::FindDirectChildrenOnly));
    for (QThread* thread : m_threads) {
        thread->quit();
        thread->wait();
    }
    // Closed with the socket that takes them over.
    for (const qintptr descriptor : std::as_const(m_waiting))
        QTcpSocket().setSocketDescriptor(descriptor);
}

bool HttpServer::admit(const QHostAddress& peer)
{
    if (m_limits.maxPerAddress <= 0 || peer == QHostAddress::LocalHost || peer == QHostAddress::LocalHostIPv6)
        return true;
    const QMutexLocker lock(&m_addressMutex);
    int& count = m_perAddress[peer];
    if (count >= m_limits.maxPerAddress)
        return false;
    ++count;
    return true;
}

void HttpServer::release(const QHostAddress& peer)
{
    const QMutexLocker lock(&m_addressMutex);
    const auto it = m_perAddress.find(peer);
    if (it != m_perAddress.end() && --*it == 0)
        m_perAddress.erase(it);
}

void HttpServer::incomingConnection(qintptr descriptor)
{
    // QTcpServer accepts all that are queued at once, even past a pause: the
    // ones over the limit wait here, unread, for a connection to end.
    if (m_connections >= m_limits.maxConnections) {
        m_waiting.enqueue(descriptor);
        return;
    }
    if (++m_connections >= m_limits.maxConnections)
        pauseAccepting();
    Home& home = *std::min_element(m_homes.begin(), m_homes.end(),
                                   [](const Home& a, const Home& b) { return a.connections < b.connections; });
    ++home.connections;
    // At once when the home is this thread; else queued to the home's thread.
    QMetaObject::invokeMethod(home.parent, [this, descriptor, &home] {
        auto* connection = new HttpConnection(*this, home.parent);
        // Both on the connection's thread: a request costs no other thread a wake-up.
        connect(connection, &HttpConnection::logged, this, &HttpServer::requestLogged, Qt::DirectConnection);
        connect(connection, &QObject::destroyed, this, [this, &home] { connectionEnded(home); },
                Qt::DirectConnection);
        connection->start(descriptor);
    });
}

void HttpServer::connectionEnded(Home& home)
{
    --home.connections;
    // Below the limit this thread has nothing to do; at it, the server may
    // have stopped accepting, or hold connections waiting.
    if (m_connections.fetch_sub(1) >= m_limits.maxConnections)
        QMetaObject::invokeMethod(this, &HttpServer::admitWaiting, Qt::QueuedConnection);
}

void HttpServer::admitWaiting()
{
    if (!isListening())
        return;
    if (!m_waiting.isEmpty())
        incomingConnection(m_waiting.dequeue());
    else if (m_connections < m_limits.maxConnections)
        resumeAccepting();
}
