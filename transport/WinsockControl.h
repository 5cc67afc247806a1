#pragma once

// The window's TCP client. Bytes travel as std::string, one char per byte.
// Every signal is posted through the owner's event loop, so a handler runs
// between other window events and may Close the socket or show a modal
// window; after Close nothing more of that connection is delivered. Errors
// carry the system's errno values (111 for a refused connection, 110 for a
// time-out, ...), never 0, with a description.
//
// QTcpSocket makes the connection and reads; the request is written straight
// to the socket, as much as the kernel takes at each turn of the event loop,
// so that a large request goes out without a copy and without a turn of the
// loop for every piece. A request given as a stream is read piece by piece
// as the kernel takes it, so the image never sits in memory whole.

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class PeerProgress;
class QSocketNotifier;
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
    void Connect(const QString& remoteHost, quint16 remotePort);
    // Takes the whole text and sends it, one byte per char, keeping it until
    // the kernel has taken it all; pass it by move to avoid a copy.
    void SendData(std::string data);
    // Sends every byte of the stream, reading it as the kernel takes it; a
    // stream that cannot be read ends the connection in Error(errno, ...).
    // Text given to SendData meanwhile goes out after it.
    void SendStream(std::unique_ptr<modTarnwick::RequestStream> stream);
    // Everything received and not yet taken.
    std::string GetData();

    // A connection not made within this limit ends in Error(110, ...).
    // Zero or less: no limit.
    void SetConnectTimeout(std::chrono::milliseconds limit);
    // Once SendData has been called, a connection on which the peer takes no
    // byte of the request and sends no byte of its answer for this long ends
    // in Error(110, ...). Zero or less: no limit.
    void SetIdleTimeout(std::chrono::milliseconds limit);
    // A connection that receives more than this many bytes in all is dropped
    // with Error(90, ...). Zero or less: no limit.
    void SetMaxReceiveBytes(qint64 limit);

    bool IsConnected() const;

signals:
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Error(int number, const QString& description);
    // Bytes of what SendData was given that the peer has taken so far.
    void SendProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    void OnConnected();
    void OnReadyRead();
    void OnSocketError();
    void FeedSocket();
    bool RefillFromStream();
    // Posts the delivery of an event; it is dropped if Close runs first.
    void Post(std::function<void()> deliver);
    void Fail(const TransportFailure::Failure& failure);
    void Reset();

    QTcpSocket* m_socket;
    QTimer* m_connectTimer;
    PeerProgress* m_progress;
    QSocketNotifier* m_writable = nullptr;
    // Bumped by Close and Connect: posted events of an older connection are stale.
    std::uint64_t m_generation = 0;
    bool m_closing = false;
    bool m_failed = false;
    bool m_arrivalPosted = false;
    // Set while "localhost" is tried on the IPv4 loopback: the port to try
    // on the IPv6 one when nothing listens there.
    quint16 m_loopbackPort = 0;
    qint64 m_maxReceive = 0;
    qint64 m_receivedTotal = 0;
    std::string m_received;
    // What goes out next: m_sendData from m_sendPos, then the rest of
    // m_stream, read into m_sendData piece by piece, then m_afterStream.
    std::string m_sendData;
    std::size_t m_sendPos = 0;
    std::unique_ptr<modTarnwick::RequestStream> m_stream;
    std::string m_afterStream;
    qint64 m_sendTotal = 0;
    qint64 m_handed = 0;
};
