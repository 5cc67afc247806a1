#pragma once

// How far one connection has got, as its peer sees it. The kernel takes
// megabytes of a request at once, long before a slow link has carried them,
// so bytes handed to the socket say little: progress here is bytes the peer
// has acknowledged (the handed bytes less the socket's unacknowledged queue),
// or bytes of the answer received. A connection that makes no such progress
// for the stall limit is reported once with Stalled(); one whose answer is
// not over within the answer limit, however steadily it comes, once with
// Overdue().

#include <QObject>

#include <chrono>

class QTimer;

class PeerProgress : public QObject
{
    Q_OBJECT

public:
    explicit PeerProgress(QObject* parent = nullptr);

    // Zero or less: never stalled.
    void SetStallLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds StallLimit() const { return m_stallLimit; }
    // How long the answer may take from the request's last byte taken by the
    // peer, or from the answer's first byte if that comes sooner. Zero or
    // less: no limit.
    void SetAnswerLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds AnswerLimit() const { return m_answerLimit; }

    // A request of total bytes is about to go out on socket; the stall clock starts.
    void Start(qintptr socket, qint64 total);
    // Bytes of the request handed to the kernel so far, in all.
    void Handed(qint64 handed);
    // Bytes of the answer arrived: the peer is alive, and the answer's clock runs.
    void Received();
    // Bytes arrived that are not known to be answer yet (part of a head line,
    // a TLS record): the peer is alive.
    void Heard();
    // Nothing more to watch; no signal follows.
    void Stop();

    qint64 Acknowledged() const { return m_acknowledged; }

    // Bytes handed to the kernel on socket that the peer has not
    // acknowledged yet; 0 where the system cannot tell, so that handed bytes
    // count as taken. Callable from any thread.
    static qint64 UnacknowledgedBytes(qintptr socket);

signals:
    // Bytes of the request the peer has taken, of total; each value once.
    void Progress(qint64 acknowledged, qint64 total);
    void Stalled();
    void Overdue();

private:
    void Sample();
    void RestartStallClock();
    void StartAnswerClock();

    QTimer* m_poll;
    QTimer* m_stall;
    QTimer* m_answer;
    std::chrono::milliseconds m_answerLimit { 0 };
    std::chrono::steady_clock::time_point m_lastProgress;
    std::chrono::milliseconds m_stallLimit { 0 };
    qintptr m_socket = -1;
    qint64 m_total = 0;
    qint64 m_handed = 0;
    qint64 m_acknowledged = 0;
};
