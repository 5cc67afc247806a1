#include "InetControl.h"

#include "Toolkit.h"
#include "WinsockControl.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
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
    m_statusCode = 0;
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
        m_responseCode = ETIMEDOUT;
        m_responseInfo = tr("The service did not answer within %1 seconds").arg(RequestTimeout);
        Finish(icError);
        return;
    case Abort::TooLarge:
        m_responseCode = EMSGSIZE;
        m_responseInfo = tr("The service's answer is larger than %1").arg(WinsockControl::SizeText(MaxResponseBytes));
        Finish(icError);
        return;
    case Abort::None:
        break;
    }

    if (error == QNetworkReply::NoError || (status.isValid() && IsStatusFailure(error))) {
        m_statusCode = status.toInt();
        Finish(icResponseCompleted);
        return;
    }
    m_responseCode = ErrorNumber(error);
    m_responseInfo = errorText;
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

int InetControl::ErrorNumber(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        return ECONNREFUSED;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return ECONNRESET;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return EHOSTUNREACH;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return ETIMEDOUT;
    case QNetworkReply::OperationCanceledError:
        return ECANCELED;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return ENETUNREACH;
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::AuthenticationRequiredError:
        return EACCES;
    case QNetworkReply::ContentOperationNotPermittedError:
        return EPERM;
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentGoneError:
        return ENOENT;
    case QNetworkReply::ContentConflictError:
        return EEXIST;
    case QNetworkReply::ContentReSendError:
    case QNetworkReply::ServiceUnavailableError:
        return EAGAIN;
    case QNetworkReply::ProtocolUnknownError:
        return EPROTONOSUPPORT;
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::OperationNotImplementedError:
        return EOPNOTSUPP;
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::UnknownProxyError:
    case QNetworkReply::ProtocolFailure:
        return EPROTO;
    case QNetworkReply::NoError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::UnknownServerError:
        break;
    }
    return EIO;
}
