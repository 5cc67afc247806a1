#pragma once

// The HTTP client, carried by libcurl's multi interface in the owner's event
// loop: a QSocketNotifier for each socket that libcurl watches and one
// single-shot QTimer for the time-outs it asks for, so that every step runs
// on the owner's thread, with no thread of its own and no lock. Execute
// posts a body and a header block unchanged and reports through
// StateChanged: 11 when the request failed (nothing usable came back), 12
// when an answer is complete, whatever its HTTP status. The body is then
// read with GetChunk. StateChanged is posted through the owner's event
// loop, so its handler may run a nested loop or a modal window.
//
// libcurl rather than Qt's HTTP client: Qt's leaves Nagle's algorithm on, and
// the last small piece of every request then waits for the server's delayed
// acknowledgement, some 40 ms on most hosts. libcurl sends without delay, and
// brings the platform's proxy settings with it. An https URL goes over TLS,
// the peer and its name checked against the system's CA certificates, or
// those of SSL_CERT_FILE; there is no way to turn the checks off.

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <curl/curl.h>

class PeerProgress;
class QSocketNotifier;
class QTimer;
namespace modTarnwick {
class RequestStream;
}
namespace TransportFailure {
struct Failure;
}

class InetControl : public QObject
{
    Q_OBJECT

public:
    static constexpr int icError = 11;
    static constexpr int icResponseCompleted = 12;

    explicit InetControl(QObject* parent = nullptr);
    ~InetControl() override;

    // Seconds without progress (no connection made, no byte of the request
    // taken by the service, no byte of its answer arrived) after which the
    // component gives up with state 11. Fractions allowed so tests can
    // shorten it. Zero or less: no limit.
    double RequestTimeout = 60;
    // Seconds the whole answer may take from the service's taking the
    // request's last byte (or from the answer's first byte, if that comes
    // sooner), however steadily it comes; past them, state 11. Zero or
    // less: no limit.
    double AnswerTimeout = 0;
    // Largest answer body accepted; a larger one ends in state 11. Zero or less: no limit.
    qint64 MaxResponseBytes = 0;
    // Largest status line and headers accepted, interim answers (100
    // Continue) included; larger ones end in state 11 as a malformed answer.
    // Zero or less: libcurl's own limits alone.
    qint64 MaxHeadBytes = 0;

    // Returns at once. operation must be "POST". Each "Name: value" line of
    // headers becomes a request header, except Host and Content-Length, which
    // follow the URL and the data; the body is read from data while it is
    // sent, byte for byte, and a stream that cannot be read ends the request
    // in state 11 with the stream's failure. Throws Toolkit::Failure while a
    // request is under way, or for another operation or no data.
    void Execute(const QString& url, const QString& operation, std::unique_ptr<modTarnwick::RequestStream> data,
                 const std::string& headers);

    // Describe the failure behind state 11 (errno values, as the socket's);
    // never 0 then.
    int ResponseCode() const { return m_responseCode; }
    QString ResponseInfo() const { return m_responseInfo; }
    // The head of the last complete answer: its status line and headers,
    // "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n...\r\n"; "" when none came.
    std::string GetHeader() const { return m_head; }

    // The next piece of the body, at most size bytes; "" once it is all read.
    // dataType 0 (text) is the only kind: one char per byte.
    std::string GetChunk(int size, int dataType = 0);

    // Drops any request under way, closing its connection, without reporting anything.
    void Cancel();

signals:
    void StateChanged(int state);
    // Bytes of the body the service has taken so far, of the body's size.
    void UploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    enum class Abort { None, TimedOut, Overdue, TooLarge, Malformed };

    // The transfer, once the host's addresses are known: "" for a host
    // libcurl needs no resolver for, else a CURLOPT_RESOLVE entry.
    void Begin(const std::string& resolveEntry);
    // Lets libcurl act on a socket (or on its time-out), then looks at what came of it.
    void Act(curl_socket_t socket, int events);
    void Watch(curl_socket_t socket, int what);
    // The socket of the connection that carries the transfer, once it is made.
    curl_socket_t SocketInUse() const;
    void Finish(CURLcode code);
    void Stop(Abort why);
    void Release();
    void Report(int state);
    TransportFailure::Failure FailureOf(CURLcode code) const;
    // A peer that failed verification: untrusted, or made out to another host.
    TransportFailure::Failure CertificateFailure(const QString& detail) const;

    // libcurl's callbacks: each catches what it calls and turns it into its error return.
    static std::size_t OnRead(char* to, std::size_t size, std::size_t count, void* self) noexcept;
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) noexcept;
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) noexcept;
    static int OnSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* socketData) noexcept;
    static int OnTimer(CURLM* multi, long milliseconds, void* self) noexcept;

    struct Notifiers
    {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };

    CURLM* m_multi = nullptr;
    CURL* m_easy = nullptr;
    curl_slist* m_headers = nullptr;
    curl_slist* m_resolve = nullptr;
    char m_error[CURL_ERROR_SIZE] = {};
    std::map<curl_socket_t, Notifiers> m_watched;
    QTimer* m_curlTimer;
    QTimer* m_connectTimer;
    PeerProgress* m_progress;

    std::string m_url;
    std::string m_headerBlock;
    std::unique_ptr<modTarnwick::RequestStream> m_stream;
    qint64 m_bodySize = 0;
    curl_socket_t m_socket = CURL_SOCKET_BAD;
    int m_lookup = -1;
    int m_readFailure = 0;
    Abort m_abort = Abort::None;
    bool m_executing = false;
    // Bumped by Execute and Cancel: a posted report of an older request is stale.
    std::uint64_t m_generation = 0;

    int m_responseCode = 0;
    QString m_responseInfo;
    std::string m_head;
    // Bytes of every head so far, interim ones included.
    qint64 m_headBytes = 0;
    // The head now being read is an interim one (1xx).
    bool m_interimHead = false;
    // The final head has ended: the body follows.
    bool m_headEnded = false;
    std::string m_body;
    std::size_t m_readPos = 0;
};
