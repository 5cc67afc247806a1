#pragma once

#include "RequestFramer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QQueue>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// A connection that is watched before the HTTP server reads it. Each request
// must arrive whole in time: its head within a few seconds of the connection
// or of the previous answer, its body at no less than a minimum rate. A
// request the service would refuse anyway is answered and drained here, so
// that its body is never buffered.
class GuardedSocket : public QTcpSocket
{
    Q_OBJECT

public:
    struct Limits
    {
        qsizetype maxHeadBytes = 64 * 1024;
        // Room above the largest file (3145727 bytes) and its form, so that a
        // file somewhat too large still reaches the form reader and its message.
        qint64 maxBodyBytes = 4 * 1024 * 1024;
        int headDeadlineMs = 10 * 1000;
        // A body, and an answer on its way out, get this much longer for each
        // of their bytes: slow links are served, a trickle is not.
        qint64 minBytesPerSecond = 32 * 1024;
        int refusedLingerMs = 1000; // silence after a refusal before closing
        int refusedMaxLingerMs = 5 * 1000;
    };

    GuardedSocket(const Limits& limits, QObject* parent);

    // Of the oldest request not yet answered.
    bool closesAfterAnswer() { return m_framer.takeClosesAfterAnswer(); }
    // Its answer has been written: sends it on at once, so that a client that
    // has half-closed its side still gets it, and closes if it was the last.
    void answerWritten(bool close);

signals:
    // A request answered here, never seen by the HTTP server.
    void refused(const QByteArray& method, const QByteArray& target, int status, qint64 bytes);

private:
    void inspect();
    void deadlinePassed();
    void refuse(int status);
    void drain();
    // Gracefully once what is written has gone out; at once if that takes longer than ms.
    void closeWithin(int ms);
    // What the given bytes may take at the minimum rate.
    int allowanceMs(qint64 bytes) const;

    Limits m_limits;
    RequestFramer m_framer;
    QTimer m_deadline;
    QElapsedTimer m_idleSince; // since the connection or the previous answer
    QDeadlineTimer m_lingerEnd;
    bool m_refused = false;
};

// Hands out guarded connections, as many at once as the limit allows; more
// wait in the listening queue, none is turned away.
class GuardedTcpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit GuardedTcpServer(const GuardedSocket::Limits& limits, int maxConnections, QObject* parent = nullptr);
    ~GuardedTcpServer() override;

    int connectionCount() const { return m_connections; }

signals:
    void refused(const QByteArray& method, const QByteArray& target, int status, qint64 bytes);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    GuardedSocket::Limits m_limits;
    int m_maxConnections;
    int m_connections = 0;
    QQueue<qintptr> m_waiting;
};
