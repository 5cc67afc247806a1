#pragma once

// The window's HTTP client, carried by libcurl on a thread of its own, as a
// command-line client runs it: the window's event loop only starts a request
// and takes its outcome, and what it does meanwhile (the state routines of a
// click, painting) runs beside the transfer instead of before it. Execute
// posts a body and a header block unchanged and reports through
// StateChanged: 11 when the request failed (nothing usable came back), 12
// when an answer is complete, whatever its HTTP status. The body is then read
// with GetChunk. StateChanged is posted through the owner's event loop, so its
// handler may run a nested loop or a modal window.
//
// libcurl rather than Qt's HTTP client: Qt's leaves Nagle's algorithm on, and
// the last small piece of every request then waits for the server's delayed
// acknowledgement, some 40 ms on most hosts. libcurl sends without delay, and
// brings the platform's proxy settings and TLS with it. It is loaded with the
// first request (CurlLibrary.h); where it cannot be, Execute throws 79
// (ELIBACC) with a text that names it.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

namespace modTarnwick {
class RequestStream;
}

class InetControl : public QObject
{
    Q_OBJECT

public:
    static constexpr int icError = 11;
    static constexpr int icResponseCompleted = 12;

    explicit InetControl(QObject* parent = nullptr);
    ~InetControl() override;

    // Seconds without progress (no byte of the request taken by the service,
    // no byte of its answer arrived, no connection made) after which the
    // component gives up with state 11. Fractions allowed so tests can shorten
    // it. Zero or less: no limit.
    double RequestTimeout = 60;

    // Largest answer body accepted; a larger one ends in state 11.
    qint64 MaxResponseBytes = 16 * 1024 * 1024;

    // Returns at once, the request under way on the client's thread. operation must be "POST". Each "Name: value" line of
    // headers becomes a request header, except Host and Content-Length, which
    // follow the URL and the data; data is sent byte for byte. The component
    // keeps data until the request ends, so pass it by move to avoid a copy.
    // Throws Toolkit::Failure while a request is under way or for another operation.
    void Execute(const QString& url, const QString& operation, std::string data, const std::string& headers);
    // The same, with the body read from the stream piece by piece while it is
    // sent; a stream that cannot be read ends the request in state 11 with
    // its errno.
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

    // Drops any request under way without reporting anything.
    void Cancel();

signals:
    void StateChanged(int state);
    // Bytes of the body the service has taken so far, of the body's size.
    void UploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    class Transfer;
    struct Outcome;

    // Checks what every request must be, then starts the transfer.
    void Begin(const QString& operation, std::unique_ptr<Transfer> transfer);
    // The transfer of this generation has ended; its thread may still be letting go of the connection.
    void Complete(std::uint64_t generation, Outcome outcome);
    void ReportProgress(std::uint64_t generation, qint64 taken, qint64 total);

    std::unique_ptr<Transfer> m_transfer;
    bool m_executing = false;
    // Bumped by Execute and Cancel: a posted report of an older request is stale.
    std::uint64_t m_generation = 0;
    int m_responseCode = 0;
    QString m_responseInfo;
    std::string m_head;
    std::string m_body;
    std::size_t m_readPos = 0;
};
