#include "ThumbnailMaker.h"

#include "ImageCodec.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <iterator>
#include <optional>

#include <cerrno>
#include <csignal>

#include <linux/close_range.h>
#include <poll.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kJpegMagic = "\xff\xd8\xff";
// More than any upload the service takes.
constexpr qint64 kMaxInputBytes = 8 * 1024 * 1024;
// Standard input, output and error, and what loading the decoder's library opens for a moment.
constexpr rlim_t kMaxDecoderFiles = 16;

// The child's standard input and output are the service's pipes, which may
// come non-blocking: a read or a write then takes what the pipe holds or has
// room for, and poll() waits for more.
bool waitFor(int descriptor, short events)
{
    pollfd watched { descriptor, events, 0 };
    while (::poll(&watched, 1, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Nothing when reading fails or there is more than max.
std::optional<QByteArray> readToEnd(int descriptor, qint64 max)
{
    QByteArray bytes;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count == 0)
            return bytes;
        if (count > 0) {
            if (bytes.size() + count > max)
                return std::nullopt;
            bytes.append(buffer, count);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(descriptor, POLLIN))
                return std::nullopt;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

bool writeAll(int descriptor, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t count = ::write(descriptor, bytes.data(), size_t(bytes.size()));
        if (count > 0) {
            bytes = bytes.sliced(count);
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(descriptor, POLLOUT))
                return false;
        } else if (count == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

ThumbnailMaker::Admission::Admission(ThumbnailMaker& maker, const QHostAddress& peer)
    : m_maker(maker)
    , m_client(clientOf(peer))
{
    const QMutexLocker lock(&maker.m_mutex);
    if (maker.m_inHand >= kMaxInHand || maker.m_clients.value(m_client).inHand >= kMaxPerClient)
        return;
    ++maker.m_clients[m_client].inHand;
    ++maker.m_inHand;
    m_admitted = true;
}

ThumbnailMaker::Admission::~Admission()
{
    if (!m_admitted)
        return;
    const QMutexLocker lock(&m_maker.m_mutex);
    --m_maker.m_inHand;
    if (--m_maker.m_clients[m_client].inHand == 0)
        m_maker.m_clients.remove(m_client);
}

QByteArray ThumbnailMaker::clientOf(const QHostAddress& peer)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4).toString().toLatin1();
    if (peer.protocol() != QAbstractSocket::IPv6Protocol)
        return peer.toString().toLatin1();
    // One subscriber gets a /64 at least, and picks any address in it.
    Q_IPV6ADDR network = peer.toIPv6Address();
    std::fill(std::begin(network.c) + 8, std::end(network.c), 0);
    return QHostAddress(network).toString().toLatin1() + "/64";
}

ThumbnailMaker::Made ThumbnailMaker::make(const QByteArray& image, const Admission& admission)
{
    if (const QString why = ImageCodec::overBudget(image); !why.isEmpty())
        return { Made::Result::Placeholder, ImageCodec::placeholderJpeg(), u"placeholder, "_s + why };
    if (!waitForTurn(admission.m_client))
        return { Made::Result::Busy, {}, u"no decoder came free"_s };
    Made made = decode(image);
    endTurn(admission.m_client);
    return made;
}

bool ThumbnailMaker::isNext(const Waiter& waiter) const
{
    const Waiter* next = nullptr;
    quint64 nextTurn = 0;
    for (const Waiter& other : m_waiting) {
        const Client client = m_clients.value(other.client);
        if (client.decoding)
            continue;
        if (!next || client.lastTurn < nextTurn || (client.lastTurn == nextTurn && other.arrival < next->arrival)) {
            next = &other;
            nextTurn = client.lastTurn;
        }
    }
    return next == &waiter;
}

bool ThumbnailMaker::waitForTurn(const QByteArray& client)
{
    const QDeadlineTimer deadline(kMaxWaitSeconds * 1000);
    const QMutexLocker lock(&m_mutex);
    const auto waiter = m_waiting.insert(m_waiting.end(), { client, ++m_clock });
    const auto mayStart = [&] { return m_decoding < kDecoders && isNext(*waiter); };
    bool starts = mayStart();
    while (!starts && m_turnEnded.wait(&m_mutex, deadline))
        starts = mayStart();
    starts = starts || mayStart();
    m_waiting.erase(waiter);
    if (starts) {
        ++m_decoding;
        Client& mine = m_clients[client];
        mine.decoding = true;
        mine.lastTurn = ++m_clock;
    }
    // Another may be next now, whether a decoder was taken or a waiter left.
    m_turnEnded.wakeAll();
    return starts;
}

void ThumbnailMaker::endTurn(const QByteArray& client)
{
    const QMutexLocker lock(&m_mutex);
    --m_decoding;
    m_clients[client].decoding = false;
    m_turnEnded.wakeAll();
}

ThumbnailMaker::Made ThumbnailMaker::decode(const QByteArray& image)
{
    QElapsedTimer clock;
    clock.start();
    QProcess child;
    // Nothing of the service's environment, its store's credentials least of all.
    child.setProcessEnvironment(QProcessEnvironment());
    child.setWorkingDirectory(u"/"_s);
    child.setStandardErrorFile(QProcess::nullDevice());
    const pid_t service = ::getpid();
    child.setChildProcessModifier([service] {
        const rlimit data { kMaxDecoderDataBytes, kMaxDecoderDataBytes };
        const rlimit processor { kMaxDecoderSeconds, kMaxDecoderSeconds };
        const rlimit files { kMaxDecoderFiles, kMaxDecoderFiles };
        const rlimit none { 0, 0 };
        // Without an ambient capability, and with no new privileges, the
        // program of any user but root runs with none (the unit's filter
        // refuses capset()).
        // The death signal comes when the thread that started the child
        // ends; it waits for the child meanwhile. A service that died before
        // the signal was set is seen in the child's parent.
        const bool confined = ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == service
            && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
            && ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 && ::setrlimit(RLIMIT_DATA, &data) == 0
            && ::setrlimit(RLIMIT_CPU, &processor) == 0 && ::setrlimit(RLIMIT_NOFILE, &files) == 0
            && ::setrlimit(RLIMIT_FSIZE, &none) == 0
            && ::setrlimit(RLIMIT_CORE, &none) == 0
            // The service's sockets and files, should one lack close-on-exec.
            && ::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) == 0;
        if (!confined)
            ::_exit(127);
    });
    child.start(m_program, { u"--make-thumbnail"_s });
    child.write(image);
    child.closeWriteChannel();
    if (!child.waitForFinished(kMaxDecoderWallSeconds * 1000)) {
        const bool started = child.error() != QProcess::FailedToStart;
        child.kill();
        child.waitForFinished();
        return { Made::Result::Failed, ImageCodec::placeholderJpeg(),
                 started ? u"not made, out of time"_s : u"not made, the decoder did not start"_s };
    }
    const QByteArray made = child.readAllStandardOutput();
    const bool exited = child.exitStatus() == QProcess::NormalExit;
    if (exited && child.exitCode() == 0 && made.startsWith(kJpegMagic))
        return { Made::Result::Thumbnail, made, u"made in %1 s"_s.arg(clock.elapsed() / 1000.0, 0, 'f', 2) };
    if (exited && child.exitCode() == kUndecodable)
        return { Made::Result::Placeholder, ImageCodec::placeholderJpeg(), u"placeholder, it does not decode"_s };
    return { Made::Result::Failed, ImageCodec::placeholderJpeg(),
             exited ? u"not made, the decoder failed (%1)"_s.arg(child.exitCode())
                    : u"not made, the decoder was killed"_s };
}

bool ThumbnailMaker::forbidNewProcesses()
{
    scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return false;
    const auto refuse = [filter](int call) { return ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0) == 0; };
    const bool loaded = refuse(SCMP_SYS(fork)) && refuse(SCMP_SYS(vfork)) && refuse(SCMP_SYS(execve))
        && refuse(SCMP_SYS(execveat))
        // clone() makes a thread with CLONE_THREAD, a process without.
        && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                              SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0))
            == 0
        // clone3() takes its flags in memory, out of a filter's sight; told it
        // does not exist, the C library makes its threads with clone().
        && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0 && ::seccomp_load(filter) == 0;
    ::seccomp_release(filter);
    return loaded;
}

int ThumbnailMaker::makeFromStandardInput()
{
    if (!forbidNewProcesses())
        return 1;
    const std::optional<QByteArray> image = readToEnd(STDIN_FILENO, kMaxInputBytes);
    if (!image)
        return 1;
    const ImageCodec::Thumbnail thumbnail = ImageCodec::thumbnailOf(*image);
    if (!writeAll(STDOUT_FILENO, thumbnail.jpeg))
        return 1;
    return thumbnail.placeholder ? kUndecodable : 0;
}
