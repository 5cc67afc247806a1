#include "InetControl.h"

#include "PeerProgress.h"
#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <utility>

#include <openssl/x509_vfy.h>

namespace {

using std::chrono::milliseconds;

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// The platform's proxy settings (libcurl reads the *_proxy variables), except
// for loopback addresses: a proxy elsewhere cannot reach a service on this machine.
std::string HostsWithoutProxy()
{
    QByteArray hosts = qgetenv("no_proxy");
    if (hosts.isEmpty())
        hosts = qgetenv("NO_PROXY");
    if (!hosts.isEmpty())
        hosts += ',';
    return (hosts + "localhost,127.0.0.1,::1").toStdString();
}

// "host:port:127.0.0.1,[::1]": where libcurl is to connect for host, so
// that it never starts a resolver of its own.
std::string ResolveEntry(const QString& host, int port, const QList<QHostAddress>& addresses)
{
    std::string entry = host.toStdString() + ':' + std::to_string(port) + ':';
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const QHostAddress& address = addresses[i];
        const std::string text = address.toString().toStdString();
        entry += (i > 0 ? "," : "") + (address.protocol() == QAbstractSocket::IPv6Protocol ? '[' + text + ']' : text);
    }
    return entry;
}

void InitialiseCurl()
{
    // Once per process, before the first handle; never cleaned up, as a linked library is not.
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised);
}

} // namespace

InetControl::InetControl(QObject* parent)
    : QObject(parent)
    , m_curlTimer(new QTimer(this))
    , m_connectTimer(new QTimer(this))
    , m_progress(new PeerProgress(this))
{
    InitialiseCurl();
    m_multi = curl_multi_init();
    if (m_multi) {
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &InetControl::OnSocket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &InetControl::OnTimer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    }
    m_curlTimer->setSingleShot(true);
    connect(m_curlTimer, &QTimer::timeout, this, [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, [this] { Stop(Abort::TimedOut); });
    connect(m_progress, &PeerProgress::Stalled, this, [this] { Stop(Abort::TimedOut); });
    connect(m_progress, &PeerProgress::Overdue, this, [this] { Stop(Abort::Overdue); });
    connect(m_progress, &PeerProgress::Progress, this, [this](qint64 taken, qint64 total) {
        // Posted, as the state is: a receiver may end the request, which must not happen inside Act.
        QMetaObject::invokeMethod(
            this,
            [this, generation = m_generation, taken, total] {
                if (generation == m_generation && m_executing)
                    emit UploadProgress(taken, total);
            },
            Qt::QueuedConnection);
    });
}

InetControl::~InetControl()
{
    Cancel();
    if (m_multi)
        curl_multi_cleanup(m_multi);
}

void InetControl::Execute(const QString& url, const QString& operation,
                          std::unique_ptr<modTarnwick::RequestStream> data, const std::string& headers)
{
    if (m_executing)
        throw Toolkit::Failure(EALREADY, tr("Still executing the last request"));
    if (operation.trimmed().compare(QLatin1String("POST"), Qt::CaseInsensitive) != 0)
        throw Toolkit::Failure(EINVAL, tr("Only POST requests are made"));
    if (!data)
        throw Toolkit::Failure(EINVAL, tr("There is no request to send"));
    if (!m_multi)
        throw Toolkit::Failure(ENOMEM, tr("The HTTP client could not start"));

    ++m_generation;
    m_responseCode = 0;
    m_responseInfo.clear();
    m_head.clear();
    m_headBytes = 0;
    m_interimHead = false;
    m_headEnded = false;
    std::string().swap(m_body);
    m_readPos = 0;
    m_url = url.toStdString();
    m_headerBlock = headers;
    m_bodySize = qint64(data->Size());
    m_stream = std::move(data);
    m_socket = CURL_SOCKET_BAD;
    m_readFailure = 0;
    m_abort = Abort::None;
    m_executing = true;

    const milliseconds limit(RequestTimeout > 0 ? std::llround(RequestTimeout * 1000.0) : 0);
    m_progress->SetStallLimit(limit);
    m_progress->SetAnswerLimit(milliseconds(AnswerTimeout > 0 ? std::llround(AnswerTimeout * 1000.0) : 0));
    // Until the connection is made: finding the host and connecting to it.
    if (limit.count() > 0)
        m_connectTimer->start(limit);

    // libcurl would resolve a name on a thread of its own, which a
    // cancelled request cannot stop; Qt's lookup is let go of instead, as
    // the socket's is.
    const QUrl parsed(url);
    const QString host = parsed.host();
    const int port = parsed.port(parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    if (NamesLocalhost(host)) {
        Begin(ResolveEntry(host, port,
                           { QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6) }));
        return;
    }
    if (host.isEmpty() || !QHostAddress(host).isNull()) {
        Begin({});
        return;
    }
    m_lookup = QHostInfo::lookupHost(host, this, [this, generation = m_generation, host, port](const QHostInfo& found) {
        if (generation != m_generation)
            return;
        m_lookup = -1;
        if (found.error() != QHostInfo::NoError || found.addresses().isEmpty()) {
            m_responseCode = TransportFailure::ErrorNumber(QAbstractSocket::HostNotFoundError);
            m_responseInfo = found.errorString();
            Release();
            Report(icError);
            return;
        }
        Begin(ResolveEntry(host, port, found.addresses()));
    });
}

void InetControl::Begin(const std::string& resolveEntry)
{
    m_easy = curl_easy_init();
    if (!m_easy) {
        Finish(CURLE_OUT_OF_MEMORY);
        return;
    }
    std::string_view rest(m_headerBlock);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue; // the blank line that ends the block, or no header at all
        // libcurl writes Host from the URL, port included (the block's names
        // the compiled-in service without one), and the length from the data.
        if (StartsWithIgnoringCase(line, "Host:") || StartsWithIgnoringCase(line, "Content-Length:"))
            continue;
        m_headers = curl_slist_append(m_headers, std::string(line).c_str());
    }
    // Nothing beyond the block: no "Expect: 100-continue" to wait a second
    // for, no Accept line.
    m_headers = curl_slist_append(m_headers, "Expect:");
    m_headers = curl_slist_append(m_headers, "Accept:");
    if (!resolveEntry.empty()) {
        m_resolve = curl_slist_append(m_resolve, resolveEntry.c_str());
        curl_easy_setopt(m_easy, CURLOPT_RESOLVE, m_resolve);
    }

    curl_easy_setopt(m_easy, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Peer and host verification stay as libcurl starts them: on. Its
    // built-in bundle is the system's, so SSL_CERT_FILE is passed on here.
    const QByteArray caFile = QFile::encodeName(CaCertificatesFile());
    if (!caFile.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAINFO, caFile.constData()); // libcurl keeps a copy
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(m_easy, CURLOPT_POST, 1L);
    curl_easy_setopt(m_easy, CURLOPT_READFUNCTION, &InetControl::OnRead);
    curl_easy_setopt(m_easy, CURLOPT_READDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_bodySize));
    // libcurl sends one buffer each time the event loop finds the socket
    // writable: twice its default halves the turns a large request takes.
    curl_easy_setopt(m_easy, CURLOPT_UPLOAD_BUFFERSIZE, 128L * 1024);
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_easy, CURLOPT_NOPROXY, HostsWithoutProxy().c_str()); // libcurl keeps a copy
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_TCP_NODELAY, 1L);
    // Every upload on a connection of its own: a connection left over from
    // the last one may have been closed by the service, and a request
    // resent on a new one could store the image twice.
    curl_easy_setopt(m_easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error);
    m_error[0] = '\0';
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &InetControl::OnHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &InetControl::OnBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);

    // libcurl asks through OnTimer to be called at once, and goes on from there.
    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK)
        Finish(CURLE_OUT_OF_MEMORY);
}

void InetControl::Act(curl_socket_t socket, int events)
{
    if (!m_easy)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);

    // Progress is read from the connection in use, once there is one.
    const curl_socket_t active = SocketInUse();
    if (active != CURL_SOCKET_BAD && active != m_socket) {
        m_socket = active;
        m_connectTimer->stop();
        m_progress->Start(qintptr(active), m_bodySize);
    }
    curl_off_t handed = 0;
    if (m_socket != CURL_SOCKET_BAD && curl_easy_getinfo(m_easy, CURLINFO_SIZE_UPLOAD_T, &handed) == CURLE_OK)
        m_progress->Handed(qint64(handed));
    // libcurl hands on a head only by whole lines: bytes of a line still
    // coming are progress all the same. They need not be answer yet (a TLS
    // handshake reads too), so the answer's clock waits for a whole line.
    if (socket == m_socket && socket != CURL_SOCKET_BAD && (events & CURL_CSELECT_IN))
        m_progress->Heard();

    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy) {
            Finish(message->data.result);
            return;
        }
    }
}

curl_socket_t InetControl::SocketInUse() const
{
    curl_socket_t active = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_easy, CURLINFO_ACTIVESOCKET, &active) == CURLE_OK && active != CURL_SOCKET_BAD)
        return active;
    // libcurl 7.88 (Debian 12) names it only once the transfer is done. Until
    // then it is the one socket that libcurl watches once connected: a second
    // attempt, at another address of the host, is closed when one connects.
    curl_off_t connected = 0;
    if (curl_easy_getinfo(m_easy, CURLINFO_CONNECT_TIME_T, &connected) != CURLE_OK || connected <= 0
        || m_watched.size() != 1)
        return CURL_SOCKET_BAD;
    return m_watched.begin()->first;
}

void InetControl::Watch(curl_socket_t socket, int what)
{
    Notifiers& watched = m_watched[socket];
    const auto use = [this, socket](QSocketNotifier*& notifier, QSocketNotifier::Type type, bool wanted, int event) {
        if (!wanted) {
            if (notifier)
                notifier->setEnabled(false);
            return;
        }
        if (!notifier) {
            notifier = new QSocketNotifier(qintptr(socket), type, this);
            connect(notifier, &QSocketNotifier::activated, this, [this, socket, event] { Act(socket, event); });
        }
        notifier->setEnabled(true);
    };
    if (what == CURL_POLL_REMOVE) {
        // Possibly from inside the notifier's own signal: it goes once that has returned.
        for (QSocketNotifier* notifier : { watched.read, watched.write }) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        m_watched.erase(socket);
        return;
    }
    use(watched.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT, CURL_CSELECT_IN);
    use(watched.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT, CURL_CSELECT_OUT);
}

void InetControl::Finish(CURLcode code)
{
    const bool complete = code == CURLE_OK && m_abort == Abort::None;
    if (!complete) {
        const TransportFailure::Failure failure = FailureOf(code);
        m_responseCode = failure.number;
        m_responseInfo = failure.description;
        std::string().swap(m_body);
    }
    Release();
    Report(complete ? icResponseCompleted : icError);
}

void InetControl::Stop(Abort why)
{
    if (!m_executing)
        return;
    m_abort = why;
    Finish(CURLE_ABORTED_BY_CALLBACK);
}

// Closes the connection, if libcurl has not, and frees the transfer and the file.
void InetControl::Release()
{
    m_connectTimer->stop();
    m_progress->Stop();
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(std::exchange(m_lookup, -1));
    if (m_easy) {
        curl_multi_remove_handle(m_multi, m_easy);
        curl_easy_cleanup(std::exchange(m_easy, nullptr));
    }
    curl_slist_free_all(std::exchange(m_headers, nullptr));
    curl_slist_free_all(std::exchange(m_resolve, nullptr));
    m_stream.reset();
    m_socket = CURL_SOCKET_BAD;
    m_executing = false;
}

void InetControl::Report(int state)
{
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation, state] {
            if (generation == m_generation)
                emit StateChanged(state);
        },
        Qt::QueuedConnection);
}

TransportFailure::Failure InetControl::FailureOf(CURLcode code) const
{
    using namespace TransportFailure;
    if (m_abort == Abort::TimedOut)
        return TimedOut(milliseconds(std::llround(RequestTimeout * 1000.0)));
    if (m_abort == Abort::Overdue)
        return AnswerTooSlow(milliseconds(std::llround(AnswerTimeout * 1000.0)));
    if (m_abort == Abort::TooLarge)
        return AnswerTooLarge(MaxResponseBytes);
    if (m_abort == Abort::Malformed)
        return MalformedHead(MaxHeadBytes);
    if (m_readFailure != 0)
        return FromStream(m_readFailure);
    long systemError = 0;
    if (m_easy)
        curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &systemError);
    const QString detail = QString::fromLocal8Bit(m_error[0] ? m_error : curl_easy_strerror(code));
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return { ErrorNumber(QAbstractSocket::HostNotFoundError), detail };
    case CURLE_COULDNT_CONNECT:
        return systemError != 0 ? FromErrno(int(systemError)) : Failure { ECONNREFUSED, detail };
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        if (systemError != 0 && systemError != ECONNRESET && systemError != EPIPE)
            return FromErrno(int(systemError));
        return ClosedEarly();
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return ClosedEarly();
    case CURLE_OUT_OF_MEMORY:
#if LIBCURL_VERSION_NUM >= 0x080600
    case CURLE_TOO_LARGE:
#endif
        // What libcurl says of a header line longer than it takes (100 KiB):
        // no memory before 8.6, too large since.
        if (m_socket != CURL_SOCKET_BAD && !m_headEnded && MaxHeadBytes > 0)
            return MalformedHead(MaxHeadBytes);
        return FromErrno(ENOMEM);
    case CURLE_URL_MALFORMAT:
        return { EINVAL, detail };
    case CURLE_PEER_FAILED_VERIFICATION:
        return CertificateFailure(detail);
    case CURLE_SSL_CACERT_BADFILE:
        // Without SSL_CERT_FILE the bundle is the system's, and a system
        // without one (no ca-certificates) trusts no certificate at all, as
        // the socket finds too.
        return CaCertificatesFile().isEmpty() ? CertificateNotTrusted(Distrust::UnknownIssuer)
                                              : CaCertificatesUnusable(CaCertificatesFile());
    case CURLE_SSL_CONNECT_ERROR:
        return HandshakeFailed(detail);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return { EPROTO, detail };
    default:
        return { EIO, detail };
    }
}

TransportFailure::Failure InetControl::CertificateFailure(const QString& detail) const
{
    using TransportFailure::Distrust;
    long result = X509_V_OK;
    curl_easy_getinfo(m_easy, CURLINFO_SSL_VERIFYRESULT, &result);
    switch (result) {
    // The chain checked out and libcurl's own check of the name failed,
    // which leaves the chain's result unset (7.88 reports it as unspecified).
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TransportFailure::CertificateForAnotherHost(QUrl(QString::fromStdString(m_url)).host());
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return TransportFailure::CertificateNotTrusted(Distrust::UnknownIssuer);
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return TransportFailure::CertificateNotTrusted(Distrust::SelfSigned);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return TransportFailure::CertificateNotTrusted(Distrust::Expired);
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TransportFailure::CertificateNotTrusted(Distrust::NotYetValid);
    case X509_V_ERR_CERT_REVOKED:
        return TransportFailure::CertificateNotTrusted(Distrust::Revoked);
    default:
        return TransportFailure::CertificateNotTrusted(Distrust::Other, detail);
    }
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
    Release();
    std::string().swap(m_body);
    m_readPos = 0;
}

std::size_t InetControl::OnRead(char* to, std::size_t size, std::size_t count, void* self) noexcept
{
    auto* inet = static_cast<InetControl*>(self);
    try {
        const std::int64_t got = inet->m_stream->Read(to, size * count);
        if (got < 0) {
            inet->m_readFailure = int(-got);
            return CURL_READFUNC_ABORT;
        }
        return std::size_t(got);
    } catch (...) {
        inet->m_readFailure = EIO;
        return CURL_READFUNC_ABORT;
    }
}

// Each header line arrives alone, the status line first; an interim answer
// (100 Continue) is followed by the real one, which starts afresh.
std::size_t InetControl::OnHeader(char* data, std::size_t size, std::size_t count, void* self) noexcept
{
    auto* inet = static_cast<InetControl*>(self);
    const std::string_view line(data, size * count);
    try {
        inet->m_headBytes += qint64(line.size());
        if (inet->MaxHeadBytes > 0 && inet->m_headBytes > inet->MaxHeadBytes) {
            inet->m_abort = Abort::Malformed;
            return 0;
        }
        if (StartsWithIgnoringCase(line, "HTTP/")) {
            inet->m_head.clear();
            const std::size_t code = line.find(' ');
            inet->m_interimHead = code != std::string_view::npos && code + 1 < line.size() && line[code + 1] == '1';
        } else if (line == "\r\n" || line == "\n") {
            inet->m_headEnded = !inet->m_interimHead;
        }
        constexpr std::string_view kLength = "Content-Length:";
        if (StartsWithIgnoringCase(line, kLength) && inet->MaxResponseBytes > 0) {
            const long long length = std::atoll(std::string(line.substr(kLength.size())).c_str());
            if (length > inet->MaxResponseBytes) {
                inet->m_abort = Abort::TooLarge;
                return 0;
            }
        }
        inet->m_head.append(line);
        inet->m_progress->Received();
        return line.size();
    } catch (...) {
        return 0; // no memory: the transfer ends
    }
}

std::size_t InetControl::OnBody(char* data, std::size_t size, std::size_t count, void* self) noexcept
{
    auto* inet = static_cast<InetControl*>(self);
    const std::size_t bytes = size * count;
    if (inet->MaxResponseBytes > 0 && qint64(inet->m_body.size() + bytes) > inet->MaxResponseBytes) {
        inet->m_abort = Abort::TooLarge;
        return 0;
    }
    try {
        inet->m_body.append(data, bytes);
        inet->m_progress->Received();
        return bytes;
    } catch (...) {
        return 0;
    }
}

int InetControl::OnSocket(CURL* /*easy*/, curl_socket_t socket, int what, void* self, void* /*socketData*/) noexcept
{
    try {
        static_cast<InetControl*>(self)->Watch(socket, what);
        return 0;
    } catch (...) {
        return -1;
    }
}

int InetControl::OnTimer(CURLM* /*multi*/, long milliseconds, void* self) noexcept
{
    try {
        QTimer* timer = static_cast<InetControl*>(self)->m_curlTimer;
        if (milliseconds < 0)
            timer->stop();
        else
            timer->start(int(std::min<long>(milliseconds, std::numeric_limits<int>::max())));
        return 0;
    } catch (...) {
        return -1;
    }
}
