#pragma once

#include <QTcpServer>

// A listening socket whose connections are watched before the HTTP server
// reads them: requests the service would refuse anyway are answered and
// drained here, so that their bodies are never buffered; idle connections are
// closed; the number of connections is bounded.
class GuardedTcpServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Limits
    {
        qsizetype maxHeadBytes = 64 * 1024;
        // Room above the largest file (3145727 bytes) and its form, so that a
        // file somewhat too large still reaches the form reader and its message.
        qint64 maxBodyBytes = 4 * 1024 * 1024;
        int maxConnections = 32;
        int idleTimeoutMs = 60 * 1000;
        int refusedLingerMs = 1000;      // silence after a refusal before closing
        int refusedMaxLingerMs = 10 * 1000;
    };

    explicit GuardedTcpServer(const Limits& limits, QObject* parent = nullptr);

    int connectionCount() const { return m_connections; }

signals:
    // A request answered here, never seen by the HTTP server.
    void refused(const QByteArray& method, const QByteArray& target, int status, qint64 bytes);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class ConnectionGuard;

    Limits m_limits;
    int m_connections = 0;
};
