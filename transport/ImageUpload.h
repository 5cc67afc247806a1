#pragma once

// One image up to the service over one transport, for a caller without a
// window: the window's steps with the window's components, the protocol
// module and the same limits. It ends once, with the links that Copy All
// would take or with a failure in the window's numbers.

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
#include <vector>

class InetControl;
class WinsockControl;

class ImageUpload : public QObject
{
    Q_OBJECT

public:
    enum class Transport { HttpClient, Socket };

    ImageUpload(const ServiceEndpoint& endpoint, std::chrono::milliseconds responseTimeout, QObject* parent = nullptr);

    // Returns at once; Ended() follows through the event loop, also for a
    // file refused before anything is sent. One upload per object.
    void Start(const QString& imagePath, Transport transport, bool randomName);

    bool HasEnded() const { return m_ended; }
    // Once ended: the rows that are not "n.a", in row order; none after a failure.
    const std::vector<std::string>& Links() const { return m_links; }
    // Once ended: what went wrong, or nothing when links came back.
    const std::optional<TransportFailure::Failure>& Failure() const { return m_failure; }

signals:
    void Ended();

private:
    void Inet_StateChanged(int state);
    void Winsock_Connect();
    void Winsock_DataArrival();
    void Winsock_Error(int number, const QString& description);

    std::unique_ptr<modTarnwick::RequestStream> OpenRequest(std::int32_t transportMode);
    void TakeAnswer(const std::string& page, const std::string& head);
    // The module's own report, if it made one; a failure with no report is still a failure.
    TransportFailure::Failure ReportedFailure() const;
    void Fail(const TransportFailure::Failure& failure);
    void End();

    ServiceEndpoint m_endpoint;
    std::chrono::milliseconds m_responseTimeout;
    std::string m_imagePath;
    bool m_randomName = false;
    bool m_started = false;
    bool m_ended = false;
    std::string ResponseBuffer;
    modTarnwick::ErrorReporter m_recordReport;
    std::optional<TransportFailure::Failure> m_report;
    std::vector<std::string> m_links;
    std::optional<TransportFailure::Failure> m_failure;

    InetControl* Inet = nullptr;
    WinsockControl* Winsock = nullptr;
};
