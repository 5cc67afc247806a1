#include "WinsockControl.h"

#include "PeerProgress.h"
#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QScopedValueRollback>
#include <QSslConfiguration>
#include <QSslSocket>
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
    : QObject(parent)
    , m_connectTimer(new QTimer(this))
    , m_progress(new PeerProgress(this))
{
    UseSocket(false);
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        if (!IsReady())
            Fail(TransportFailure::TimedOut(m_connectTimer->intervalAsDuration()));
    });
    connect(m_progress, &PeerProgress::Progress, this,
            [this](qint64 taken, qint64 total) { Post([this, taken, total] { emit SendProgress(taken, total); }); });
    connect(m_progress, &PeerProgress::Stalled, this,
            [this] { Fail(TransportFailure::TimedOut(m_progress->StallLimit())); });
    connect(m_progress, &PeerProgress::Overdue, this,
            [this] { Fail(TransportFailure::AnswerTooSlow(m_progress->AnswerLimit())); });
}

WinsockControl::~WinsockControl()
{
    Close();
}

void WinsockControl::UseSocket(bool encrypted)
{
    if (m_socket && encrypted == m_encrypted)
        return;
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->deleteLater();
    }
    m_encrypted = encrypted;
    m_socket = encrypted ? new QSslSocket(this) : new QTcpSocket(this);
    // A direct connection to the service: a system-wide proxy setting made
    // for HTTP clients must not turn it into a tunnel.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QTcpSocket::connected, this, &WinsockControl::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &WinsockControl::OnReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &WinsockControl::OnSocketError);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &WinsockControl::FeedSocket);
    if (auto* tls = qobject_cast<QSslSocket*>(m_socket)) {
        connect(tls, &QSslSocket::encrypted, this, &WinsockControl::OnEncrypted);
        // Over TLS bytesWritten tells of bytes encrypted, not of bytes the system took.
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &WinsockControl::FeedSocket);
    }
}

bool WinsockControl::IsReady() const
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    const auto* tls = qobject_cast<const QSslSocket*>(m_socket);
    return !tls || tls->isEncrypted();
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
    m_handshaking = false;
    m_receivedTotal = 0;
    std::string().swap(m_received);
    m_request.reset();
    m_given = 0;
}

void WinsockControl::Connect(const QString& remoteHost, quint16 remotePort, bool encrypted)
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        throw Toolkit::Failure(EISCONN, tr("The socket is already connected or connecting"));

    ++m_generation;
    Reset();
    UseSocket(encrypted);
    if (auto* tls = qobject_cast<QSslSocket*>(m_socket)) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        const QString bundle = CaCertificatesFile();
        if (!bundle.isEmpty()) {
            const QList<QSslCertificate> authorities = QSslCertificate::fromPath(bundle, QSsl::Pem);
            if (authorities.isEmpty()) {
                Fail(TransportFailure::CaCertificatesUnusable(bundle));
                return;
            }
            configuration.setCaCertificates(authorities);
        }
        tls->setSslConfiguration(configuration);
    }
    if (m_connectTimer->interval() > 0)
        m_connectTimer->start();
    m_peerName = remoteHost;
    // The resolver would take a thread and the system's host files for an
    // answer known in advance.
    if (NamesLocalhost(remoteHost)) {
        m_loopbackPort = remotePort;
        ConnectTo(QHostAddress(QHostAddress::LocalHost).toString(), remotePort, remoteHost);
        return;
    }
    ConnectTo(remoteHost, remotePort, remoteHost);
}

void WinsockControl::ConnectTo(const QString& host, quint16 port, const QString& peerName)
{
    if (auto* tls = qobject_cast<QSslSocket*>(m_socket))
        tls->connectToHostEncrypted(host, port, peerName);
    else
        m_socket->connectToHost(host, port);
}

void WinsockControl::SendData(std::unique_ptr<modTarnwick::RequestStream> request)
{
    if (!request || m_request || !IsReady() || m_failed)
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
    while (!m_failed && m_given < qint64(m_request->Size()) && Unsent() == 0) {
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
        m_progress->Handed(std::max<qint64>(m_given - Unsent(), 0));
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
    // The request's tail must not wait for the peer's delayed acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_encrypted) {
        m_handshaking = true;
        return; // connected once the handshake is done
    }
    m_connectTimer->stop();
    Post([this] { emit Connected(); });
}

void WinsockControl::OnEncrypted()
{
    m_handshaking = false;
    m_connectTimer->stop();
    Post([this] { emit Connected(); });
}

qint64 WinsockControl::Unsent() const
{
    const auto* tls = qobject_cast<const QSslSocket*>(m_socket);
    return m_socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

TransportFailure::Failure WinsockControl::HandshakeFailure() const
{
    using TransportFailure::Distrust;
    const auto* tls = qobject_cast<const QSslSocket*>(m_socket);
    const QList<QSslError> errors = tls ? tls->sslHandshakeErrors() : QList<QSslError>();
    // A chain that cannot be trusted says more than a name that does not match.
    bool mismatch = false;
    for (const QSslError& error : errors) {
        switch (error.error()) {
        case QSslError::HostNameMismatch:
            mismatch = true;
            break;
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::CertificateUntrusted:
            return TransportFailure::CertificateNotTrusted(Distrust::UnknownIssuer);
        case QSslError::SelfSignedCertificate:
            return TransportFailure::CertificateNotTrusted(Distrust::SelfSigned);
        case QSslError::CertificateExpired:
            return TransportFailure::CertificateNotTrusted(Distrust::Expired);
        case QSslError::CertificateNotYetValid:
            return TransportFailure::CertificateNotTrusted(Distrust::NotYetValid);
        case QSslError::CertificateRevoked:
            return TransportFailure::CertificateNotTrusted(Distrust::Revoked);
        default:
            return TransportFailure::CertificateNotTrusted(Distrust::Other, error.errorString());
        }
    }
    if (mismatch)
        return TransportFailure::CertificateForAnotherHost(m_peerName);
    return TransportFailure::HandshakeFailed(m_socket->errorString());
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
        ConnectTo(QHostAddress(QHostAddress::LocalHostIPv6).toString(), loopbackPort, m_peerName);
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
    // A handshake that ends in a closed connection has failed all the same.
    const TransportFailure::Failure failure = error == QAbstractSocket::SslHandshakeFailedError || m_handshaking
        ? HandshakeFailure()
        : peerClosed ? TransportFailure::ClosedEarly()
                     : TransportFailure::Failure { TransportFailure::ErrorNumber(error), m_socket->errorString() };
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
