#pragma once

// The window's TCP client. Bytes travel as std::string, one char per byte.
// Every signal is posted through the owner's event loop, so a handler runs
// between other window events and may Close the socket or show a modal
// window; after Close nothing more of that connection is delivered. Errors
// carry the system's errno values (111 for a refused connection, 110 for a
// time-out, ...), never 0, with a description.
//
// The request is read from its stream a piece at a time, as the socket
// hands the last piece to the system, so the image never sits in memory whole.
//
// An encrypted connection is reported Connected only once its TLS handshake
// has succeeded, the peer's certificate checked against the system's CA
// certificates (or SSL_CERT_FILE's) and the host name; a certificate that
// fails ends in Error, and nothing is ever written to it in the clear.

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class PeerProgress;
class QTcpSocket;
class QTimer;
namespace modTarnwick {
class RequestStream;
}
namespace TransportFailure {
struct Failure;
}

class WinsockControl : public QObject
{
    Q_OBJECT

public:
    explicit WinsockControl(QObject* parent = nullptr);
    ~WinsockControl() override;

    // Safe in every state (never opened, connecting, connected, closed by the
    // peer, already closed); reports nothing, and drops every event of the
    // old connection that has not been delivered yet.
    void Close();
    // Returns at once; the outcome arrives as Connected() or Error(). Throws
    // Toolkit::Failure when the socket is not closed.
    void Connect(const QString& remoteHost, quint16 remotePort, bool encrypted = false);
    // Sends every byte of the request, one byte per char, reading it as the
    // connection takes it; a stream that cannot be read ends the connection
    // in Error with the stream's failure. Once per connection.
    void SendData(std::unique_ptr<modTarnwick::RequestStream> request);
    // Everything received and not yet taken.
    std::string GetData();

    // A connection not made within this limit ends in Error(110, ...).
    // Zero or less: no limit.
    void SetConnectTimeout(std::chrono::milliseconds limit);
    // Once SendData has been called, a connection on which the peer takes no
    // byte of the request and sends no byte of its answer for this long ends
    // in Error(110, ...). Zero or less: no limit.
    void SetIdleTimeout(std::chrono::milliseconds limit);
    // A connection whose answer keeps coming this long after the peer has
    // taken the request's last byte (or after the answer's first byte, if
    // that comes sooner) ends in Error(110, ...). Zero or less: no limit.
    void SetAnswerTimeout(std::chrono::milliseconds limit);
    // A connection that receives more than this many bytes in all is dropped
    // with Error(90, ...). Zero or less: no limit.
    void SetMaxReceiveBytes(qint64 limit);

    bool IsConnected() const;

signals:
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Error(int number, const QString& description);
    // Bytes of the request that the peer has taken so far.
    void SendProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    void OnConnected();
    void OnEncrypted();
    // A plain socket, or a TLS one, made when the kind changes: the TLS
    // library is loaded only for a service that needs it.
    void UseSocket(bool encrypted);
    // Connected, and encrypted where it is to be.
    bool IsReady() const;
    void ConnectTo(const QString& host, quint16 port, const QString& peerName);
    TransportFailure::Failure HandshakeFailure() const;
    // Bytes given to the socket that the system has not taken yet.
    qint64 Unsent() const;
    void OnReadyRead();
    void OnSocketError();
    // Gives the socket the request's next pieces while the system takes them.
    void FeedSocket();
    // Posts the delivery of an event; it is dropped if Close runs first.
    void Post(std::function<void()> deliver);
    void Fail(const TransportFailure::Failure& failure);
    void Reset();

    QTcpSocket* m_socket = nullptr;
    bool m_encrypted = false;
    QTimer* m_connectTimer;
    PeerProgress* m_progress;
    // Bumped by Close and Connect: posted events of an older connection are stale.
    std::uint64_t m_generation = 0;
    bool m_closing = false;
    bool m_failed = false;
    bool m_arrivalPosted = false;
    // Connected over TCP, the TLS handshake not done yet.
    bool m_handshaking = false;
    // Set while "localhost" is tried on the IPv4 loopback: the port to try
    // on the IPv6 one when nothing listens there.
    quint16 m_loopbackPort = 0;
    // The name the service's certificate must bear.
    QString m_peerName;
    qint64 m_maxReceive = 0;
    qint64 m_receivedTotal = 0;
    std::string m_received;
    std::unique_ptr<modTarnwick::RequestStream> m_request;
    // Bytes of the request given to the socket; it may still hold some.
    qint64 m_given = 0;
    bool m_feeding = false;
};
