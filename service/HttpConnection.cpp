#include "HttpConnection.h"

#include "HttpServer.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr QByteArrayView kCrLf = "\r\n";
constexpr QByteArrayView kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr qsizetype kBareLineFeed = -2;
// Read at a time outside a body; most heads are far smaller.
constexpr qsizetype kReadChunk = 16 * 1024;
// A head longer than this takes its allowance from the budget for bodies:
// thousands of connections with heads of 64 KiB would take as much as bodies.
constexpr qsizetype kFreeHeadBytes = 16 * 1024;
// A body's first room, which most uploads fit in one piece; it doubles from
// there up to the announced length.
constexpr qint64 kFirstBodyBytes = 256 * 1024;
// Pieces of the answer handed to the kernel in one call.
constexpr int kMaxPiecesAtOnce = 8;
// Samples of a pace over its window.
constexpr qint64 kPaceSamples = 8;
constexpr qsizetype kMaxLoggedTarget = 200;

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

void HttpConnection::Pace::start(qint64 nowMs, qint64 total)
{
    m_samples.assign(1, { nowMs, total });
    m_total = total;
    m_lastMs = nowMs;
}

void HttpConnection::Pace::add(qint64 bytes, qint64 nowMs, qint64 windowMs)
{
    m_total += bytes;
    m_lastMs = nowMs;
    if (nowMs - m_samples.back().timeMs >= windowMs / kPaceSamples)
        m_samples.push_back({ nowMs, m_total });
    // The last sample at or before the window's start stands for it.
    while (m_samples.size() > 1 && m_samples[1].timeMs <= nowMs - windowMs)
        m_samples.pop_front();
}

qint64 HttpConnection::Pace::leftMs(qint64 nowMs, qint64 windowMs, qint64 need) const
{
    // The window falls short once it starts after the first sample that
    // leaves fewer than need bytes after it.
    for (const Sample& sample : m_samples) {
        if (sample.total > m_total - need)
            return sample.timeMs + windowMs - nowMs;
    }
    return m_lastMs + windowMs - nowMs;
}

HttpConnection::HttpConnection(HttpServer& server, QObject* parent)
    : QObject(parent)
    , m_server(server)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &HttpConnection::deadlinePassed);
}

HttpConnection::~HttpConnection()
{
    m_server.stopWaiting(this);
    if (m_bodyRoom + m_headRoom > 0)
        m_server.giveBodyRoom(m_bodyRoom + m_headRoom);
    if (m_clientAdmitted)
        m_server.release(m_client);
    if (m_peerAdmitted)
        m_server.release(m_peer);
    m_reader.reset();
    m_writer.reset();
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

void HttpConnection::start(qintptr descriptor)
{
    m_descriptor = int(descriptor);
    m_clock.start();
    sockaddr_storage address = {};
    socklen_t addressSize = sizeof address;
    const int on = 1;
    if (::fcntl(m_descriptor, F_SETFL, ::fcntl(m_descriptor, F_GETFL) | O_NONBLOCK) != 0
        || ::getpeername(m_descriptor, reinterpret_cast<sockaddr*>(&address), &addressSize) != 0)
        return close();
    // Answers go out whole, in one call: nothing is gained by holding their last piece back.
    ::setsockopt(m_descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_peer = QHostAddress(reinterpret_cast<const sockaddr*>(&address));
    // An IPv4 client of a service bound to :: arrives as ::ffff:a.b.c.d.
    bool mapped = false;
    if (const quint32 ipv4 = m_peer.toIPv4Address(&mapped); mapped)
        m_peer = QHostAddress(ipv4);
    m_client = m_peer;
    m_reader = std::make_unique<QSocketNotifier>(m_descriptor, QSocketNotifier::Read);
    m_writer = std::make_unique<QSocketNotifier>(m_descriptor, QSocketNotifier::Write);
    m_writer->setEnabled(false);
    connect(m_reader.get(), &QSocketNotifier::activated, this, &HttpConnection::readable);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &HttpConnection::flush);
    // Behind a proxy, each request is counted for the client it names.
    if (!m_server.isTrustedProxy(m_peer)) {
        m_peerAdmitted = m_server.admit(m_peer);
        if (!m_peerAdmitted)
            return refuse(503);
    }
    enter(State::Head);
    readHead();
}

void HttpConnection::enter(State state)
{
    m_state = state;
    m_stateStartMs = now();
    keepTime();
}

void HttpConnection::keepTime()
{
    const HttpServer::Limits& limits = m_server.limits();
    const qint64 nowMs = now();
    const qint64 need = limits.minBytesPerSecond * limits.rateWindowMs / 1000;
    qint64 leftMs = 0;
    switch (m_state) {
    case State::Head:
        leftMs = limits.headTimeoutMs - (nowMs - m_stateStartMs);
        break;
    case State::Body:
        leftMs = m_waitingForRoom ? limits.headTimeoutMs - (nowMs - m_waitStartMs)
                                  : m_pace.leftMs(nowMs, limits.rateWindowMs, need);
        break;
    case State::Writing:
        leftMs = m_pace.leftMs(nowMs, limits.rateWindowMs, need);
        break;
    case State::Answering:
        return m_deadline.stop();
    case State::Lingering:
        // Once quiet for a while, but not for ever.
        leftMs = std::min(limits.lingerMs - (nowMs - std::max(m_lastInputMs, m_stateStartMs)),
                          limits.maxLingerMs - (nowMs - m_stateStartMs));
        break;
    }
    m_deadline.start(int(std::clamp<qint64>(leftMs, 0, INT_MAX)));
}

qint64 HttpConnection::receive(char* into, qint64 size)
{
    const ssize_t got = ::recv(m_descriptor, into, size_t(size), 0);
    if (got > 0) {
        m_lastInputMs = now();
        return got;
    }
    if (got < 0 && wouldBlock())
        return 0;
    m_inputEnded = true;
    m_broken = got < 0;
    m_reader->setEnabled(false);
    return -1;
}

void HttpConnection::readable()
{
    if (m_closed)
        return;
    switch (m_state) {
    case State::Head:
        return readHead();
    case State::Body:
        return readBody();
    case State::Lingering:
        return drain();
    case State::Answering:
    case State::Writing:
        m_reader->setEnabled(false);
        return;
    }
}

qsizetype HttpConnection::headLength()
{
    // Blank lines may come before a request, such as one that ended its body with CR LF.
    qsizetype blank = 0;
    while (QByteArrayView(m_input).sliced(blank).startsWith(kCrLf))
        blank += kCrLf.size();
    if (blank > 0) {
        m_input.remove(0, blank);
        m_scanned = 0;
    }
    // Only what arrived since the last look: a head sent a byte at a time costs no more than one sent at once.
    for (qsizetype at = m_input.indexOf('\n', m_scanned); at >= 0; at = m_input.indexOf('\n', at + 1)) {
        if (at == 0 || m_input[at - 1] != '\r')
            return kBareLineFeed;
        if (at >= 3 && m_input[at - 2] == '\n' && m_input[at - 3] == '\r')
            return at + 1;
    }
    m_scanned = m_input.size();
    return -1;
}

void HttpConnection::readHead()
{
    if (m_closed)
        return;
    const qsizetype maxHeadBytes = m_server.limits().maxHeadBytes;
    for (;;) {
        const qsizetype length = headLength();
        if (length == kBareLineFeed)
            return refuse(400);
        if (length >= 0)
            return takeHead(length);
        if (m_input.size() >= maxHeadBytes)
            return refuse(431);
        if (m_inputEnded) {
            // A client that ends between requests is let go without a word.
            if (m_input.isEmpty())
                return close();
            return refuse(400);
        }
        char chunk[kReadChunk];
        const qint64 got = receive(chunk, std::min(kReadChunk, maxHeadBytes - m_input.size()));
        if (got == 0)
            return keepTime();
        if (m_broken)
            return close();
        if (got > 0 && m_input.size() + got > kFreeHeadBytes && m_headRoom == 0) {
            if (!m_server.takeBodyRoom(maxHeadBytes))
                return refuse(503);
            m_headRoom = maxHeadBytes;
        }
        if (got > 0)
            m_input.append(chunk, got);
    }
}

void HttpConnection::takeHead(qsizetype length)
{
    const HttpServer::Limits& limits = m_server.limits();
    if (length > limits.maxHeadBytes)
        return refuse(431);
    m_head = HttpHead::parse(QByteArrayView(m_input).first(length), limits.maxBodyBytes);
    m_input.remove(0, length);
    if (m_input.isEmpty())
        m_input.clear(); // gives its memory back
    m_scanned = 0;
    if (m_headRoom > 0)
        m_server.giveBodyRoom(std::exchange(m_headRoom, 0));
    m_head.request.peer = m_peer;
    if (m_head.refusal != 0)
        return refuse(m_head.refusal);
    if (m_server.isTrustedProxy(m_peer)) {
        m_client = m_server.clientOf(m_head.request);
        m_head.request.peer = m_client;
        m_clientAdmitted = m_server.admit(m_client);
        if (!m_clientAdmitted)
            return refuse(503);
    }
    if (m_head.bodyLength == 0)
        return dispatch();
    m_pace.start(now());
    enter(State::Body);
    if (m_head.expectsContinue && m_input.isEmpty()) {
        send(kContinue.toByteArray());
        flush();
    }
    readBody();
}

bool HttpConnection::growBody()
{
    const qint64 length = m_head.bodyLength;
    // Doubling keeps the copies few; where that finds no room, a step may.
    for (const qint64 wanted : { std::max(2 * m_bodyRoom, kFirstBodyBytes), m_bodyRoom + HttpServer::kBodyRoomStep }) {
        const qint64 room = std::min(length, wanted);
        if (m_server.takeBodyRoom(room - m_bodyRoom)) {
            m_bodyRoom = room;
            m_head.request.body.reserve(room);
            return true;
        }
    }
    return false;
}

void HttpConnection::readBody()
{
    const HttpServer::Limits& limits = m_server.limits();
    QByteArray& body = m_head.request.body;
    while (body.size() < m_head.bodyLength) {
        if (body.size() >= m_bodyRoom && !growBody()) {
            // Unread, the body waits in the kernel's buffers, and its client with it.
            m_waitingForRoom = true;
            m_waitStartMs = now();
            m_reader->setEnabled(false);
            m_server.waitForRoom(this);
            return keepTime();
        }
        const qsizetype had = body.size();
        const qint64 room = m_bodyRoom - had;
        qint64 got = 0;
        if (!m_input.isEmpty()) {
            got = std::min<qint64>(room, m_input.size());
            body.append(QByteArrayView(m_input).first(got));
            m_input.remove(0, got);
        } else {
            body.resize(had + room); // within what was reserved
            got = receive(body.data() + had, room);
            body.resize(had + std::max<qint64>(got, 0));
            if (got == 0)
                return keepTime();
            if (got < 0)
                return m_broken ? close() : refuse(400);
        }
        m_pace.add(got, now(), limits.rateWindowMs);
    }
    dispatch();
}

void HttpConnection::roomFreed()
{
    if (m_closed || m_state != State::Body || !m_waitingForRoom) {
        // Woken for room it no longer waits for: the next one may use it.
        m_server.giveBodyRoom(0);
        return;
    }
    m_waitingForRoom = false;
    // The wait is no slowness of the client's.
    m_pace.start(now(), m_head.request.body.size());
    m_reader->setEnabled(true);
    readBody();
}

void HttpConnection::dispatch()
{
    m_reader->setEnabled(false);
    HttpHandler& handler = m_server.handler();
    const bool withBody = m_head.request.method != "HEAD";
    if (!handler.mayWait(m_head.request))
        return answer(handler.respond(m_head.request), withBody);
    enter(State::Answering);
    const bool started = m_server.startWork([this, request = m_head.request, &handler, withBody] {
        const HttpResponse response = handler.respond(request);
        QMetaObject::invokeMethod(this, [this, response, withBody] { answer(response, withBody); });
    });
    if (!started)
        close();
}

void HttpConnection::answer(const HttpResponse& response, bool withBody)
{
    if (m_closed)
        return;
    m_head.request.body = QByteArray();
    if (m_bodyRoom > 0)
        m_server.giveBodyRoom(m_bodyRoom);
    m_bodyRoom = 0;
    log(response.status, response.body.size());
    send(response.head(m_head.closeAfterAnswer));
    if (withBody)
        send(response.body);
    m_pace.start(now());
    enter(State::Writing);
    flush();
}

void HttpConnection::refuse(int status)
{
    m_server.stopWaiting(this);
    m_waitingForRoom = false;
    m_head.closeAfterAnswer = true;
    m_refused = true;
    m_reader->setEnabled(false);
    answer(m_server.handler().refusal(status), true);
}

void HttpConnection::send(const QByteArray& bytes)
{
    if (!bytes.isEmpty())
        m_output.append(bytes);
}

void HttpConnection::flush()
{
    if (m_closed)
        return;
    const qint64 windowMs = m_server.limits().rateWindowMs;
    while (!m_output.isEmpty()) {
        iovec pieces[kMaxPiecesAtOnce];
        int count = 0;
        for (; count < kMaxPiecesAtOnce && count < m_output.size(); ++count) {
            const qsizetype skip = count == 0 ? m_outputSent : 0;
            pieces[count] = { const_cast<char*>(m_output[count].constData()) + skip,
                              size_t(m_output[count].size() - skip) };
        }
        msghdr message = {};
        message.msg_iov = pieces;
        message.msg_iovlen = size_t(count);
        // MSG_NOSIGNAL: a client gone is an error to handle, not SIGPIPE.
        const ssize_t sent = ::sendmsg(m_descriptor, &message, MSG_NOSIGNAL);
        if (sent < 0 && wouldBlock()) {
            m_writer->setEnabled(true);
            return keepTime();
        }
        if (sent < 0)
            return close();
        if (m_state == State::Writing)
            m_pace.add(sent, now(), windowMs);
        for (qint64 left = sent; left > 0;) {
            const qint64 rest = m_output.first().size() - m_outputSent;
            if (left < rest) {
                m_outputSent += left;
                break;
            }
            left -= rest;
            m_output.removeFirst();
            m_outputSent = 0;
        }
    }
    m_writer->setEnabled(false);
    if (m_state == State::Writing)
        answerWritten();
}

void HttpConnection::answerWritten()
{
    // A request read whole leaves nothing behind whose arrival would reset
    // the connection: it may end at once, as most HTTP/1.0 ones do.
    if (m_head.closeAfterAnswer && !m_refused && m_input.isEmpty()) {
        char probe;
        if (::recv(m_descriptor, &probe, 1, MSG_PEEK) < 0 && wouldBlock())
            return close();
    }
    if (m_head.closeAfterAnswer)
        return linger();
    endRequest();
    enter(State::Head);
    if (m_inputEnded && m_input.isEmpty())
        return close();
    m_reader->setEnabled(!m_inputEnded);
    // Requests sent together are answered one event apart, not one call deeper each.
    if (!m_input.isEmpty())
        QMetaObject::invokeMethod(this, &HttpConnection::readHead, Qt::QueuedConnection);
}

void HttpConnection::endRequest()
{
    if (m_clientAdmitted)
        m_server.release(m_client);
    m_clientAdmitted = false;
    m_client = m_peer;
    m_head = HttpHead();
}

void HttpConnection::linger()
{
    endRequest();
    m_input.clear();
    if (m_headRoom > 0)
        m_server.giveBodyRoom(std::exchange(m_headRoom, 0));
    // Served: its place goes to the client's next connection now, not once this one's end is seen.
    if (m_peerAdmitted)
        m_server.release(m_peer);
    m_peerAdmitted = false;
    if (m_inputEnded)
        return close();
    ::shutdown(m_descriptor, SHUT_WR);
    enter(State::Lingering);
    m_reader->setEnabled(true);
    drain();
}

void HttpConnection::drain()
{
    char chunk[kReadChunk];
    for (;;) {
        const qint64 got = receive(chunk, kReadChunk);
        if (got < 0)
            return close();
        if (got == 0)
            return keepTime();
    }
}

void HttpConnection::deadlinePassed()
{
    switch (m_state) {
    case State::Head:
        // A client that sent nothing is let go without a word.
        if (m_input.isEmpty())
            return close();
        return refuse(408);
    case State::Body:
        if (m_waitingForRoom)
            return refuse(503);
        return refuse(408);
    case State::Writing: // not reading its answer
    case State::Lingering:
        return close();
    case State::Answering:
        return;
    }
}

void HttpConnection::close()
{
    m_closed = true;
    m_deadline.stop();
    if (m_reader)
        m_reader->setEnabled(false);
    if (m_writer)
        m_writer->setEnabled(false);
    deleteLater();
}

void HttpConnection::log(int status, qint64 bodyBytes)
{
    const HttpRequest& request = m_head.request;
    const QByteArray method = request.method.isEmpty() ? "-" : request.method;
    const QByteArray target = request.target.isEmpty() ? "-" : request.target.left(kMaxLoggedTarget);
    emit logged(QString::fromLatin1(method + ' ' + target + ' ' + QByteArray::number(status) + ' '
                                    + QByteArray::number(bodyBytes) + ' ')
                + m_client.toString());
}
