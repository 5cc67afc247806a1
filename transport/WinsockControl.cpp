#include "WinsockControl.h"

#include "PeerProgress.h"
#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// The request is read and given to the socket in pieces this large; the
// socket holds at most one that the system has not taken yet.
constexpr qint64 kPiece = 64 * 1024;

} // namespace

WinsockControl::WinsockControl(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_connectTimer(new QTimer(this)), m_progress(new PeerProgress(this))
{
    // A plain connection to the service: a system-wide proxy setting made for
    // HTTP clients must not turn it into a tunnel.
    m_socket->setProxy(QNetworkProxy::NoProxy);

    m_connectTimer->setSingleShot(true);

    connect(m_socket, &QTcpSocket::connected, this, &WinsockControl::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &WinsockControl::OnReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &WinsockControl::OnSocketError);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &WinsockControl::FeedSocket);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            Fail(TransportFailure::TimedOut(m_connectTimer->intervalAsDuration()));
    });
    connect(m_progress, &PeerProgress::Progress, this, [this](qint64 taken, qint64 total) {
        Post([this, taken, total] { emit SendProgress(taken, total); });
    });
    connect(m_progress, &PeerProgress::Stalled, this, [this] { Fail(TransportFailure::TimedOut(m_progress->StallLimit())); });
    connect(m_progress, &PeerProgress::Overdue, this, [this] { Fail(TransportFailure::AnswerTooSlow(m_progress->AnswerLimit())); });
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
    Reset();
    m_socket->abort();
    m_closing = false;
}

void WinsockControl::Reset()
{
    m_progress->Stop();
    m_failed = false;
    m_arrivalPosted = false;
    m_loopbackPort = 0;
    m_receivedTotal = 0;
    std::string().swap(m_received);
    m_request.reset();
    m_given = 0;
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

void WinsockControl::SendData(std::unique_ptr<modTarnwick::RequestStream> request)
{
    if (!request || m_request || m_socket->state() != QAbstractSocket::ConnectedState || m_failed)
        return; // a failure that broke the connection is on its way as an Error
    m_progress->Start(m_socket->socketDescriptor(), qint64(request->Size()));
    m_request = std::move(request);
    FeedSocket();
}

void WinsockControl::FeedSocket()
{
    // flush() reports what it wrote through bytesWritten, which calls here again.
    if (m_feeding || !m_request)
        return;
    const QScopedValueRollback feeding(m_feeding, true);
    // As much as the system takes now, piece by piece: the socket's own
    // writing would hand it one piece per turn of the event loop.
    while (!m_failed && m_given < qint64(m_request->Size()) && m_socket->bytesToWrite() == 0) {
        QByteArray piece(std::min(qint64(m_request->Size()) - m_given, kPiece), Qt::Uninitialized);
        const std::int64_t got = m_request->Read(piece.data(), std::size_t(piece.size()));
        if (got <= 0) {
            Fail(TransportFailure::FromStream(got < 0 ? int(-got) : modTarnwick::kImageChanged));
            return;
        }
        piece.truncate(qsizetype(got));
        m_given += got;
        m_socket->write(piece);
        m_socket->flush();
    }
    if (!m_failed)
        m_progress->Handed(m_given - m_socket->bytesToWrite());
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

void WinsockControl::SetAnswerTimeout(std::chrono::milliseconds limit)
{
    m_progress->SetAnswerLimit(limit);
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
