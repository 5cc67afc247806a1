#pragma once

// One image up to the service over either transport, for the window and the
// command line alike: what an answer or a failure means is decided here, and
// only the showing is theirs. Each upload ends once, with the eight links of
// the answer page or with a failure in the window's numbers, "N - text".

#include "ServiceEndpoint.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class InetControl;
class WinsockControl;

class ImageUpload : public QObject
{
    Q_OBJECT

public:
    enum class Transport { HttpClient, Socket };

    // responseTimeout: how long an upload may make no progress;
    // answerDeadline: how long its answer may take (UploadLimits).
    ImageUpload(const ServiceEndpoint& endpoint, std::chrono::milliseconds responseTimeout,
                std::chrono::milliseconds answerDeadline, QObject* parent = nullptr);
    ~ImageUpload() override;

    // Returns at once; Ended() follows through the event loop, also for a
    // request that cannot be built. The path and the choice are read now.
    // Ignored while an upload is under way.
    void Start(const QString& imagePath, Transport transport, bool randomName);
    // The same for an image held in memory (a pasted image, standard input),
    // named as a file at uploadName would be. The bytes go up as a file's.
    void Start(const QByteArray& image, const QString& uploadName, Transport transport, bool randomName);
    // Drops the upload under way, if any: its connection is closed at once
    // and nothing more of it is reported, Ended() included.
    void Cancel();

    // Where the next upload goes; one under way is dropped, as by Cancel.
    void SetEndpoint(const ServiceEndpoint& endpoint);
    const ServiceEndpoint& Endpoint() const { return m_endpoint; }

    bool IsRunning() const { return m_running; }
    // Once ended: the eight slots of the answer page, "n.a" in those of a
    // section it lacked; none after a failure. Each is printable UTF-8 that
    // fits a row: a page with any other link is a failure.
    const modTarnwick::LinkSet& Links() const { return m_links; }
    // Once ended: what went wrong, or nothing when links came back.
    const std::optional<TransportFailure::Failure>& Failure() const { return m_failure; }

signals:
    void Ended();
    // Bytes of the request that the service has taken, of the request's size;
    // (0, size) first, as soon as the request is opened.
    void Progress(qint64 taken, qint64 total);

private:
    void Inet_StateChanged(int state);
    void Winsock_Connect();
    void Winsock_DataArrival();
    void Winsock_Error(int number, const QString& description);
    void Begin(Transport transport);

    // The request for the path and choice of this upload; null after a
    // failure, which the upload has then ended with.
    std::unique_ptr<modTarnwick::RequestStream> OpenRequest(std::int32_t transportMode);
    // A failure for the head at the start of the socket's answer; nothing
    // while it is fine, or not all there yet.
    std::optional<TransportFailure::Failure> RefusedHead();
    // page: what the parser reads; answer: the status line and headers, then that page.
    void TakeAnswer(const std::string& page, const std::string& answer);
    void Fail(const TransportFailure::Failure& failure);
    // Ends the upload with what it has: links or a failure.
    void End();
    // Closes the connections and forgets the answer.
    void Stop();

    ServiceEndpoint m_endpoint;
    std::chrono::milliseconds m_responseTimeout;
    // The image's path, or the name of the image held in m_image.
    std::string m_imagePath;
    std::shared_ptr<const std::string> m_image;
    bool m_randomName = false;
    bool m_running = false;
    // Bumped by Start and Cancel: an Ended() posted before is stale.
    std::uint64_t m_generation = 0;
    std::string ResponseBuffer;
    // The socket's answer has shown a head that may be read on.
    bool m_headRead = false;
    modTarnwick::LinkSet m_links;
    std::optional<TransportFailure::Failure> m_failure;

    InetControl* Inet = nullptr;
    WinsockControl* Winsock = nullptr;
};
