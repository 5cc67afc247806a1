#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QQueue>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

class HttpConnection;
class QThread;

// What a server serves.
class HttpHandler
{
public:
    virtual ~HttpHandler() = default;

    // Whether answering this request may wait on something slow (a store
    // across the network, a child process): such a request is answered on
    // the server's pool. The others are answered where they were read: the
    // way from one thread to another and back costs more than most answers.
    virtual bool mayWait(const HttpRequest& request) const = 0;
    // For several requests at once, on several threads.
    virtual HttpResponse respond(const HttpRequest& request) = 0;
    // The answer to a request the server refuses itself, with one of the
    // statuses HttpHead::refusal names, 408 (not whole in time) or 503 (too
    // many connections from one address, or too many bodies in memory at
    // once). Quick: on the connection's thread.
    virtual HttpResponse refusal(int status) = 0;
};

// HTTP/1.0 and 1.1 on plain TCP. The server's own thread accepts
// connections; each goes to the one of its threads, its own and one per core,
// that holds the fewest, its own first: one client at a time is served
// without a thread waking another. Requests that may wait are answered on a
// pool of other threads, so that a slow answer holds up no other connection.
// Each request must arrive whole in time, and past the connection limit
// clients wait in the listening queue.
class HttpServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Limits
    {
        qsizetype maxHeadBytes = 64 * 1024;
        // Room above the largest image and its form, so that a file somewhat
        // too large still reaches the form reader and its message.
        qint64 maxBodyBytes = 4 * 1024 * 1024;
        // The head whole within this of the connection or the previous answer.
        int headTimeoutMs = 10 * 1000;
        // A body, and an answer on its way out, must move at this rate over
        // every stretch of rateWindowMs: a body sent at once but for its last
        // byte has that long, however large it is.
        qint64 minBytesPerSecond = 32 * 1024;
        int rateWindowMs = 5 * 1000;
        // Waiting costs a connection a descriptor and a few KiB.
        int maxConnections = 4096;
        // Connections one client may hold; 0 for no limit. 127.0.0.1 and ::1,
        // where a proxy on the same machine connects from, have none. An IPv6
        // client is its /64, which one machine usually has to itself.
        int maxPerAddress = 64;
        // Bodies in memory at once, all connections together. A body that
        // finds no room waits, unread, for up to headTimeoutMs, then gets 503.
        qint64 maxBodyBytesInFlight = 256 * 1024 * 1024;
        // Proxies whose X-Forwarded-For names the client: addresses with
        // their prefix length (QHostAddress::parseSubnet).
        QList<std::pair<QHostAddress, int>> trustedProxies;
        // After a refusal or a last answer, the client is read (and ignored)
        // until it is quiet this long, so that closing does not reset the
        // connection and lose the answer.
        int lingerMs = 1000;
        int maxLingerMs = 5 * 1000;
    };

    HttpServer(HttpHandler& handler, const Limits& limits, QObject* parent = nullptr);
    ~HttpServer() override;

    const Limits& limits() const { return m_limits; }
    HttpHandler& handler() { return m_handler; }
    int connectionCount() const { return m_connections.load(); }

    // Runs work on the pool; false once the server is going away.
    bool startWork(std::function<void()> work);

    // For a connection, or a request through a trusted proxy, from this
    // client: false when it holds its share. Release what was admitted.
    bool admit(const QHostAddress& client);
    void release(const QHostAddress& client);
    bool isTrustedProxy(const QHostAddress& address) const;
    // The client a request came from: the connection's peer, or behind
    // trusted proxies the last address in X-Forwarded-For that none of them is.
    QHostAddress clientOf(const HttpRequest& request) const;
    // The key a client is counted under: its IPv4 address, or its IPv6 /64.
    static QHostAddress clientKey(const QHostAddress& address);

    // Room for bytes of a body: all or none. A connection that gets none
    // asks for kBodyRoomStep at most, and waits for waitForRoom to call it back.
    static constexpr qint64 kBodyRoomStep = 256 * 1024;
    bool takeBodyRoom(qint64 bytes);
    void giveBodyRoom(qint64 bytes);
    void waitForRoom(HttpConnection* connection);
    void stopWaiting(HttpConnection* connection);
    qint64 bodyBytesInFlight() const { return m_bodyBytes.load(); }

signals:
    // "POST /? 200 5123 203.0.113.7": method, target, status, bytes of the
    // answer's body, client. Emitted on the thread that answered the request.
    void requestLogged(const QString& line);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Home
    {
        explicit Home(QObject* parent)
            : parent(parent)
        { }
        QObject* parent; // of its connections, in its thread
        std::atomic<int> connections = 0;
    };

    void serve(qintptr descriptor);
    // On the connection's thread.
    void connectionEnded(Home& home);
    // On the server's thread: takes waiting connections while under the
    // limit, and accepts again once none waits.
    void admitWaiting();
    // On the server's thread: memory freed after a burst goes back to the system.
    void giveMemoryBack();

    HttpHandler& m_handler;
    Limits m_limits;
    std::vector<QThread*> m_threads;
    std::deque<Home> m_homes;
    QThreadPool m_pool;
    QMutex m_poolMutex;
    bool m_stopping = false;
    std::atomic<int> m_connections = 0;
    std::atomic<bool> m_paused = false;
    QQueue<qintptr> m_waiting; // accepted past the limit, not yet read
    QMutex m_addressMutex;
    QHash<QHostAddress, int> m_perAddress;
    std::atomic<qint64> m_bodyBytes = 0;
    std::atomic<qint64> m_bodyBytesPeak = 0; // since memory was last given back
    QTimer m_trimTimer;
    bool m_trimPending = false;
    QMutex m_roomMutex;
    QList<HttpConnection*> m_waitingForRoom;
};
