#include "InetControl.h"

#include "CurlLibrary.h"
#include "PeerProgress.h"
#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "TransportFailure.h"
#include "modTarnwick.h"

#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// Loaded by Execute before any transfer exists.
const CurlLibrary& Curl()
{
    return *CurlLibrary::Get(nullptr);
}

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// While bytes handed to the kernel wait for the peer, the peer's progress is
// looked at this often; reports of it go to the window at most this often.
constexpr milliseconds kSampleInterval{50};
constexpr milliseconds kReportInterval{20};
// How long Cancel waits for the transfer's thread to let go. It takes
// microseconds, unless the system's resolver holds it: then the thread is
// left to end on its own, and reports nothing.
constexpr milliseconds kStopWait{500};

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

struct InetControl::Outcome
{
    bool complete = false;
    TransportFailure::Failure failure;
    std::string head;
    std::string body;
};

// One request, run by libcurl on a thread of its own: connect, send the body
// (read from its stream as it goes), take the answer, then post the outcome to
// the owner and let go of the connection. The thread shares only the Job with
// the owner's side, and reaches the owner through posted calls alone.
class InetControl::Transfer
{
public:
    enum class Abort { None, TimedOut, TooLarge };

    struct Job
    {
        // Set on the owner's thread before the thread starts, then read-only.
        std::string url;
        std::string headerBlock;
        std::string request; // the body, whole: or
        std::unique_ptr<modTarnwick::RequestStream> stream;
        std::uint64_t bodySize = 0;
        milliseconds stallLimit{0};
        qint64 maxAnswer = 0;
        std::uint64_t generation = 0;

        // Shared with the owner's thread.
        std::mutex lock;
        std::condition_variable ended;
        InetControl* owner = nullptr; // null once the owner has let go
        CURLM* multi = nullptr;       // while there is one to wake
        bool cancelled = false;
        bool finished = false;

        // The thread's own.
        CURL* easy = nullptr;
        curl_slist* headers = nullptr;
        curl_slist* resolve = nullptr;
        char error[CURL_ERROR_SIZE] = {};
        curl_socket_t socket = CURL_SOCKET_BAD;
        int readFailure = 0;
        Abort abort = Abort::None;
        std::string head;
        std::string answer;
    };

    Transfer(InetControl& owner, const QString& url, const std::string& headers, double timeoutSeconds, qint64 maxAnswer)
        : m_job(std::make_shared<Job>())
    {
        m_job->owner = &owner;
        m_job->url = url.toStdString();
        m_job->headerBlock = headers;
        m_job->stallLimit = milliseconds(timeoutSeconds > 0 ? std::llround(timeoutSeconds * 1000.0) : 0);
        m_job->maxAnswer = maxAnswer;
    }

    ~Transfer() { Stop(); }

    void SetBody(std::string body)
    {
        m_job->request = std::move(body);
        m_job->bodySize = m_job->request.size();
    }

    void SetBody(std::unique_ptr<modTarnwick::RequestStream> body)
    {
        m_job->bodySize = body->Size();
        m_job->stream = std::move(body);
    }

    // Reports go out tagged with generation. Throws std::system_error when no thread can be had.
    void Start(std::uint64_t generation)
    {
        m_job->generation = generation;
        m_thread = std::thread([job = m_job] { Run(*job); });
    }

    // Ends the transfer, if it still runs, without a report, and waits a
    // little for its thread.
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        std::unique_lock hold(m_job->lock);
        m_job->owner = nullptr;
        m_job->cancelled = true;
        if (m_job->multi)
            Curl().multi_wakeup(m_job->multi);
        const bool ended = m_job->ended.wait_for(hold, kStopWait, [this] { return m_job->finished; });
        hold.unlock();
        if (ended)
            m_thread.join();
        else
            m_thread.detach(); // it holds its Job, and has nobody left to report to
    }

private:
    static void Run(Job& job)
    {
        Outcome outcome = Perform(job);
        if (!Cancelled(job)) {
            Post(job, [generation = job.generation, outcome = std::move(outcome)](InetControl& owner) mutable {
                owner.Complete(generation, std::move(outcome));
            });
        }
        // Letting go of the connection runs beside the owner taking the outcome.
        Release(job);
        const std::lock_guard hold(job.lock);
        job.finished = true;
        job.ended.notify_all();
    }

    static bool Cancelled(Job& job)
    {
        const std::lock_guard hold(job.lock);
        return job.cancelled;
    }

    // Calls report on the owner's thread, unless the owner has let go by then.
    template <typename Report>
    static void Post(Job& job, Report report)
    {
        const std::lock_guard hold(job.lock);
        if (!job.owner)
            return;
        InetControl* owner = job.owner;
        QMetaObject::invokeMethod(owner, [owner, report = std::move(report)]() mutable { report(*owner); }, Qt::QueuedConnection);
    }

    static Outcome Perform(Job& job)
    {
        Outcome outcome;
        CURLM* multi = Curl().multi_init();
        job.easy = Curl().easy_init();
        if (!multi || !job.easy) {
            if (multi)
                Curl().multi_cleanup(multi);
            outcome.failure = TransportFailure::FromErrno(ENOMEM);
            return outcome;
        }
        {
            const std::lock_guard hold(job.lock);
            if (job.cancelled) {
                Curl().multi_cleanup(multi);
                return outcome;
            }
            job.multi = multi;
        }
        Configure(job);
        const CURLcode code = Curl().multi_add_handle(multi, job.easy) == CURLM_OK ? Drive(job, multi) : CURLE_OUT_OF_MEMORY;
        if (Cancelled(job))
            return outcome;

        long systemError = 0;
        Curl().easy_getinfo(job.easy, CURLINFO_OS_ERRNO, &systemError);
        outcome.complete = code == CURLE_OK && job.abort == Abort::None;
        if (outcome.complete) {
            outcome.head = std::move(job.head);
            outcome.body = std::move(job.answer);
        } else {
            outcome.failure = FailureOf(job, code, systemError);
        }
        return outcome;
    }

    static void Configure(Job& job)
    {
        CURL* easy = job.easy;
        AddHeaders(job);
        Curl().easy_setopt(easy, CURLOPT_URL, job.url.c_str());
        // libcurl would start a resolver thread for every request.
        const QUrl parsed(QString::fromStdString(job.url));
        const QString host = parsed.host();
        if (NamesLocalhost(host)) {
            const int port = parsed.port(parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
            const std::string entry = host.toStdString() + ':' + std::to_string(port) + ":127.0.0.1,[::1]";
            job.resolve = Curl().slist_append(job.resolve, entry.c_str());
            Curl().easy_setopt(easy, CURLOPT_RESOLVE, job.resolve);
        }
        Curl().easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        Curl().easy_setopt(easy, CURLOPT_POST, 1L);
        if (job.stream) {
            Curl().easy_setopt(easy, CURLOPT_READFUNCTION, &OnRead);
            Curl().easy_setopt(easy, CURLOPT_READDATA, &job);
        } else {
            Curl().easy_setopt(easy, CURLOPT_POSTFIELDS, job.request.data());
        }
        Curl().easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(job.bodySize));
        Curl().easy_setopt(easy, CURLOPT_HTTPHEADER, job.headers);
        Curl().easy_setopt(easy, CURLOPT_NOPROXY, HostsWithoutProxy().c_str()); // libcurl keeps a copy
        Curl().easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        Curl().easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
        // Every upload on a connection of its own: a connection left over from
        // the last one may have been closed by the service, and a request
        // resent on a new one could store the image twice.
        Curl().easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        Curl().easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        if (job.stallLimit.count() > 0)
            Curl().easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(job.stallLimit.count()));
        Curl().easy_setopt(easy, CURLOPT_ERRORBUFFER, job.error);
        Curl().easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
        Curl().easy_setopt(easy, CURLOPT_HEADERDATA, &job);
        Curl().easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
        Curl().easy_setopt(easy, CURLOPT_WRITEDATA, &job);
        Curl().easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &OnSocketOpened);
        Curl().easy_setopt(easy, CURLOPT_SOCKOPTDATA, &job);
    }

    // libcurl's own loop, as its easy interface runs it, with the peer's
    // progress looked at between steps: until the answer is complete, the
    // request fails, the owner cancels it, or the peer makes no progress for
    // the stall limit.
    static CURLcode Drive(Job& job, CURLM* multi)
    {
        const qint64 total = qint64(job.bodySize);
        Clock::time_point lastProgress = Clock::now();
        Clock::time_point lastReport;
        qint64 acknowledged = 0;
        qint64 reported = 0;
        curl_off_t received = 0;
        std::size_t headSeen = 0;
        for (;;) {
            int running = 0;
            if (Curl().multi_perform(multi, &running) != CURLM_OK)
                return CURLE_OUT_OF_MEMORY;
            int left = 0;
            while (CURLMsg* message = Curl().multi_info_read(multi, &left)) {
                if (message->msg == CURLMSG_DONE)
                    return message->data.result;
            }
            if (Cancelled(job))
                return CURLE_ABORTED_BY_CALLBACK;

            const Clock::time_point now = Clock::now();
            curl_off_t handed = 0;
            Curl().easy_getinfo(job.easy, CURLINFO_SIZE_UPLOAD_T, &handed);
            if (job.socket != CURL_SOCKET_BAD && handed > acknowledged) {
                const qint64 taken = std::clamp<qint64>(qint64(handed) - PeerProgress::UnacknowledgedBytes(job.socket), 0, total);
                if (taken > acknowledged) {
                    acknowledged = taken;
                    lastProgress = now;
                }
            }
            if (acknowledged > reported && (acknowledged == total || now - lastReport >= kReportInterval)) {
                reported = acknowledged;
                lastReport = now;
                Post(job, [generation = job.generation, acknowledged, total](InetControl& owner) {
                    owner.ReportProgress(generation, acknowledged, total);
                });
            }
            curl_off_t arrived = 0;
            Curl().easy_getinfo(job.easy, CURLINFO_SIZE_DOWNLOAD_T, &arrived);
            if (arrived > received || job.head.size() > headSeen) {
                received = arrived;
                headSeen = job.head.size();
                lastProgress = now;
            }

            milliseconds wait{1000};
            if (job.stallLimit.count() > 0) {
                const auto quiet = std::chrono::duration_cast<milliseconds>(now - lastProgress);
                if (quiet >= job.stallLimit) {
                    job.abort = Abort::TimedOut;
                    return CURLE_OPERATION_TIMEDOUT;
                }
                wait = std::min(wait, job.stallLimit - quiet);
            }
            // Bytes the kernel holds for a slow peer: look again soon, or the
            // strip would wait for libcurl's next step to move.
            if (acknowledged < qint64(handed))
                wait = std::min(wait, kSampleInterval);
            Curl().multi_poll(multi, nullptr, 0, int(std::max<milliseconds::rep>(wait.count(), 1)), nullptr);
        }
    }

    static void AddHeaders(Job& job)
    {
        std::string_view rest(job.headerBlock);
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
            job.headers = Curl().slist_append(job.headers, std::string(line).c_str());
        }
        // Nothing beyond the block: no "Expect: 100-continue" to wait a second
        // for, no Accept line.
        job.headers = Curl().slist_append(job.headers, "Expect:");
        job.headers = Curl().slist_append(job.headers, "Accept:");
    }

    static std::size_t OnRead(char* to, std::size_t size, std::size_t count, void* data)
    {
        auto* job = static_cast<Job*>(data);
        const std::int64_t got = job->stream->Read(to, size * count);
        if (got < 0) {
            job->readFailure = int(-got);
            return CURL_READFUNC_ABORT;
        }
        return std::size_t(got);
    }

    static int OnSocketOpened(void* data, curl_socket_t socket, curlsocktype)
    {
        static_cast<Job*>(data)->socket = socket;
        PeerProgress::KeepUnsentSmall(socket);
        return CURL_SOCKOPT_OK;
    }

    // Each header line arrives alone, the status line first; an interim
    // answer (100 Continue) is followed by the real one, which starts afresh.
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self)
    {
        auto* job = static_cast<Job*>(self);
        const std::string_view line(data, size * count);
        if (StartsWithIgnoringCase(line, "HTTP/"))
            job->head.clear();
        if (StartsWithIgnoringCase(line, "Content-Length:") && job->maxAnswer > 0) {
            const long long length = std::atoll(std::string(line.substr(15)).c_str());
            if (length > job->maxAnswer) {
                job->abort = Abort::TooLarge;
                return 0;
            }
        }
        job->head.append(line);
        return line.size();
    }

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self)
    {
        auto* job = static_cast<Job*>(self);
        const std::size_t bytes = size * count;
        if (job->maxAnswer > 0 && qint64(job->answer.size() + bytes) > job->maxAnswer) {
            job->abort = Abort::TooLarge;
            return 0;
        }
        job->answer.append(data, bytes);
        return bytes;
    }

    // Closes the connection, if libcurl has not, frees the handles and closes the file.
    static void Release(Job& job)
    {
        CURLM* multi = nullptr;
        {
            const std::lock_guard hold(job.lock);
            multi = std::exchange(job.multi, nullptr);
        }
        if (multi && job.easy)
            Curl().multi_remove_handle(multi, job.easy);
        if (job.easy)
            Curl().easy_cleanup(std::exchange(job.easy, nullptr));
        if (multi)
            Curl().multi_cleanup(multi);
        Curl().slist_free_all(std::exchange(job.headers, nullptr));
        Curl().slist_free_all(std::exchange(job.resolve, nullptr));
        job.stream.reset();
    }

    static TransportFailure::Failure FailureOf(const Job& job, CURLcode code, long systemError)
    {
        using namespace TransportFailure;
        const QString detail = QString::fromLocal8Bit(job.error[0] ? job.error : Curl().easy_strerror(code));
        if (job.abort == Abort::TimedOut || code == CURLE_OPERATION_TIMEDOUT)
            return TimedOut(job.stallLimit);
        if (job.abort == Abort::TooLarge)
            return AnswerTooLarge(job.maxAnswer);
        if (job.readFailure != 0)
            return FromErrno(job.readFailure);
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

    std::shared_ptr<Job> m_job;
    std::thread m_thread;
};

InetControl::InetControl(QObject* parent) : QObject(parent) {}

InetControl::~InetControl()
{
    Cancel();
}

void InetControl::Execute(const QString& url, const QString& operation, std::string data, const std::string& headers)
{
    auto transfer = std::make_unique<Transfer>(*this, url, headers, RequestTimeout, MaxResponseBytes);
    transfer->SetBody(std::move(data));
    Begin(operation, std::move(transfer));
}

void InetControl::Execute(const QString& url, const QString& operation, std::unique_ptr<modTarnwick::RequestStream> data,
                          const std::string& headers)
{
    if (!data)
        throw Toolkit::Failure(EINVAL, tr("There is no request to send"));
    auto transfer = std::make_unique<Transfer>(*this, url, headers, RequestTimeout, MaxResponseBytes);
    transfer->SetBody(std::move(data));
    Begin(operation, std::move(transfer));
}

void InetControl::Begin(const QString& operation, std::unique_ptr<Transfer> transfer)
{
    if (m_executing)
        throw Toolkit::Failure(EALREADY, tr("Still executing the last request"));
    if (operation.trimmed().compare(QLatin1String("POST"), Qt::CaseInsensitive) != 0)
        throw Toolkit::Failure(EINVAL, tr("Only POST requests are made"));

    // The last transfer's thread posted its outcome and let go of its
    // connection long since: this joins it at once.
    m_transfer.reset();
    ++m_generation;
    m_responseCode = 0;
    m_responseInfo.clear();
    m_head.clear();
    std::string().swap(m_body);
    m_readPos = 0;

    QString missing;
    if (!CurlLibrary::Get(&missing))
        throw Toolkit::Failure(ELIBACC, missing);
    try {
        transfer->Start(m_generation);
    } catch (const std::system_error& refused) {
        throw Toolkit::Failure(refused.code().value() != 0 ? refused.code().value() : EAGAIN,
                               tr("The HTTP client could not start the request"));
    }
    m_transfer = std::move(transfer);
    m_executing = true;
}

void InetControl::Complete(std::uint64_t generation, Outcome outcome)
{
    if (generation != m_generation)
        return;
    m_executing = false;
    m_readPos = 0;
    if (outcome.complete) {
        m_head = std::move(outcome.head);
        m_body = std::move(outcome.body);
        emit StateChanged(icResponseCompleted);
    } else {
        m_responseCode = outcome.failure.number;
        m_responseInfo = outcome.failure.description;
        std::string().swap(m_body);
        emit StateChanged(icError);
    }
}

void InetControl::ReportProgress(std::uint64_t generation, qint64 taken, qint64 total)
{
    if (generation == m_generation && m_executing)
        emit UploadProgress(taken, total);
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
    m_executing = false;
    m_transfer.reset();
    std::string().swap(m_body);
    m_readPos = 0;
}
