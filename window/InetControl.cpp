#include "InetControl.h"

#include "CurlLibrary.h"
#include "PeerProgress.h"
#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <string_view>
#include <utility>

#include <poll.h>

namespace {

// Loaded by Execute before any transfer exists.
const CurlLibrary& Curl()
{
    return *CurlLibrary::Get(nullptr);
}

constexpr std::chrono::nanoseconds kFeedBudget = std::chrono::milliseconds(4);

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

} // namespace

// One request: libcurl's handles, driven by socket notifiers and a timer of
// the owner's event loop.
class InetControl::Transfer : public QObject
{
public:
    enum class Abort { None, TimedOut, TooLarge };

    Transfer(InetControl& owner, std::string body, double timeoutSeconds, qint64 maxAnswer)
        : Transfer(owner, timeoutSeconds, maxAnswer)
    {
        m_request = std::move(body);
        m_bodySize = m_request.size();
    }

    Transfer(InetControl& owner, std::unique_ptr<modTarnwick::RequestStream> body, double timeoutSeconds, qint64 maxAnswer)
        : Transfer(owner, timeoutSeconds, maxAnswer)
    {
        m_stream = std::move(body);
        m_bodySize = m_stream->Size();
    }

    ~Transfer() override { Release(); }

    // False when libcurl refused the request before anything was sent.
    bool Start(const std::string& url, const std::string& headers)
    {
        if (!m_multi || !m_easy)
            return false;
        Curl().multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Transfer::OnSocket);
        Curl().multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        Curl().multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Transfer::OnTimer);
        Curl().multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);

        AddHeaders(headers);
        const std::string noProxy = HostsWithoutProxy();
        Curl().easy_setopt(m_easy, CURLOPT_URL, url.c_str());
        // libcurl would start a resolver thread for every request.
        const QUrl parsed(QString::fromStdString(url));
        const QString host = parsed.host();
        if (NamesLocalhost(host)) {
            const int port = parsed.port(parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
            const std::string entry = host.toStdString() + ':' + std::to_string(port) + ":127.0.0.1,[::1]";
            m_resolve = Curl().slist_append(m_resolve, entry.c_str());
            Curl().easy_setopt(m_easy, CURLOPT_RESOLVE, m_resolve);
        }
        Curl().easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        Curl().easy_setopt(m_easy, CURLOPT_POST, 1L);
        if (m_stream) {
            Curl().easy_setopt(m_easy, CURLOPT_READFUNCTION, &Transfer::OnRead);
            Curl().easy_setopt(m_easy, CURLOPT_READDATA, this);
        } else {
            Curl().easy_setopt(m_easy, CURLOPT_POSTFIELDS, m_request.data());
        }
        Curl().easy_setopt(m_easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_bodySize));
        Curl().easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
        Curl().easy_setopt(m_easy, CURLOPT_NOPROXY, noProxy.c_str());
        Curl().easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
        Curl().easy_setopt(m_easy, CURLOPT_TCP_NODELAY, 1L);
        // Every upload on a connection of its own: a connection left over from
        // the last one may have been closed by the service, and a request
        // resent on a new one could store the image twice.
        Curl().easy_setopt(m_easy, CURLOPT_FRESH_CONNECT, 1L);
        Curl().easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
        if (m_connectLimit.count() > 0)
            Curl().easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, long(m_connectLimit.count()));
        Curl().easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error);
        Curl().easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
        Curl().easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
        Curl().easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
        Curl().easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
        Curl().easy_setopt(m_easy, CURLOPT_SOCKOPTFUNCTION, &Transfer::OnSocketOpened);
        Curl().easy_setopt(m_easy, CURLOPT_SOCKOPTDATA, this);
        if (Curl().multi_add_handle(m_multi, m_easy) != CURLM_OK)
            return false;
        // The connection is opened now, not a turn of the event loop later,
        // and on a near host, where it is made at once, the request goes out
        // now too. Whatever this ends in reaches the owner posted, as always.
        Act(CURL_SOCKET_TIMEOUT, 0);
        curl_socket_t ready = CURL_SOCKET_BAD;
        for (const auto& [socket, watch] : m_watches) {
            if (WantsToWrite(socket) && Writable(socket))
                ready = socket;
        }
        if (ready != CURL_SOCKET_BAD)
            Act(ready, CURL_CSELECT_OUT);
        return true;
    }

private:
    Transfer(InetControl& owner, double timeoutSeconds, qint64 maxAnswer)
        : QObject(&owner), m_owner(owner), m_maxAnswer(maxAnswer),
          m_multi(Curl().multi_init()), m_easy(Curl().easy_init()), m_timer(new QTimer(this)), m_progress(new PeerProgress(this))
    {
        m_error[0] = '\0';
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
        const auto limit = std::chrono::milliseconds(timeoutSeconds > 0 ? std::llround(timeoutSeconds * 1000.0) : 0);
        m_progress->SetStallLimit(limit);
        m_connectLimit = limit;
        connect(m_progress, &PeerProgress::Progress, &owner, &InetControl::UploadProgress);
        connect(m_progress, &PeerProgress::Stalled, this, [this] {
            m_abort = Abort::TimedOut;
            End(CURLE_OPERATION_TIMEDOUT);
        });
    }

    void AddHeaders(const std::string& block)
    {
        std::string_view rest(block);
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
            m_headers = Curl().slist_append(m_headers, std::string(line).c_str());
        }
        // Nothing beyond the block: no "Expect: 100-continue" to wait a second
        // for, no Accept line.
        m_headers = Curl().slist_append(m_headers, "Expect:");
        m_headers = Curl().slist_append(m_headers, "Accept:");
    }

    static int OnSocket(CURL*, curl_socket_t socket, int what, void* self, void*)
    {
        static_cast<Transfer*>(self)->Watch(socket, what);
        return 0;
    }

    static int OnTimer(CURLM*, long milliseconds, void* self)
    {
        QTimer* timer = static_cast<Transfer*>(self)->m_timer;
        if (milliseconds < 0)
            timer->stop();
        else
            timer->start(int(std::min<long>(milliseconds, 24L * 3600 * 1000)));
        return 0;
    }

    static std::size_t OnRead(char* to, std::size_t size, std::size_t count, void* self)
    {
        auto* transfer = static_cast<Transfer*>(self);
        const std::int64_t got = transfer->m_stream->Read(to, size * count);
        if (got < 0) {
            transfer->m_readFailure = int(-got);
            return CURL_READFUNC_ABORT;
        }
        return std::size_t(got);
    }

    static int OnSocketOpened(void* self, curl_socket_t socket, curlsocktype)
    {
        auto* transfer = static_cast<Transfer*>(self);
        transfer->m_progress->Start(socket, qint64(transfer->m_bodySize));
        return CURL_SOCKOPT_OK;
    }

    // Each header line arrives alone, the status line first; an interim
    // answer (100 Continue) is followed by the real one, which starts afresh.
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self)
    {
        auto* transfer = static_cast<Transfer*>(self);
        const std::string_view line(data, size * count);
        if (StartsWithIgnoringCase(line, "HTTP/"))
            transfer->m_head.clear();
        if (StartsWithIgnoringCase(line, "Content-Length:") && transfer->m_maxAnswer > 0) {
            const long long length = std::atoll(std::string(line.substr(15)).c_str());
            if (length > transfer->m_maxAnswer) {
                transfer->m_abort = Abort::TooLarge;
                return 0;
            }
        }
        transfer->m_head.append(line);
        return line.size();
    }

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self)
    {
        auto* transfer = static_cast<Transfer*>(self);
        const std::size_t bytes = size * count;
        if (transfer->m_maxAnswer > 0 && qint64(transfer->m_answer.size() + bytes) > transfer->m_maxAnswer) {
            transfer->m_abort = Abort::TooLarge;
            return 0;
        }
        transfer->m_answer.append(data, bytes);
        return bytes;
    }

    void Watch(curl_socket_t socket, int what)
    {
        auto& [reader, writer] = m_watches[socket];
        if (what == CURL_POLL_REMOVE) {
            // Called from inside libcurl, maybe from one of these notifiers' own signals.
            for (QSocketNotifier* notifier : {reader, writer}) {
                if (notifier) {
                    notifier->setEnabled(false);
                    notifier->deleteLater();
                }
            }
            m_watches.erase(socket);
            return;
        }
        if (!reader) {
            reader = new QSocketNotifier(socket, QSocketNotifier::Read, this);
            writer = new QSocketNotifier(socket, QSocketNotifier::Write, this);
            connect(reader, &QSocketNotifier::activated, this, [this, socket] { Act(socket, CURL_CSELECT_IN); });
            connect(writer, &QSocketNotifier::activated, this, [this, socket] { Act(socket, CURL_CSELECT_OUT); });
        }
        reader->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
        writer->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    }

    void Act(curl_socket_t socket, int events)
    {
        if (!m_multi)
            return;
        int running = 0;
        Curl().multi_socket_action(m_multi, socket, events, &running);
        // libcurl writes a request in 64 KiB pieces: while the socket takes
        // them, feed it here rather than one piece per turn of the event
        // loop, for a few milliseconds at most so the window stays live. The
        // socket takes bytes until its buffer is full, well past the point
        // where poll() stops calling it writable, so what ends the feeding is
        // a piece that did not go out.
        if (events == CURL_CSELECT_OUT) {
            QElapsedTimer busy;
            busy.start();
            for (curl_off_t sent = UploadedBytes(); m_multi && WantsToWrite(socket) && busy.nsecsElapsed() < kFeedBudget.count();) {
                Curl().multi_socket_action(m_multi, socket, CURL_CSELECT_OUT, &running);
                const curl_off_t now = UploadedBytes();
                if (now == sent)
                    break;
                sent = now;
            }
        }
        ReportProgress();
        int left = 0;
        while (CURLMsg* message = m_multi ? Curl().multi_info_read(m_multi, &left) : nullptr) {
            if (message->msg == CURLMSG_DONE) {
                End(message->data.result);
                return;
            }
        }
    }

    // Lets go of libcurl; the notifiers stay, disabled, until this object goes:
    // one of them may be the sender of the signal that got us here.
    bool WantsToWrite(curl_socket_t socket) const
    {
        const auto found = m_watches.find(socket);
        return found != m_watches.end() && found->second.second->isEnabled();
    }

    // Once a turn, not once a piece: the peer's progress costs a system call.
    void ReportProgress()
    {
        if (!m_easy)
            return;
        m_progress->Handed(qint64(UploadedBytes()));
        curl_off_t received = 0;
        Curl().easy_getinfo(m_easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
        if (received > m_received || m_head.size() > m_headSeen) {
            m_received = received;
            m_headSeen = m_head.size();
            m_progress->Received();
        }
    }

    static bool Writable(curl_socket_t socket)
    {
        pollfd watch{socket, POLLOUT, 0};
        return ::poll(&watch, 1, 0) == 1 && (watch.revents & POLLOUT);
    }

    curl_off_t UploadedBytes() const
    {
        curl_off_t sent = 0;
        if (m_easy)
            Curl().easy_getinfo(m_easy, CURLINFO_SIZE_UPLOAD_T, &sent);
        return sent;
    }

    void Release()
    {
        m_timer->stop();
        m_progress->Stop();
        for (auto& [socket, watch] : m_watches) {
            watch.first->setEnabled(false);
            watch.second->setEnabled(false);
        }
        m_watches.clear();
        if (m_multi && m_easy)
            Curl().multi_remove_handle(m_multi, m_easy);
        if (m_easy)
            Curl().easy_cleanup(std::exchange(m_easy, nullptr));
        if (m_multi)
            Curl().multi_cleanup(std::exchange(m_multi, nullptr));
        Curl().slist_free_all(std::exchange(m_headers, nullptr));
        Curl().slist_free_all(std::exchange(m_resolve, nullptr));
    }

    TransportFailure::Failure FailureOf(CURLcode code, long systemError) const
    {
        using namespace TransportFailure;
        const QString detail = QString::fromLocal8Bit(m_error[0] ? m_error : Curl().easy_strerror(code));
        if (m_abort == Abort::TimedOut || code == CURLE_OPERATION_TIMEDOUT)
            return TimedOut(m_progress->StallLimit());
        if (m_abort == Abort::TooLarge)
            return AnswerTooLarge(m_maxAnswer);
        if (m_readFailure != 0)
            return FromErrno(m_readFailure);
        switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return {ErrorNumber(QAbstractSocket::HostNotFoundError), detail};
        case CURLE_COULDNT_CONNECT:
            return systemError != 0 ? FromErrno(int(systemError)) : Failure{ECONNREFUSED, detail};
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            if (systemError != 0 && systemError != ECONNRESET && systemError != EPIPE)
                return FromErrno(int(systemError));
            return ClosedEarly();
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return ClosedEarly();
        case CURLE_OUT_OF_MEMORY:
            return FromErrno(ENOMEM);
        case CURLE_URL_MALFORMAT:
            return {EINVAL, detail};
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
            return {EPROTO, detail};
        default:
            return {EIO, detail};
        }
    }

    // The request is over: its outcome goes to the owner, and this transfer away.
    void End(CURLcode code)
    {
        long systemError = 0;
        if (m_easy)
            Curl().easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &systemError);
        const bool complete = code == CURLE_OK && m_abort == Abort::None;
        const TransportFailure::Failure failure = complete ? TransportFailure::Failure{} : FailureOf(code, systemError);
        Release();

        InetControl& owner = m_owner;
        owner.m_transfer.release();
        deleteLater();
        if (complete) {
            owner.m_head = std::move(m_head);
            owner.m_body = std::move(m_answer);
            owner.Finish(icResponseCompleted);
        } else {
            owner.m_responseCode = failure.number;
            owner.m_responseInfo = failure.description;
            owner.Finish(icError);
        }
    }

    InetControl& m_owner;
    // The body: whole, or read from the stream as it is sent.
    std::string m_request;
    std::unique_ptr<modTarnwick::RequestStream> m_stream;
    std::uint64_t m_bodySize = 0;
    int m_readFailure = 0;
    qint64 m_maxAnswer;
    CURLM* m_multi;
    CURL* m_easy;
    curl_slist* m_headers = nullptr;
    curl_slist* m_resolve = nullptr;
    char m_error[CURL_ERROR_SIZE];
    QTimer* m_timer;
    PeerProgress* m_progress;
    std::chrono::milliseconds m_connectLimit{0};
    std::map<curl_socket_t, std::pair<QSocketNotifier*, QSocketNotifier*>> m_watches;
    Abort m_abort = Abort::None;
    curl_off_t m_received = 0;
    std::size_t m_headSeen = 0;
    std::string m_head;
    std::string m_answer;
};

InetControl::InetControl(QObject* parent) : QObject(parent) {}

InetControl::~InetControl()
{
    Cancel();
}

void InetControl::Execute(const QString& url, const QString& operation, std::string data, const std::string& headers)
{
    Begin(url, operation, [&] { return std::make_unique<Transfer>(*this, std::move(data), RequestTimeout, MaxResponseBytes); }, headers);
}

void InetControl::Execute(const QString& url, const QString& operation, std::unique_ptr<modTarnwick::RequestStream> data,
                          const std::string& headers)
{
    if (!data)
        throw Toolkit::Failure(EINVAL, tr("There is no request to send"));
    Begin(url, operation, [&] { return std::make_unique<Transfer>(*this, std::move(data), RequestTimeout, MaxResponseBytes); }, headers);
}

void InetControl::Begin(const QString& url, const QString& operation, const std::function<std::unique_ptr<Transfer>()>& makeTransfer,
                        const std::string& headers)
{
    if (m_transfer)
        throw Toolkit::Failure(EALREADY, tr("Still executing the last request"));
    if (operation.trimmed().compare(QLatin1String("POST"), Qt::CaseInsensitive) != 0)
        throw Toolkit::Failure(EINVAL, tr("Only POST requests are made"));

    ++m_generation;
    m_responseCode = 0;
    m_responseInfo.clear();
    m_head.clear();
    std::string().swap(m_body);
    m_readPos = 0;

    QString missing;
    if (!CurlLibrary::Get(&missing))
        throw Toolkit::Failure(ELIBACC, missing);
    m_transfer = makeTransfer();
    if (!m_transfer->Start(url.toStdString(), headers)) {
        m_transfer.reset();
        throw Toolkit::Failure(ENOMEM, tr("The HTTP client could not start the request"));
    }
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
    m_transfer.reset();
    std::string().swap(m_body);
    m_readPos = 0;
}
