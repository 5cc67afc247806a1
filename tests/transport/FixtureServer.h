#pragma once

// A loopback HTTP peer for the transport tests. It records the exact bytes of
// every connection and, once a connection's request is complete (headers plus
// Content-Length bytes of body), hands the socket to the case's answer.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// A listener whose connections are plain, or TLS once it is given a
// server configuration; Qt 6.4 has no TLS server of its own.
class FixtureListener : public QTcpServer
{
public:
    std::optional<QSslConfiguration> tls;

protected:
    void incomingConnection(qintptr descriptor) override;
};

class FixtureServer : public QObject
{

public:
    using Answer = std::function<void(QTcpSocket* socket, const QByteArray& request)>;

    explicit FixtureServer(QObject* parent = nullptr);

    // Listens on 127.0.0.1, by default on a port the kernel picks.
    bool Listen(quint16 port = 0);
    // Every later connection is TLS with this configuration (the server's
    // certificate and key); the recorded bytes are the decrypted ones.
    void UseTls(const QSslConfiguration& configuration) { m_server.tls = configuration; }
    quint16 Port() const { return m_server.serverPort(); }
    QString Url() const;

    // Answers whatever a connection first sends, request or not, with these
    // bytes and closes it, as a plain HTTP server answers a TLS greeting.
    void AnswerAnyBytes(const QByteArray& answer) { m_anyBytesAnswer = answer; }
    // Runs for each complete request; with none set the request is never answered.
    void SetAnswer(Answer answer) { m_answer = std::move(answer); }

    // While held, no connection takes more than a few KiB from the system, so
    // a large request stalls in the sender's buffers; releasing reads on.
    void HoldReading(bool hold);
    // Reads each connection at this many bytes a second, with small system
    // buffers, as a slow uplink delivers a request. Set it before the client
    // connects; 0 reads as fast as bytes come.
    void SetReadRate(qint64 bytesPerSecond);

    // Everything received on connection i so far.
    QByteArray Received(int i = 0) const { return m_connections.value(i).received; }
    int CompleteRequests() const { return m_completeRequests; }
    // Connections accepted so far, whether or not they sent anything.
    int Connections() const { return int(m_connections.size()); }
    // The most recent connection's socket, while it is open.
    QTcpSocket* LastSocket() const;

    // Closes the connection with a reset (RST) instead of an orderly FIN.
    static void Reset(QTcpSocket* socket);
    // Writes bytes and closes once they have been handed to the system.
    static void SendAndClose(QTcpSocket* socket, const QByteArray& bytes);
    // Writes bytes a piece at a time, one piece each interval, and closes
    // once all are out; driven by a timer that goes with the socket.
    static void Trickle(QTcpSocket* socket, const QByteArray& bytes, std::chrono::milliseconds interval,
                        qsizetype piece = 1);
    // Writes one filler byte each interval for as long as the connection lasts.
    static void TrickleForever(QTcpSocket* socket, char filler, std::chrono::milliseconds interval);

    // "HTTP/1.0 <status>" with the body; Content-Length only when asked.
    static QByteArray HttpAnswer(int status, const QByteArray& body, bool withLength = true);
    // A page whose eight links are ExpectedLinks(), closed by closingTag.
    static QByteArray ResultPage(const QByteArray& closingTag = "</html>");
    static QList<QString> ExpectedLinks();
    // The same page with its last link (row 7, the direct link) replaced.
    static QByteArray ResultPageWithLastLink(const QByteArray& link);
    // bytes as a gzip file holds them, in stored (not deflated) blocks: the
    // page stays readable in it, for a client that ignores the encoding.
    static QByteArray Gzipped(const QByteArray& bytes);

    // Splits a recorded HTTP request into its header block and its body.
    static QByteArray HeadersOf(const QByteArray& request);
    static QByteArray BodyOf(const QByteArray& request);
    // The value of one header (name compared without case); empty if absent.
    static QList<QByteArray> HeaderValues(const QByteArray& request, const QByteArray& name);

private:
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray received;
        bool answered = false;
    };

    void OnNewConnection();
    void OnReadyRead(int index);
    void ReadPaced();
    qint64 PacedQuantum() const;
    void Take(int index, const QByteArray& bytes);

    FixtureListener m_server;
    QList<Connection> m_connections;
    int m_completeRequests = 0;
    bool m_holding = false;
    qint64 m_readRate = 0;
    QTimer m_pacer;
    Answer m_answer;
    QByteArray m_anyBytesAnswer;
};

// A port on which connection attempts neither succeed nor fail: the listen
// queue is full, so the kernel drops every further SYN.
class UnansweredPort
{
public:
    UnansweredPort();
    ~UnansweredPort();
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;

    bool IsReady() const { return m_ready; }
    quint16 Port() const { return m_port; }

private:
    int m_listener = -1;
    int m_filler = -1;
    quint16 m_port = 0;
    bool m_ready = false;
};

// A loopback port that was free a moment ago, so a connection to it is refused.
quint16 RefusingPort();

// A file of the given bytes in a fresh temporary folder that lives as long as this.
class TemporaryImage
{
public:
    explicit TemporaryImage(const QByteArray& bytes, const QString& name = QStringLiteral("picture.png"));
    ~TemporaryImage();
    QString Path() const { return m_path; }

private:
    QString m_dir;
    QString m_path;
};

// A real PNG of about the given size (noise compresses badly).
QByteArray MakePng(int width, int height);
