#include "HttpConnection.h"

#include "HttpServer.h"

#include <algorithm>
#include <climits>

namespace {

constexpr QByteArrayView kHeadEnd = "\r\n\r\n";
constexpr QByteArrayView kCrLf = "\r\n";
constexpr QByteArrayView kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr qint64 kReadBufferBytes = 256 * 1024;
constexpr qint64 kUsualHeadBytes = 4 * 1024;
constexpr qsizetype kMaxLoggedTarget = 200;

} // namespace

HttpConnection::HttpConnection(HttpServer& server, QObject* parent)
    : QObject(parent)
    , m_server(server)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &HttpConnection::deadlinePassed);
    connect(&m_socket, &QTcpSocket::readyRead, this, &HttpConnection::readRequest);
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::written);
    connect(&m_socket, &QTcpSocket::disconnected, this, &HttpConnection::ended);
}

void HttpConnection::start(qintptr descriptor)
{
    if (!m_socket.setSocketDescriptor(descriptor))
        return deleteLater();
    m_socket.setReadBufferSize(kReadBufferBytes);
    m_peer = m_socket.peerAddress();
    m_admitted = m_server.admit(m_peer);
    if (!m_admitted)
        return refuse(503);
    enter(State::Head);
    readRequest();
}

HttpConnection::~HttpConnection()
{
    if (m_admitted)
        m_server.release(m_peer);
}

void HttpConnection::enter(State state)
{
    m_state = state;
    m_stateClock.start();
    keepTime(0);
}

void HttpConnection::keepTime(qint64 bytesDone)
{
    const HttpServer::Limits& limits = m_server.limits();
    const qint64 elapsed = m_stateClock.elapsed();
    qint64 leftMs = 0;
    switch (m_state) {
    case State::Head:
        leftMs = limits.headTimeoutMs - elapsed;
        break;
    case State::Body:
    case State::Writing:
        leftMs = limits.slackMs + bytesDone * 1000 / limits.minBytesPerSecond - elapsed;
        break;
    case State::Answering:
        return m_deadline.stop();
    case State::Refused:
        // Once quiet for a while, but not for ever.
        leftMs = std::min<qint64>(limits.lingerMs, limits.maxLingerMs - elapsed);
        break;
    case State::Closing:
        leftMs = limits.maxLingerMs - elapsed;
        break;
    }
    m_deadline.start(int(std::clamp<qint64>(leftMs, 0, INT_MAX)));
}

// Until a request's answer is out the socket reads nothing more: its last
// byte is left in the socket's buffer, and the buffer is limited to what it
// holds. So a client that half-closes its side after the request still gets
// its answer (a QTcpSocket that reads the end of its input closes at once),
// and a request sent early waits for the answer before it.
void HttpConnection::readRequest()
{
    const HttpServer::Limits& limits = m_server.limits();
    if (m_state == State::Refused) {
        m_socket.skip(m_socket.bytesAvailable());
        return keepTime(0);
    }
    if (m_state == State::Head) {
        // Blank lines may come before a request, such as one that ended its body with CR LF.
        while (m_socket.peek(kCrLf.size()) == kCrLf)
            m_socket.skip(kCrLf.size());
        // Most heads end within a few kilobytes: the whole allowance is looked
        // at only when they do not, not copied out with the body's first bytes each time.
        const qint64 firstLook = std::min<qint64>(kUsualHeadBytes, limits.maxHeadBytes);
        QByteArray seen = m_socket.peek(firstLook);
        qsizetype end = seen.indexOf(kHeadEnd);
        if (end < 0 && seen.size() == firstLook) {
            seen = m_socket.peek(limits.maxHeadBytes);
            end = seen.indexOf(kHeadEnd);
        }
        if (end < 0) {
            if (seen.size() >= limits.maxHeadBytes)
                refuse(431);
            return;
        }
        m_head = HttpHead::parse(QByteArrayView(seen).first(end + kHeadEnd.size()), limits.maxBodyBytes);
        m_head.request.peer = m_peer;
        if (m_head.refusal != 0)
            return refuse(m_head.refusal);
        m_socket.skip(end + kHeadEnd.size() - (m_head.bodyLength == 0 ? 1 : 0));
        if (m_head.expectsContinue && m_head.bodyLength > 0 && m_socket.bytesAvailable() == 0)
            m_socket.write(kContinue.data(), kContinue.size());
        enter(State::Body);
    }
    if (m_state != State::Body)
        return;
    QByteArray& body = m_head.request.body;
    if (m_head.bodyLength > 0) {
        // Read into a body of its announced size, which the head's check has bounded.
        body.reserve(m_head.bodyLength);
        const qsizetype had = body.size();
        body.resize(had + std::min(m_socket.bytesAvailable(), m_head.bodyLength - had - 1));
        body.resize(had + std::max<qint64>(0, m_socket.read(body.data() + had, body.size() - had)));
        if (body.size() < m_head.bodyLength - 1 || m_socket.bytesAvailable() == 0)
            return keepTime(body.size());
        body += m_socket.peek(1);
    }
    dispatch();
}

void HttpConnection::dispatch()
{
    m_socket.setReadBufferSize(m_socket.bytesAvailable());
    HttpHandler& handler = m_server.handler();
    if (!handler.mayWait(m_head.request))
        return answer(handler.respond(m_head.request));
    enter(State::Answering);
    m_server.pool().start([this, request = m_head.request, &handler] {
        const HttpResponse response = handler.respond(request);
        QMetaObject::invokeMethod(this, [this, response] { answer(response); });
    });
    m_head.request.body.clear();
}

void HttpConnection::answer(const HttpResponse& response)
{
    if (m_gone)
        return deleteLater();
    log(response.status, response.body.size());
    m_socket.write(response.head(m_head.closeAfterAnswer));
    if (m_head.request.method != "HEAD")
        m_socket.write(response.body);
    m_written = 0;
    enter(State::Writing);
}

void HttpConnection::written(qint64 bytes)
{
    if (m_state != State::Writing)
        return;
    m_written += bytes;
    if (m_socket.bytesToWrite() > 0)
        return keepTime(m_written);
    if (m_head.closeAfterAnswer) {
        enter(State::Closing);
        return m_socket.disconnectFromHost();
    }
    // The answer is out: the request's last byte goes, and the next may come.
    m_socket.skip(1);
    m_socket.setReadBufferSize(kReadBufferBytes);
    m_head = HttpHead();
    enter(State::Head);
    readRequest();
}

void HttpConnection::refuse(int status)
{
    const HttpResponse response = m_server.handler().refusal(status);
    log(status, response.body.size());
    m_socket.write(response.head(true) + response.body);
    m_socket.skip(m_socket.bytesAvailable());
    enter(State::Refused);
}

void HttpConnection::deadlinePassed()
{
    switch (m_state) {
    case State::Head:
        // A client that sent nothing is let go without a word.
        if (m_socket.bytesAvailable() == 0)
            return m_socket.abort();
        return refuse(408);
    case State::Body:
        return refuse(408);
    case State::Refused:
        enter(State::Closing);
        return m_socket.disconnectFromHost();
    case State::Writing: // not reading its answer
    case State::Closing:
        return m_socket.abort();
    case State::Answering:
        return;
    }
}

void HttpConnection::ended()
{
    if (m_state == State::Answering)
        m_gone = true;
    else
        deleteLater();
}

void HttpConnection::log(int status, qint64 bodyBytes)
{
    const HttpRequest& request = m_head.request;
    const QByteArray method = request.method.isEmpty() ? "-" : request.method;
    const QByteArray target = request.target.isEmpty() ? "-" : request.target.left(kMaxLoggedTarget);
    emit logged(QString::fromLatin1(method + ' ' + target + ' ' + QByteArray::number(status) + ' '
                                    + QByteArray::number(bodyBytes)));
}
