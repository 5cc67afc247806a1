#pragma once

// The window's HTTP client, over QNetworkAccessManager. Execute posts a body
// and a header block unchanged and reports through StateChanged: 11 when the
// request failed (nothing usable came back), 12 when an answer is complete,
// whatever its HTTP status. The body is then read with GetChunk. StateChanged
// is posted through the owner's event loop, so its handler may run a nested
// loop or a modal window.

#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <cstdint>
#include <string>

class QNetworkAccessManager;
namespace TransportFailure {
struct Failure;
}
class QTimer;

class InetControl : public QObject
{
    Q_OBJECT

public:
    static constexpr int icError = 11;
    static constexpr int icResponseCompleted = 12;

    explicit InetControl(QObject* parent = nullptr);
    ~InetControl() override;

    // Seconds the component waits for the service (no data at all) before it
    // gives up with state 11. Fractions allowed so tests can shorten it.
    // Zero or less: no limit.
    double RequestTimeout = 60;

    // Largest answer body accepted; a larger one ends in state 11.
    qint64 MaxResponseBytes = 16 * 1024 * 1024;

    // Returns at once. Each "Name: value" line of headers becomes a request
    // header, except Host, which follows the URL; data is sent byte for byte.
    // The component keeps data until the request ends, so pass it by move to
    // avoid a copy. Throws Toolkit::Failure while a request is under way.
    void Execute(const QString& url, const QString& operation, std::string data, const std::string& headers);

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

    // Drops any request under way without reporting anything.
    void Cancel();

signals:
    void StateChanged(int state);
    void UploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    enum class Abort { None, TimedOut, TooLarge };

    void OnReadyRead();
    void OnMetaDataChanged();
    void OnFinished();
    void OnTimeout();
    void RestartTimer();
    void AbortReply(Abort reason);
    void Fail(const TransportFailure::Failure& failure);
    void Finish(int state);
    void DropReply();

    QNetworkAccessManager* m_manager;
    QNetworkReply* m_reply = nullptr;
    QTimer* m_timer;
    // Bumped by Execute and Cancel: a posted StateChanged of an older request is stale.
    std::uint64_t m_generation = 0;
    Abort m_abort = Abort::None;
    int m_responseCode = 0;
    QString m_responseInfo;
    std::string m_head;
    std::string m_requestBody;
    std::string m_body;
    std::size_t m_readPos = 0;
};
