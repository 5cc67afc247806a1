#include "ImageUpload.h"

#include "InetControl.h"
#include "UploadLimits.h"
#include "WinsockControl.h"

#include <QFile>

#include <cerrno>
#include <utility>

namespace {

const QString kPostOperation = QStringLiteral("POST");

constexpr int kChunkSize = 1024;
constexpr int icString = 0;

} // namespace

ImageUpload::ImageUpload(const ServiceEndpoint& endpoint, std::chrono::milliseconds responseTimeout,
                         std::chrono::milliseconds answerDeadline, QObject* parent)
    : QObject(parent)
    , m_endpoint(endpoint)
    , m_responseTimeout(responseTimeout)
{
    Inet = new InetControl(this);
    Inet->setObjectName(QStringLiteral("Inet"));
    Inet->RequestTimeout = double(m_responseTimeout.count()) / 1000.0;
    Inet->AnswerTimeout = double(answerDeadline.count()) / 1000.0;
    Inet->MaxResponseBytes = UploadLimits::MaxResponseBytes;
    Inet->MaxHeadBytes = UploadLimits::MaxAnswerHeadBytes;
    connect(Inet, &InetControl::StateChanged, this, &ImageUpload::Inet_StateChanged);
    connect(Inet, &InetControl::UploadProgress, this, &ImageUpload::Progress);

    Winsock = new WinsockControl(this);
    Winsock->setObjectName(QStringLiteral("Winsock"));
    Winsock->SetConnectTimeout(m_responseTimeout);
    Winsock->SetIdleTimeout(m_responseTimeout);
    Winsock->SetAnswerTimeout(answerDeadline);
    Winsock->SetMaxReceiveBytes(UploadLimits::MaxResponseBytes);
    connect(Winsock, &WinsockControl::Connected, this, &ImageUpload::Winsock_Connect);
    connect(Winsock, &WinsockControl::DataArrival, this, &ImageUpload::Winsock_DataArrival);
    connect(Winsock, &WinsockControl::Error, this, &ImageUpload::Winsock_Error);
    connect(Winsock, &WinsockControl::SendProgress, this, &ImageUpload::Progress);
}

ImageUpload::~ImageUpload()
{
    Cancel();
}

void ImageUpload::Start(const QString& imagePath, Transport transport, bool randomName)
{
    if (m_running)
        return;
    m_imagePath = QFile::encodeName(imagePath).toStdString();
    m_image.reset();
    m_randomName = randomName;
    Begin(transport);
}

void ImageUpload::Start(const QByteArray& image, const QString& uploadName, Transport transport, bool randomName)
{
    if (m_running)
        return;
    m_imagePath = QFile::encodeName(uploadName).toStdString();
    m_image = std::make_shared<const std::string>(image.constData(), std::size_t(image.size()));
    m_randomName = randomName;
    Begin(transport);
}

void ImageUpload::Begin(Transport transport)
{
    ++m_generation;
    m_running = true;
    m_links.clear();
    m_failure.reset();
    std::string().swap(ResponseBuffer);
    m_headRead = false;
    try {
        if (transport == Transport::Socket) {
            // The request is opened once the connection is.
            Winsock->Close();
            Winsock->Connect(m_endpoint.host, m_endpoint.port, m_endpoint.encrypted);
            return;
        }
        std::unique_ptr<modTarnwick::RequestStream> request = OpenRequest(modTarnwick::kHttpTransportMode);
        if (!request)
            return;
        const std::string headerBlock = request->HeaderBlock();
        Inet->Execute(m_endpoint.homePageUrl, kPostOperation, std::move(request), headerBlock);
    } catch (const std::exception& trapped) {
        Fail(TransportFailure::FailureOf(trapped));
    }
}

void ImageUpload::SetEndpoint(const ServiceEndpoint& endpoint)
{
    Cancel();
    m_endpoint = endpoint;
}

void ImageUpload::Cancel()
{
    ++m_generation;
    Stop();
}

void ImageUpload::Stop()
{
    m_running = false;
    Winsock->Close();
    Inet->Cancel();
    std::string().swap(ResponseBuffer);
    m_image.reset();
}

void ImageUpload::Inet_StateChanged(int state)
{
    if (!m_running)
        return;
    if (state == InetControl::icError) {
        Fail({ Inet->ResponseCode(), Inet->ResponseInfo() });
        return;
    }
    if (state != InetControl::icResponseCompleted)
        return;

    std::string page;
    for (std::string piece = Inet->GetChunk(kChunkSize, icString); !piece.empty();
         piece = Inet->GetChunk(kChunkSize, icString))
        page += piece;
    TakeAnswer(page, Inet->GetHeader() + page);
}

void ImageUpload::Winsock_Connect()
{
    if (!m_running)
        return;
    std::unique_ptr<modTarnwick::RequestStream> request = OpenRequest(modTarnwick::kSocketTransportMode);
    if (request)
        Winsock->SendData(std::move(request));
}

void ImageUpload::Winsock_DataArrival()
{
    if (!m_running)
        return;
    const std::size_t searched = ResponseBuffer.size();
    ResponseBuffer += Winsock->GetData();
    if (std::optional<TransportFailure::Failure> refused = RefusedHead()) {
        Fail(*refused);
        return;
    }
    if (!modTarnwick::EndOfAnswerArrived(ResponseBuffer, searched))
        return;

    // The answer is complete: nothing more from this connection may reach the user.
    Winsock->Close();
    const std::string answer = std::exchange(ResponseBuffer, std::string());
    // The buffer begins with the status line and headers, which the parser passes over.
    TakeAnswer(answer, answer);
}

std::optional<TransportFailure::Failure> ImageUpload::RefusedHead()
{
    if (m_headRead)
        return std::nullopt;
    const std::size_t size = modTarnwick::AnswerHeadSize(ResponseBuffer);
    if (size == std::string::npos) {
        if (qint64(ResponseBuffer.size()) > UploadLimits::MaxAnswerHeadBytes)
            return TransportFailure::MalformedHead(UploadLimits::MaxAnswerHeadBytes);
        return std::nullopt;
    }
    m_headRead = true;
    // An encoded page never holds the closing tag in clear: it would be
    // waited for until the service closed the connection or the time ran out.
    const modTarnwick::AnswerHead head = modTarnwick::ReadAnswerHead(ResponseBuffer);
    if (!head.contentEncoding.empty())
        return TransportFailure::EncodedPage(head.contentEncoding);
    return std::nullopt;
}

void ImageUpload::Winsock_Error(int number, const QString& description)
{
    if (m_running)
        Fail(TransportFailure::ConnectionEnded(number, description, ResponseBuffer));
}

std::unique_ptr<modTarnwick::RequestStream> ImageUpload::OpenRequest(std::int32_t transportMode)
{
    std::optional<TransportFailure::Failure> reported;
    std::unique_ptr<modTarnwick::RequestStream> request;
    {
        const modTarnwick::ErrorReportScope reportHere(
            [&reported](std::int32_t number, const std::string& description) {
                reported = TransportFailure::Failure { number, QString::fromLocal8Bit(description) };
            });
        request = m_image
            ? modTarnwick::OpenUploadRequest(m_image, m_imagePath, transportMode, m_randomName, m_endpoint.target)
            : modTarnwick::OpenUploadRequest(m_imagePath, transportMode, m_randomName, m_endpoint.target);
    }
    if (!request) {
        Fail(reported.value_or(TransportFailure::FromErrno(EIO)));
        return nullptr;
    }
    emit Progress(0, qint64(request->Size()));
    return request;
}

void ImageUpload::TakeAnswer(const std::string& page, const std::string& answer)
{
    const modTarnwick::AnswerHead head = modTarnwick::ReadAnswerHead(answer);
    if (!head.contentEncoding.empty()) {
        Fail(TransportFailure::EncodedPage(head.contentEncoding));
        return;
    }

    std::optional<TransportFailure::Failure> reported;
    modTarnwick::LinkSet links;
    {
        const modTarnwick::ErrorReportScope reportHere(
            [&reported](std::int32_t number, const std::string& description) {
                reported = TransportFailure::Failure { number, QString::fromLocal8Bit(description) };
            });
        links = modTarnwick::ParseResultPage(page);
    }
    // A page the parser cannot cut gives no links, however much of it it read.
    if (links.empty()) {
        Fail(reported.value_or(TransportFailure::FromErrno(EIO)));
        return;
    }
    // Neither section on the page: whatever the service said, it gave no links.
    if (TransportFailure::HoldsNoLinks(links)) {
        Fail(TransportFailure::NoLinks(answer));
        return;
    }
    // The window and the command line show the links as they are; what must
    // not reach a row, the clipboard or a terminal is stopped here, for both.
    for (std::size_t row = 0; row < links.size(); ++row) {
        if (std::optional<TransportFailure::Failure> refused = TransportFailure::RefusedLink(row, links[row])) {
            Fail(*refused);
            return;
        }
    }
    m_links = std::move(links);
    End();
}

void ImageUpload::Fail(const TransportFailure::Failure& failure)
{
    if (!m_running)
        return;
    m_failure = failure;
    m_links.clear();
    End();
}

void ImageUpload::End()
{
    Stop();
    const std::uint64_t generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation)
                emit Ended();
        },
        Qt::QueuedConnection);
}
