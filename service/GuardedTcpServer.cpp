#include "GuardedTcpServer.h"

#include "RequestFramer.h"
#include "ServicePages.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

struct Refusal
{
    int status;
    QByteArrayView reason;
    QString title;
    QString message;
};

Refusal refusalFor(RequestFramer::Verdict verdict, qint64 maxBodyBytes)
{
    switch (verdict) {
    case RequestFramer::Verdict::BodyTooLarge:
        return { 413, "Payload Too Large", QStringLiteral("Upload too large"),
                 QStringLiteral("The request is larger than %1 bytes; an image may have at most 3145727 bytes.")
                     .arg(maxBodyBytes) };
    case RequestFramer::Verdict::HeadTooLarge:
        return { 431, "Request Header Fields Too Large", QStringLiteral("Request refused"),
                 QStringLiteral("The request's header lines are too long.") };
    case RequestFramer::Verdict::LengthRequired:
        return { 411, "Length Required", QStringLiteral("Request refused"),
                 QStringLiteral("Send the upload with a Content-Length header, not in chunks.") };
    default:
        return { 400, "Bad Request", QStringLiteral("Request refused"),
                 QStringLiteral("The request's Content-Length is not a number.") };
    }
}

QByteArray rawResponse(int status, QByteArrayView reason, const QByteArray& page)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason.toByteArray()
        + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + QByteArray::number(page.size())
        + "\r\nConnection: close\r\n\r\n" + page;
}

} // namespace

// Lives as a child of its socket and sees every byte before the HTTP server does
// (its readyRead connection is made first).
class ConnectionGuard : public QObject
{
public:
    ConnectionGuard(QTcpSocket* socket, GuardedTcpServer* server)
        : QObject(socket)
        , m_socket(socket)
        , m_server(server)
        , m_framer(server->m_limits.maxHeadBytes, server->m_limits.maxBodyBytes)
    {
        ++server->m_connections;
        m_idle.setSingleShot(true);
        m_idle.setInterval(server->m_limits.idleTimeoutMs);
        connect(&m_idle, &QTimer::timeout, this, &ConnectionGuard::idleExpired);
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::readyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (!m_refused)
                m_idle.start();
        });
        m_idle.start();
    }

    ~ConnectionGuard() override
    {
        if (m_server)
            --m_server->m_connections;
    }

private:
    void readyRead()
    {
        acknowledgeAtOnce();
        if (m_refused) {
            drain();
            m_idle.start();
            return;
        }
        m_idle.start();
        const RequestFramer::Verdict verdict = m_framer.feed(m_socket->peek(m_socket->bytesAvailable()));
        if (verdict == RequestFramer::Verdict::ExpectContinue)
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        else if (RequestFramer::isRefusal(verdict))
            refuse(verdict);
    }

    // A client that leaves Nagle's algorithm on holds the last small piece of
    // its upload until the previous one is acknowledged; with delayed ACKs that
    // costs up to 40 ms per upload. The kernel drops quick-ack mode again by
    // itself, so it is asked for after every read.
    void acknowledgeAtOnce()
    {
#if defined(__linux__) && defined(TCP_QUICKACK)
        const int on = 1;
        ::setsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
    }

    // The HTTP server reads inside a transaction, which would keep every
    // drained byte; committing it lets them go.
    void drain()
    {
        if (m_socket->isTransactionStarted())
            m_socket->commitTransaction();
        m_socket->skip(m_socket->bytesAvailable());
    }

    void refuse(RequestFramer::Verdict verdict)
    {
        m_refused = true;
        drain();
        const Refusal refusal = refusalFor(verdict, m_server->m_limits.maxBodyBytes);
        const QByteArray page = ServicePages::errorPage(refusal.title, refusal.message);
        m_socket->write(rawResponse(refusal.status, refusal.reason, page));
        emit m_server->refused(m_framer.method(), m_framer.target(), refusal.status, page.size());
        // Closing at once while the client is still sending would reset the
        // connection and could lose the answer: wait for a pause first.
        m_idle.setInterval(m_server->m_limits.refusedLingerMs);
        m_idle.start();
        QTimer::singleShot(m_server->m_limits.refusedMaxLingerMs, this, [this] { close(false); });
    }

    void idleExpired() { close(true); }

    // Graceful unless the peer would not stop sending.
    void close(bool graceful)
    {
        connect(m_socket, &QTcpSocket::disconnected, m_socket, &QObject::deleteLater, Qt::UniqueConnection);
        if (graceful)
            m_socket->disconnectFromHost();
        else
            m_socket->abort();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            m_socket->deleteLater();
    }

    QTcpSocket* m_socket;
    QPointer<GuardedTcpServer> m_server;
    RequestFramer m_framer;
    QTimer m_idle;
    bool m_refused = false;
};

GuardedTcpServer::GuardedTcpServer(const Limits& limits, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits)
{
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (m_connections >= m_limits.maxConnections) {
        const QByteArray page = ServicePages::errorPage(QStringLiteral("Service busy"),
                                                        QStringLiteral("Too many connections; try again shortly."));
        socket->write(rawResponse(503, "Service Unavailable", page));
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
        emit refused("-", "-", 503, page.size());
        return;
    }
    new ConnectionGuard(socket, this);
    addPendingConnection(socket);
}
