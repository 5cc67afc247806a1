#include "WinsockControl.h"

#include "PeerProgress.h"
#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <sys/socket.h>

namespace {

// A stream is read in pieces this large: small enough to stay in the cache
// between the file and the socket, large enough that the pieces cost few calls.
constexpr std::size_t kStreamPiece = 128 * 1024;

} // namespace

WinsockControl::WinsockControl(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_connectTimer(new QTimer(this)), m_progress(new PeerProgress(this))
{
    // A plain connection to the service: a system-wide proxy setting made for
    // HTTP clients must not turn it into a tunnel.
    m_socket->setProxy(QNetworkProxy::NoProxy);

    m_connectTimer->setSingleShot(true);
    m_connectTimer->setInterval(std::chrono::seconds(10));

    connect(m_socket, &QTcpSocket::connected, this, &WinsockControl::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &WinsockControl::OnReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &WinsockControl::OnSocketError);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            Fail(TransportFailure::TimedOut(m_connectTimer->intervalAsDuration()));
    });
    connect(m_progress, &PeerProgress::Progress, this, [this](qint64 taken, qint64 total) {
        Post([this, taken, total] { emit SendProgress(taken, total); });
    });
    connect(m_progress, &PeerProgress::Stalled, this, [this] { Fail(TransportFailure::TimedOut(m_progress->StallLimit())); });
}

WinsockControl::~WinsockControl()
{
    Close();
}

void WinsockControl::Close()
{
    ++m_generation;
    m_connectTimer->stop();
    m_closing = true;
    Reset(); // the notifier goes before the socket it watches
    m_socket->abort();
    m_closing = false;
}

void WinsockControl::Reset()
{
    m_progress->Stop();
    delete std::exchange(m_writable, nullptr);
    m_failed = false;
    m_arrivalPosted = false;
    m_loopbackPort = 0;
    m_receivedTotal = 0;
    std::string().swap(m_received);
    std::string().swap(m_sendData);
    m_sendPos = 0;
    m_stream.reset();
    std::string().swap(m_afterStream);
    m_sendTotal = 0;
    m_handed = 0;
}

void WinsockControl::Connect(const QString& remoteHost, quint16 remotePort)
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        throw Toolkit::Failure(EISCONN, tr("The socket is already connected or connecting"));

    ++m_generation;
    Reset();
    if (m_connectTimer->interval() > 0)
        m_connectTimer->start();
    // The resolver would take a thread and the system's host files for an
    // answer known in advance.
    if (NamesLocalhost(remoteHost)) {
        m_loopbackPort = remotePort;
        m_socket->connectToHost(QHostAddress(QHostAddress::LocalHost), remotePort);
        return;
    }
    m_socket->connectToHost(remoteHost, remotePort);
}

void WinsockControl::SendData(std::string data)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState || m_failed)
        return; // the failure that broke the connection is on its way as an Error

    if (m_sendTotal == 0)
        m_progress->Start(m_socket->socketDescriptor(), qint64(data.size()));
    m_sendTotal += qint64(data.size());
    if (m_stream) {
        m_afterStream += data;
        return;
    }
    if (m_sendPos < m_sendData.size()) {
        // A send still under way: the new text goes out behind what is left of it.
        m_sendData.erase(0, m_sendPos);
        m_sendData += data;
    } else {
        m_sendData = std::move(data);
    }
    m_sendPos = 0;
    FeedSocket();
}

void WinsockControl::SendStream(std::unique_ptr<modTarnwick::RequestStream> stream)
{
    if (!stream || m_socket->state() != QAbstractSocket::ConnectedState || m_failed)
        return;
    const qint64 size = qint64(stream->Size());
    if (m_stream) {
        // Behind a stream still under way: read whole, in order.
        std::string bytes(std::size_t(size), '\0');
        for (std::size_t done = 0; done < bytes.size();) {
            const std::int64_t got = stream->Read(bytes.data() + done, bytes.size() - done);
            if (got <= 0) {
                Fail(TransportFailure::FromErrno(got < 0 ? int(-got) : EIO));
                return;
            }
            done += std::size_t(got);
        }
        SendData(std::move(bytes));
        return;
    }
    if (m_sendTotal == 0)
        m_progress->Start(m_socket->socketDescriptor(), size);
    m_sendTotal += size;
    m_stream = std::move(stream);
    FeedSocket();
}

// The next bytes to send into m_sendData; false when there are none, or
// after a failure to read the stream.
bool WinsockControl::RefillFromStream()
{
    if (!m_stream)
        return false;
    m_sendData.resize(kStreamPiece);
    const std::int64_t got = m_stream->Read(m_sendData.data(), m_sendData.size());
    if (got < 0) {
        Fail(TransportFailure::FromErrno(int(-got)));
        return false;
    }
    m_sendData.resize(std::size_t(got));
    m_sendPos = 0;
    if (got > 0)
        return true;
    m_stream.reset();
    m_sendData.swap(m_afterStream);
    std::string().swap(m_afterStream);
    return !m_sendData.empty();
}

void WinsockControl::FeedSocket()
{
    const int fd = int(m_socket->socketDescriptor());
    while (m_sendPos < m_sendData.size() || RefillFromStream()) {
        const ssize_t sent = ::send(fd, m_sendData.data() + m_sendPos, m_sendData.size() - m_sendPos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            m_sendPos += std::size_t(sent);
            m_handed += sent;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The kernel holds all it will for now: go on when it has room.
            if (!m_writable) {
                m_writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
                connect(m_writable, &QSocketNotifier::activated, this, &WinsockControl::FeedSocket);
            }
            m_writable->setEnabled(true);
            m_progress->Handed(m_handed);
            return;
        }
        const int number = sent < 0 ? errno : EIO;
        Fail(number == EPIPE ? TransportFailure::ClosedEarly() : TransportFailure::FromErrno(number));
        return;
    }
    if (m_failed)
        return; // the stream could not be read
    if (m_writable)
        m_writable->setEnabled(false);
    std::string().swap(m_sendData);
    m_sendPos = 0;
    m_progress->Handed(m_handed);
}

std::string WinsockControl::GetData()
{
    std::string taken;
    taken.swap(m_received);
    return taken;
}

void WinsockControl::SetConnectTimeout(std::chrono::milliseconds limit)
{
    m_connectTimer->setInterval(std::max(limit, std::chrono::milliseconds(0)));
}

void WinsockControl::SetIdleTimeout(std::chrono::milliseconds limit)
{
    m_progress->SetStallLimit(limit);
}

void WinsockControl::SetMaxReceiveBytes(qint64 limit)
{
    m_maxReceive = std::max<qint64>(limit, 0);
}

bool WinsockControl::IsConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState && !m_failed;
}

void WinsockControl::Post(std::function<void()> deliver)
{
    const std::uint64_t generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, deliver = std::move(deliver)] {
            if (generation == m_generation)
                deliver();
        },
        Qt::QueuedConnection);
}

void WinsockControl::OnConnected()
{
    m_loopbackPort = 0;
    m_connectTimer->stop();
    // The request's tail must not wait for the peer's delayed acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    PeerProgress::KeepUnsentSmall(m_socket->socketDescriptor());
    Post([this] { emit Connected(); });
}

void WinsockControl::OnReadyRead()
{
    if (m_closing || m_failed)
        return;

    const qint64 available = m_socket->bytesAvailable();
    if (available <= 0)
        return;
    if (m_maxReceive > 0 && m_receivedTotal + available > m_maxReceive) {
        Fail(TransportFailure::AnswerTooLarge(m_maxReceive));
        return;
    }

    const std::size_t at = m_received.size();
    m_received.resize(at + std::size_t(available));
    const qint64 got = m_socket->read(m_received.data() + at, available);
    m_received.resize(at + std::size_t(std::max<qint64>(got, 0)));
    if (got <= 0)
        return;
    m_receivedTotal += got;
    m_progress->Received();

    // One pending DataArrival at a time: it hands over whatever has come by then.
    if (!m_arrivalPosted) {
        m_arrivalPosted = true;
        Post([this] {
            m_arrivalPosted = false;
            if (!m_received.empty())
                emit DataArrival(qint64(m_received.size()));
        });
    }
}

void WinsockControl::OnSocketError()
{
    if (m_closing || m_failed)
        return;

    const QAbstractSocket::SocketError error = m_socket->error();
    const quint16 loopbackPort = std::exchange(m_loopbackPort, 0);
    if (error == QAbstractSocket::ConnectionRefusedError && loopbackPort != 0) {
        // Nothing on the IPv4 loopback: the service may listen on the IPv6 one.
        m_closing = true;
        m_socket->abort();
        m_closing = false;
        m_socket->connectToHost(QHostAddress(QHostAddress::LocalHostIPv6), loopbackPort);
        return;
    }
    const bool peerClosed = error == QAbstractSocket::RemoteHostClosedError;
    // What the peer sent before it closed is still in the socket: hand it over first.
    if (peerClosed)
        OnReadyRead();
    if (m_failed)
        return;

    m_connectTimer->stop();
    m_progress->Stop();
    m_failed = true;
    const TransportFailure::Failure failure =
        peerClosed ? TransportFailure::ClosedEarly() : TransportFailure::Failure{TransportFailure::ErrorNumber(error), m_socket->errorString()};
    Post([this, failure] { emit Error(failure.number, failure.description); });
}

void WinsockControl::Fail(const TransportFailure::Failure& failure)
{
    m_connectTimer->stop();
    m_closing = true;
    Reset();
    m_failed = true;
    m_socket->abort();
    m_closing = false;
    Post([this, failure] { emit Error(failure.number, failure.description); });
}
