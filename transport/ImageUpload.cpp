#include "ImageUpload.h"

#include "AnswerPage.h"
#include "InetControl.h"
#include "ToolkitCore.h"
#include "UploadLimits.h"
#include "WinsockControl.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

const QString kPostOperation = QStringLiteral("POST");

constexpr int kChunkSize = 1024;
constexpr int icString = 0;

constexpr std::int32_t kHttpTransport = 0;
constexpr std::int32_t kSocketTransport = 1;

// Browse's refusal, in the number scheme: the file is too large to send.
TransportFailure::Failure TooBig()
{
    return {EFBIG, QString::fromLatin1(UploadLimits::TooBigText).trimmed()};
}

// Copy All leaves out the rows of a section the page did not have.
bool IsPlaceholder(const std::string& slot)
{
    return QString::fromUtf8(slot).compare(QLatin1String("n.a"), Qt::CaseInsensitive) == 0;
}

} // namespace

ImageUpload::ImageUpload(const ServiceEndpoint& endpoint, std::chrono::milliseconds responseTimeout, QObject* parent)
    : QObject(parent), m_endpoint(endpoint), m_responseTimeout(responseTimeout)
{
    // The module's reports say why an upload ends here; the first one is kept.
    m_recordReport = [this](std::int32_t number, const std::string& description) {
        if (!m_report)
            m_report = TransportFailure::Failure{number, QString::fromLocal8Bit(description)};
    };

    Inet = new InetControl(this);
    Inet->MaxResponseBytes = UploadLimits::MaxResponseBytes;
    connect(Inet, &InetControl::StateChanged, this, &ImageUpload::Inet_StateChanged);

    Winsock = new WinsockControl(this);
    Winsock->SetConnectTimeout(m_responseTimeout);
    Winsock->SetIdleTimeout(m_responseTimeout);
    Winsock->SetMaxReceiveBytes(UploadLimits::MaxResponseBytes);
    connect(Winsock, &WinsockControl::Connected, this, &ImageUpload::Winsock_Connect);
    connect(Winsock, &WinsockControl::DataArrival, this, &ImageUpload::Winsock_DataArrival);
    connect(Winsock, &WinsockControl::Error, this, &ImageUpload::Winsock_Error);
}

void ImageUpload::Start(const QString& imagePath, Transport transport, bool randomName)
{
    if (std::exchange(m_started, true))
        return;
    m_imagePath = QFile::encodeName(imagePath).toStdString();
    m_randomName = randomName;
    try {
        // Browse's check comes first: a file it would refuse never reaches the network.
        if (Toolkit::FileLen(imagePath) > UploadLimits::MaxImageBytes) {
            Fail(TooBig());
            return;
        }
        if (transport == Transport::Socket) {
            // The request is opened once the connection is, as the window does.
            Winsock->Close();
            Winsock->Connect(m_endpoint.host, m_endpoint.port);
            return;
        }
        std::unique_ptr<modTarnwick::RequestStream> request = OpenRequest(kHttpTransport);
        if (!request) {
            Fail(ReportedFailure());
            return;
        }
        Inet->RequestTimeout = double(m_responseTimeout.count()) / 1000.0;
        const std::string headerBlock = request->HeaderBlock();
        Inet->Execute(m_endpoint.homePageUrl, kPostOperation, std::move(request), headerBlock);
    } catch (const std::exception& trapped) {
        Fail(TransportFailure::FailureOf(trapped));
    }
}

void ImageUpload::Inet_StateChanged(int state)
{
    if (m_ended)
        return;
    if (state == InetControl::icError) {
        Fail({Inet->ResponseCode(), Inet->ResponseInfo()});
        return;
    }
    if (state != InetControl::icResponseCompleted)
        return;

    std::string page;
    for (std::string piece = Inet->GetChunk(kChunkSize, icString); !piece.empty(); piece = Inet->GetChunk(kChunkSize, icString))
        page += piece;
    TakeAnswer(page, Inet->GetHeader());
}

void ImageUpload::Winsock_Connect()
{
    if (m_ended)
        return;
    std::unique_ptr<modTarnwick::RequestStream> request = OpenRequest(kSocketTransport);
    if (!request) {
        Fail(ReportedFailure());
        return;
    }
    Winsock->SendStream(std::move(request));
}

void ImageUpload::Winsock_DataArrival()
{
    if (m_ended)
        return;
    const std::size_t searched = ResponseBuffer.size();
    ResponseBuffer += Winsock->GetData();
    if (!AnswerPage::EndHasArrived(ResponseBuffer, searched))
        return;

    Winsock->Close();
    const std::string answer = std::exchange(ResponseBuffer, std::string());
    // The buffer begins with the status line and headers: it is its own head.
    TakeAnswer(answer, answer);
}

void ImageUpload::Winsock_Error(int number, const QString& description)
{
    Fail(TransportFailure::ConnectionEnded(number, description, ResponseBuffer));
}

std::unique_ptr<modTarnwick::RequestStream> ImageUpload::OpenRequest(std::int32_t transportMode)
{
    const modTarnwick::ErrorReportScope reportHere(m_recordReport);
    return modTarnwick::OpenUploadRequest(m_imagePath, transportMode, m_randomName);
}

TransportFailure::Failure ImageUpload::ReportedFailure() const
{
    return m_report.value_or(TransportFailure::Failure{EIO, QString::fromLocal8Bit(std::strerror(EIO))});
}

void ImageUpload::TakeAnswer(const std::string& page, const std::string& head)
{
    modTarnwick::LinkSet links;
    {
        const modTarnwick::ErrorReportScope reportHere(m_recordReport);
        links = modTarnwick::ParseResultPage(page);
    }
    if (links.empty()) {
        Fail(ReportedFailure());
        return;
    }
    // Neither section on the page: whatever the service said, it gave no links.
    if (TransportFailure::HoldsNoLinks(links)) {
        Fail(TransportFailure::NoLinks(head));
        return;
    }
    for (std::string& slot : links) {
        if (!IsPlaceholder(slot))
            m_links.push_back(std::move(slot));
    }
    End();
}

void ImageUpload::Fail(const TransportFailure::Failure& failure)
{
    if (m_ended)
        return;
    m_failure = failure;
    m_links.clear();
    End();
}

void ImageUpload::End()
{
    if (std::exchange(m_ended, true))
        return;
    // Nothing more of this upload may arrive: the answer is taken, or the upload is over.
    Winsock->Close();
    Inet->Cancel();
    std::string().swap(ResponseBuffer);
    QMetaObject::invokeMethod(this, &ImageUpload::Ended, Qt::QueuedConnection);
}
