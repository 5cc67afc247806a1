#include "InetControl.h"

#include "Toolkit.h"
#include "TransportFailure.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <string_view>
#include <utility>

namespace {

// The platform's proxy settings, except for loopback addresses: a proxy
// elsewhere cannot reach a service on this machine.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        const QString host = query.peerHostName();
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback())
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

// Owns the request body for as long as the reply that reads it lives, so the
// body reaches Qt without a copy.
class RequestBody : public QObject
{
public:
    explicit RequestBody(std::string bytes) : m_bytes(std::move(bytes)) {}
    QByteArray View() const { return QByteArray::fromRawData(m_bytes.data(), static_cast<qsizetype>(m_bytes.size())); }

private:
    std::string m_bytes;
};

bool IsStatusFailure(QNetworkReply::NetworkError error)
{
    // Qt's content (2xx) and server (4xx) error groups mirror an HTTP status
    // that came with a page, and so does the protocol error Qt gives 400 and
    // 418; every other error means no usable answer.
    const int value = static_cast<int>(error);
    return (value >= 201 && value <= 299) || (value >= 401 && value <= 499)
        || error == QNetworkReply::ProtocolInvalidOperationError;
}

// Qt's failures, in the words of the socket's: the same failure gets the same number on both transports.
int ErrorNumber(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return TransportFailure::ErrorNumber(QAbstractSocket::ConnectionRefusedError);
    case QNetworkReply::RemoteHostClosedError:
        return TransportFailure::ErrorNumber(QAbstractSocket::RemoteHostClosedError);
    case QNetworkReply::HostNotFoundError:
        return TransportFailure::ErrorNumber(QAbstractSocket::HostNotFoundError);
    case QNetworkReply::TimeoutError:
        return TransportFailure::ErrorNumber(QAbstractSocket::SocketTimeoutError);
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return TransportFailure::ErrorNumber(QAbstractSocket::NetworkError);
    case QNetworkReply::ProxyConnectionRefusedError:
        return TransportFailure::ErrorNumber(QAbstractSocket::ProxyConnectionRefusedError);
    case QNetworkReply::ProxyConnectionClosedError:
        return TransportFailure::ErrorNumber(QAbstractSocket::ProxyConnectionClosedError);
    case QNetworkReply::ProxyNotFoundError:
        return TransportFailure::ErrorNumber(QAbstractSocket::ProxyNotFoundError);
    case QNetworkReply::ProxyTimeoutError:
        return TransportFailure::ErrorNumber(QAbstractSocket::ProxyConnectionTimeoutError);
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return TransportFailure::ErrorNumber(QAbstractSocket::ProxyAuthenticationRequiredError);
    case QNetworkReply::SslHandshakeFailedError:
        return TransportFailure::ErrorNumber(QAbstractSocket::SslHandshakeFailedError);
    case QNetworkReply::OperationCanceledError:
        return ECANCELED;
    default:
        return TransportFailure::ErrorNumber(QAbstractSocket::UnknownSocketError);
    }
}

// "HTTP/1.1 302 Found\r\nLocation: /x\r\n": the head as it came, rebuilt from what Qt kept of it.
std::string HeadOf(const QNetworkReply* reply)
{
    // Qt keeps no version; requests here are HTTP/1.1 only.
    QByteArray head = "HTTP/1.1 " + reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toByteArray();
    const QByteArray reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    if (!reason.isEmpty())
        head += ' ' + reason;
    head += "\r\n";
    for (const QNetworkReply::RawHeaderPair& header : reply->rawHeaderPairs())
        head += header.first + ": " + header.second + "\r\n";
    return head.toStdString() + "\r\n";
}

} // namespace

InetControl::InetControl(QObject* parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_timer(new QTimer(this))
{
    m_manager->setProxyFactory(new SystemProxyFactory);
    // The service's answer is the page, whatever status or redirect it carries.
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &InetControl::OnTimeout);
}

InetControl::~InetControl()
{
    Cancel();
}

void InetControl::Execute(const QString& url, const QString& operation, std::string data, const std::string& headers)
{
    if (m_reply)
        throw Toolkit::Failure(EALREADY, tr("Still executing the last request"));

    ++m_generation;
    m_abort = Abort::None;
    m_responseCode = 0;
    m_responseInfo.clear();
    m_head.clear();
    std::string().swap(m_body);
    m_readPos = 0;

    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    std::string_view rest(headers);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue; // the blank line that ends the block, or no header at all
        const QByteArray name = QByteArray(line.data(), static_cast<qsizetype>(colon)).trimmed();
        const QByteArray value = QByteArray(line.data() + colon + 1, static_cast<qsizetype>(line.size() - colon - 1)).trimmed();
        // Qt writes Host from the URL it connects to, port included; the
        // block's Host names the compiled-in service without a port.
        if (name.compare("Host", Qt::CaseInsensitive) == 0)
            continue;
        request.setRawHeader(name, value);
    }
    // Whatever the block says, the length on the wire is the body's.
    request.setHeader(QNetworkRequest::ContentLengthHeader, QVariant::fromValue<qint64>(static_cast<qint64>(data.size())));

    auto* body = new RequestBody(std::move(data));
    const QByteArray verb = operation.trimmed().toUpper().toLatin1();
    if (verb == "GET")
        m_reply = m_manager->get(request);
    else if (verb == "POST")
        m_reply = m_manager->post(request, body->View());
    else
        m_reply = m_manager->sendCustomRequest(request, verb, body->View());
    body->setParent(m_reply);

    connect(m_reply, &QNetworkReply::readyRead, this, &InetControl::OnReadyRead);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &InetControl::OnMetaDataChanged);
    connect(m_reply, &QNetworkReply::finished, this, &InetControl::OnFinished);
    connect(m_reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 total) {
        RestartTimer();
        emit UploadProgress(sent, total);
    });
    connect(m_reply, &QNetworkReply::downloadProgress, this, &InetControl::RestartTimer);
    RestartTimer();
}

void InetControl::RestartTimer()
{
    if (!m_reply || RequestTimeout <= 0) {
        m_timer->stop();
        return;
    }
    m_timer->start(std::max(1, static_cast<int>(std::lround(RequestTimeout * 1000.0))));
}

void InetControl::OnMetaDataChanged()
{
    if (!m_reply)
        return;
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (MaxResponseBytes > 0 && length.isValid() && length.toLongLong() > MaxResponseBytes)
        AbortReply(Abort::TooLarge);
}

void InetControl::OnReadyRead()
{
    if (!m_reply)
        return;
    const qint64 available = m_reply->bytesAvailable();
    if (available <= 0)
        return;
    if (MaxResponseBytes > 0 && static_cast<qint64>(m_body.size()) + available > MaxResponseBytes) {
        AbortReply(Abort::TooLarge);
        return;
    }
    const std::size_t at = m_body.size();
    m_body.resize(at + static_cast<std::size_t>(available));
    const qint64 got = m_reply->read(m_body.data() + at, available);
    m_body.resize(at + static_cast<std::size_t>(std::max<qint64>(got, 0)));
}

void InetControl::AbortReply(Abort reason)
{
    m_abort = reason;
    m_timer->stop();
    // finished() follows, and OnFinished reports the reason.
    m_reply->abort();
}

void InetControl::OnTimeout()
{
    if (m_reply)
        AbortReply(Abort::TimedOut);
}

void InetControl::OnFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply || reply != m_reply)
        return;
    m_timer->stop();

    // The reply's verdict is read before it is let go.
    const QNetworkReply::NetworkError error = reply->error();
    const QString errorText = reply->errorString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        m_head = HeadOf(reply);

    if (m_abort == Abort::None) {
        const qint64 rest = reply->bytesAvailable();
        if (rest > 0) {
            if (MaxResponseBytes > 0 && static_cast<qint64>(m_body.size()) + rest > MaxResponseBytes) {
                m_abort = Abort::TooLarge;
            } else {
                const std::size_t at = m_body.size();
                m_body.resize(at + static_cast<std::size_t>(rest));
                const qint64 got = reply->read(m_body.data() + at, rest);
                m_body.resize(at + static_cast<std::size_t>(std::max<qint64>(got, 0)));
            }
        }
    }
    DropReply();

    switch (m_abort) {
    case Abort::TimedOut:
        Fail(TransportFailure::TimedOut(std::chrono::milliseconds(std::lround(RequestTimeout * 1000.0))));
        return;
    case Abort::TooLarge:
        Fail(TransportFailure::AnswerTooLarge(MaxResponseBytes));
        return;
    case Abort::None:
        break;
    }

    if (error == QNetworkReply::NoError || (status.isValid() && IsStatusFailure(error))) {
        Finish(icResponseCompleted);
        return;
    }
    Fail({ErrorNumber(error), errorText});
}

void InetControl::Fail(const TransportFailure::Failure& failure)
{
    m_responseCode = failure.number;
    m_responseInfo = failure.description;
    Finish(icError);
}

void InetControl::Finish(int state)
{
    if (state == icError)
        std::string().swap(m_body);
    m_readPos = 0;
    const std::uint64_t generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, state] {
            if (generation == m_generation)
                emit StateChanged(state);
        },
        Qt::QueuedConnection);
}

void InetControl::DropReply()
{
    if (!m_reply)
        return;
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    disconnect(reply, nullptr, this, nullptr);
    m_timer->stop();
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
}

std::string InetControl::GetChunk(int size, int /*dataType*/)
{
    if (size <= 0 || m_readPos >= m_body.size()) {
        std::string().swap(m_body);
        m_readPos = 0;
        return {};
    }
    const std::size_t count = std::min(static_cast<std::size_t>(size), m_body.size() - m_readPos);
    std::string piece = m_body.substr(m_readPos, count);
    m_readPos += count;
    return piece;
}

void InetControl::Cancel()
{
    ++m_generation;
    m_abort = Abort::None;
    DropReply();
    std::string().swap(m_body);
    m_readPos = 0;
}
