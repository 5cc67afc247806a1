#include "PeerProgress.h"

#include <QTimer>

#include <algorithm>

#include <sys/ioctl.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif

namespace {

// Often enough for a smooth progress strip and a prompt stall verdict, rare
// enough to cost nothing.
constexpr std::chrono::milliseconds kPollInterval { 50 };

} // namespace

qint64 PeerProgress::UnacknowledgedBytes(qintptr socket)
{
#if defined(SIOCOUTQ)
    int queued = 0;
    if (socket >= 0 && ::ioctl(int(socket), SIOCOUTQ, &queued) == 0)
        return queued;
#endif
    Q_UNUSED(socket);
    return 0;
}

PeerProgress::PeerProgress(QObject* parent)
    : QObject(parent)
    , m_poll(new QTimer(this))
    , m_stall(new QTimer(this))
    , m_answer(new QTimer(this))
{
    m_poll->setInterval(kPollInterval);
    m_stall->setSingleShot(true);
    m_answer->setSingleShot(true);
    // A coarse timer may fire 5 % early: a second and a half of the answer's 30.
    m_answer->setTimerType(Qt::PreciseTimer);
    connect(m_answer, &QTimer::timeout, this, [this] {
        Stop();
        emit Overdue();
    });
    connect(m_poll, &QTimer::timeout, this, &PeerProgress::Sample);
    connect(m_stall, &QTimer::timeout, this, [this] {
        // Progress since the clock was set only moved the deadline: wait for it.
        const auto quiet =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_lastProgress);
        if (quiet < m_stallLimit) {
            m_stall->start(m_stallLimit - quiet);
            return;
        }
        Stop();
        emit Stalled();
    });
}

void PeerProgress::SetStallLimit(std::chrono::milliseconds limit)
{
    m_stallLimit = std::max(limit, std::chrono::milliseconds(0));
}

void PeerProgress::SetAnswerLimit(std::chrono::milliseconds limit)
{
    m_answerLimit = std::max(limit, std::chrono::milliseconds(0));
}

void PeerProgress::Start(qintptr socket, qint64 total)
{
    m_socket = socket;
    m_total = std::max<qint64>(total, 0);
    m_handed = 0;
    m_acknowledged = 0;
    m_answer->stop();
    // The poll interval need not be finer than the stall limit allows.
    m_poll->setInterval(m_stallLimit.count() > 0 ? std::min(kPollInterval, m_stallLimit / 4) : kPollInterval);
    RestartStallClock();
}

void PeerProgress::Handed(qint64 handed)
{
    if (m_socket < 0)
        return;
    m_handed = std::min(handed, m_total);
    Sample();
}

void PeerProgress::Received()
{
    if (m_socket < 0)
        return;
    RestartStallClock();
    StartAnswerClock();
}

void PeerProgress::Heard()
{
    if (m_socket >= 0)
        RestartStallClock();
}

void PeerProgress::Stop()
{
    m_socket = -1;
    m_poll->stop();
    m_stall->stop();
    m_answer->stop();
}

void PeerProgress::Sample()
{
    if (m_socket < 0)
        return;
    const qint64 acknowledged = std::clamp<qint64>(m_handed - UnacknowledgedBytes(m_socket), 0, m_total);
    if (acknowledged > m_acknowledged) {
        m_acknowledged = acknowledged;
        RestartStallClock();
        if (m_acknowledged == m_total)
            StartAnswerClock();
        emit Progress(m_acknowledged, m_total);
    }
    // Polling goes on while handed bytes wait for the peer.
    if (m_acknowledged < m_handed) {
        if (!m_poll->isActive())
            m_poll->start();
    } else {
        m_poll->stop();
    }
}

void PeerProgress::RestartStallClock()
{
    // Progress comes many times a millisecond on a fast link: it moves the
    // deadline, and the timer, set once, looks at it when it fires.
    m_lastProgress = std::chrono::steady_clock::now();
    if (m_stallLimit.count() > 0 && !m_stall->isActive())
        m_stall->start(m_stallLimit);
}

void PeerProgress::StartAnswerClock()
{
    // Set once per request: later progress must not move it.
    if (m_answerLimit.count() > 0 && !m_answer->isActive())
        m_answer->start(m_answerLimit);
}
