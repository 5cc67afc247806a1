#include "WinsockControl.h"

#include "Toolkit.h"
#include "TransportFailure.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// How much of a pending send is handed to QTcpSocket at a time: enough to
// keep the connection busy, small enough not to copy the whole request.
constexpr qint64 kSendWindow = 256 * 1024;

} // namespace

WinsockControl::WinsockControl(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_connectTimer(new QTimer(this)), m_idleTimer(new QTimer(this))
{
    // A plain connection to the service: a system-wide proxy setting made for
    // HTTP clients must not turn it into a tunnel.
    m_socket->setProxy(QNetworkProxy::NoProxy);

    m_connectTimer->setSingleShot(true);
    m_connectTimer->setInterval(std::chrono::seconds(10));
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(0);

    connect(m_socket, &QTcpSocket::connected, this, &WinsockControl::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &WinsockControl::OnReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &WinsockControl::OnBytesWritten);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &WinsockControl::OnSocketError);
    connect(m_connectTimer, &QTimer::timeout, this, &WinsockControl::OnConnectTimeout);
    connect(m_idleTimer, &QTimer::timeout, this, &WinsockControl::OnIdleTimeout);
}

WinsockControl::~WinsockControl()
{
    Close();
}

void WinsockControl::Close()
{
    ++m_generation;
    m_connectTimer->stop();
    m_idleTimer->stop();
    m_closing = true;
    m_socket->abort();
    m_closing = false;
    Reset();
}

void WinsockControl::Reset()
{
    m_idleTimer->stop();
    m_failed = false;
    m_arrivalPosted = false;
    m_receivedTotal = 0;
    std::string().swap(m_received);
    std::string().swap(m_sendData);
    m_sendPos = 0;
    m_sendTotal = 0;
    m_sendDone = 0;
}

void WinsockControl::Connect(const QString& remoteHost, quint16 remotePort)
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        throw Toolkit::Failure(EISCONN, tr("The socket is already connected or connecting"));

    ++m_generation;
    Reset();
    if (m_connectTimer->interval() > 0)
        m_connectTimer->start();
    m_socket->connectToHost(remoteHost, remotePort);
}

void WinsockControl::SendData(std::string data)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState || m_failed)
        return; // the failure that broke the connection is on its way as an Error

    m_sendTotal += static_cast<qint64>(data.size());
    if (m_sendPos < m_sendData.size()) {
        // A send still under way: the new text goes out behind what is left of it.
        m_sendData.erase(0, m_sendPos);
        m_sendData += data;
    } else {
        m_sendData = std::move(data);
    }
    m_sendPos = 0;
    if (m_idleTimer->interval() > 0)
        m_idleTimer->start();
    FeedSocket();
}

void WinsockControl::FeedSocket()
{
    while (m_sendPos < m_sendData.size() && m_socket->bytesToWrite() < kSendWindow) {
        const qint64 room = kSendWindow - m_socket->bytesToWrite();
        const qint64 piece = std::min<qint64>(room, static_cast<qint64>(m_sendData.size() - m_sendPos));
        const qint64 written = m_socket->write(m_sendData.data() + m_sendPos, piece);
        if (written <= 0)
            return; // errorOccurred reports why
        m_sendPos += static_cast<std::size_t>(written);
    }
    if (m_sendPos >= m_sendData.size() && !m_sendData.empty()) {
        std::string().swap(m_sendData);
        m_sendPos = 0;
    }
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
    m_idleTimer->setInterval(std::max(limit, std::chrono::milliseconds(0)));
}

void WinsockControl::RestartIdleTimer()
{
    if (m_idleTimer->isActive())
        m_idleTimer->start();
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
    m_connectTimer->stop();
    // The request goes out in large pieces: Nagle would only hold back its
    // tail until the service's delayed acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
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
    m_received.resize(at + static_cast<std::size_t>(available));
    const qint64 got = m_socket->read(m_received.data() + at, available);
    m_received.resize(at + static_cast<std::size_t>(std::max<qint64>(got, 0)));
    if (got <= 0)
        return;
    m_receivedTotal += got;
    RestartIdleTimer();

    // One pending DataArrival at a time: it hands over whatever has come by then.
    if (!m_arrivalPosted) {
        m_arrivalPosted = true;
        Post([this] {
            m_arrivalPosted = false;
            if (!m_received.empty())
                emit DataArrival(static_cast<qint64>(m_received.size()));
        });
    }
}

void WinsockControl::OnBytesWritten(qint64 bytes)
{
    if (m_closing || m_failed)
        return;
    m_sendDone = std::min(m_sendDone + bytes, m_sendTotal);
    RestartIdleTimer();
    const qint64 done = m_sendDone;
    const qint64 total = m_sendTotal;
    Post([this, done, total] { emit SendProgress(done, total); });
    FeedSocket();
}

void WinsockControl::OnSocketError(QAbstractSocket::SocketError error)
{
    if (m_closing || m_failed)
        return;

    const bool peerClosed = error == QAbstractSocket::RemoteHostClosedError;
    // What the peer sent before it closed is still in the socket: hand it over first.
    if (peerClosed)
        OnReadyRead();
    if (m_failed)
        return;

    m_connectTimer->stop();
    m_idleTimer->stop();
    m_failed = true;
    const int number = TransportFailure::ErrorNumber(error);
    const QString description = m_socket->errorString();
    Post([this, number, description] { emit Error(number, description); });
}

void WinsockControl::OnConnectTimeout()
{
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return;
    Fail(TransportFailure::TimedOut(m_connectTimer->intervalAsDuration()));
}

void WinsockControl::OnIdleTimeout()
{
    Fail(TransportFailure::TimedOut(m_idleTimer->intervalAsDuration()));
}

void WinsockControl::Fail(const TransportFailure::Failure& failure)
{
    m_connectTimer->stop();
    m_idleTimer->stop();
    m_failed = true;
    m_closing = true;
    m_socket->abort();
    m_closing = false;
    Post([this, failure] { emit Error(failure.number, failure.description); });
}
