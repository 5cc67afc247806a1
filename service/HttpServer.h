#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QHash>
#include <QMutex>
#include <QQueue>
#include <QTcpServer>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <vector>

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
    // many connections from one address). Quick: on the connection's thread.
    virtual HttpResponse refusal(int status) = 0;
};

// HTTP/1.0 and 1.1 on plain TCP. The server's own thread accepts
// connections; each goes to the one of its threads, its own and one per core,
// that holds the fewest, its own first: one client at a time is served
// without a thread waking another. Requests that may wait are answered on a pool of other threads, so
// that a slow answer holds up no other connection. Each request must arrive
// whole in time, and past the connection limit clients wait in the listening
// queue.
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
        // A body, and an answer on its way out, must keep up with this rate
        // from their start; they may fall behind by slackMs at most.
        qint64 minBytesPerSecond = 32 * 1024;
        int slackMs = 5 * 1000;
        int maxConnections = 512;
        // Connections one address may hold; 0 for no limit. 127.0.0.1 and ::1,
        // where a proxy on the same machine connects from, have none.
        int maxPerAddress = 64;
        // After a refusal, the client is read (and ignored) until it is quiet
        // this long, so that closing does not reset the connection and lose the answer.
        int lingerMs = 1000;
        int maxLingerMs = 5 * 1000;
    };

    HttpServer(HttpHandler& handler, const Limits& limits, QObject* parent = nullptr);
    ~HttpServer() override;

    const Limits& limits() const { return m_limits; }
    HttpHandler& handler() { return m_handler; }
    QThreadPool& pool() { return m_pool; }
    int connectionCount() const { return m_connections.load(); }

    // For a connection from this address: false when it holds its share.
    bool admit(const QHostAddress& peer);
    void release(const QHostAddress& peer);

signals:
    // "POST /? 200 5123": method, target, status, bytes of the answer's body.
    // Emitted on the thread that answered the request.
    void requestLogged(const QString& line);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Home
    {
        explicit Home(QObject* parent) : parent(parent) { }
        QObject* parent; // of its connections, in its thread
        std::atomic<int> connections = 0;
    };

    // On the connection's thread.
    void connectionEnded(Home& home);
    // On the server's thread, after a connection ended at the limit.
    void admitWaiting();

    HttpHandler& m_handler;
    Limits m_limits;
    std::vector<QThread*> m_threads;
    std::deque<Home> m_homes;
    QThreadPool m_pool;
    std::atomic<int> m_connections = 0;
    QQueue<qintptr> m_waiting; // accepted past the limit, not yet read
    QMutex m_addressMutex;
    QHash<QHostAddress, int> m_perAddress;
};
