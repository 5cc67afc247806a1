#include "GuardedTcpServer.h"

#include "ServicePages.h"

#include <algorithm>
#include <climits>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Refusal
{
    int status;
    QByteArrayView reason;
    const char* message;
};

constexpr Refusal kRefusals[] = {
    { 400, "Bad Request", "The request's Content-Length is no number, or it has two that differ." },
    { 408, "Request Timeout", "The request did not arrive in time." },
    { 411, "Length Required", "Send the upload with a Content-Length header, not in chunks." },
    { 413, "Payload Too Large", "The request is larger than %1 bytes; an image may have at most 3145727 bytes." },
    { 431, "Request Header Fields Too Large", "The request's header lines are too long." },
};

} // namespace

GuardedSocket::GuardedSocket(const Limits& limits, QObject* parent)
    : QTcpSocket(parent)
    , m_limits(limits)
    , m_framer(limits.maxHeadBytes, limits.maxBodyBytes)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &GuardedSocket::deadlinePassed);
    // Made before the HTTP server makes its own: this sees every byte first.
    connect(this, &QTcpSocket::readyRead, this, &GuardedSocket::inspect);
    m_deadline.start(m_limits.headDeadlineMs);
    m_idleSince.start();
}

int GuardedSocket::allowanceMs(qint64 bytes) const
{
    return int(std::min<qint64>(bytes * 1000 / m_limits.minBytesPerSecond, INT_MAX / 2));
}

void GuardedSocket::inspect()
{
    if (m_refused) {
        drain();
        m_deadline.start(int(std::min<qint64>(m_limits.refusedLingerMs, m_lingerEnd.remainingTime())));
        return;
    }
    const int status = m_framer.feed(peek(bytesAvailable()));
    if (status == 100)
        write("HTTP/1.1 100 Continue\r\n\r\n");
    else if (status != RequestFramer::kPass)
        refuse(status);
}

void GuardedSocket::answerWritten(bool close)
{
    flush();
    m_idleSince.start();
    const int allowance = m_limits.headDeadlineMs + allowanceMs(bytesToWrite());
    if (close)
        closeWithin(allowance);
    else
        m_deadline.start(allowance);
}

void GuardedSocket::deadlinePassed()
{
    // Quiet for long enough after a refusal: the answer can go out whole.
    if (m_refused && !m_lingerEnd.hasExpired() && state() == ConnectedState)
        return closeWithin(m_limits.refusedMaxLingerMs);
    // Still sending after a refusal, or not reading what it was sent.
    if (m_refused || state() != ConnectedState || bytesToWrite() > 0)
        return abort();
    if (m_framer.bodyRemaining() > 0) {
        const qint64 left = m_limits.headDeadlineMs + allowanceMs(m_framer.bodyLength()) - m_idleSince.elapsed();
        if (left > 0)
            return m_deadline.start(int(left));
    }
    if (m_framer.inRequest())
        return refuse(408);
    closeWithin(m_limits.refusedMaxLingerMs);
}

void GuardedSocket::closeWithin(int ms)
{
    disconnectFromHost();
    if (state() != UnconnectedState)
        m_deadline.start(ms);
}

// The HTTP server reads inside a transaction, which would keep every drained
// byte; committing it lets them go.
void GuardedSocket::drain()
{
    if (isTransactionStarted())
        commitTransaction();
    skip(bytesAvailable());
}

void GuardedSocket::refuse(int status)
{
    m_refused = true;
    drain();
    const Refusal& refusal = *std::find_if(std::begin(kRefusals), std::end(kRefusals),
                                           [status](const Refusal& r) { return r.status == status; });
    const QByteArray page = ServicePages::errorPage(
        u"Request refused"_s,
        QString::fromLatin1(refusal.message).replace(u"%1"_s, QString::number(m_limits.maxBodyBytes)));
    write("HTTP/1.1 " + QByteArray::number(status) + ' ' + refusal.reason.toByteArray()
          + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + QByteArray::number(page.size())
          + "\r\nConnection: close\r\n\r\n" + page);
    flush();
    emit refused(m_framer.method(), m_framer.target(), status, page.size());
    // Closing while the client is still sending would reset the connection
    // and could lose the answer: wait for a pause first.
    m_lingerEnd.setRemainingTime(m_limits.refusedMaxLingerMs);
    m_deadline.start(m_limits.refusedLingerMs);
}

GuardedTcpServer::GuardedTcpServer(const GuardedSocket::Limits& limits, int maxConnections, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_maxConnections(maxConnections)
{
    // A burst of clients waits in the kernel's queue rather than being dropped.
    setListenBacklogSize(1024);
}

GuardedTcpServer::~GuardedTcpServer()
{
    // QTcpServer's own destructor deletes the connections not handed out yet,
    // when nothing of this class is left to count them.
    for (GuardedSocket* socket : findChildren<GuardedSocket*>())
        socket->disconnect(this);
    for (const qintptr descriptor : std::as_const(m_waiting))
        ::close(int(descriptor));
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    // QTcpServer accepts all that are queued at once, even past a pause: the
    // ones over the limit wait here, unread, for a connection to end.
    if (m_connections >= m_maxConnections) {
        m_waiting.enqueue(descriptor);
        return;
    }
    auto* socket = new GuardedSocket(m_limits, this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (++m_connections >= m_maxConnections)
        pauseAccepting();
    connect(socket, &QObject::destroyed, this, [this] {
        --m_connections;
        if (!m_waiting.isEmpty())
            incomingConnection(m_waiting.dequeue());
        else if (m_connections < m_maxConnections)
            resumeAccepting();
    });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &GuardedSocket::refused, this, &GuardedTcpServer::refused);
    addPendingConnection(socket);
}
