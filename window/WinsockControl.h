#pragma once

// The window's TCP client, over QTcpSocket. Bytes travel as std::string, one
// char per byte. All signals are delivered on the owner's thread through the
// event loop. Errors carry errno-style numbers (111 for a refused
// connection, 110 for a time-out, ...), never 0, with Qt's description.

#include <QObject>
#include <QString>

#include <chrono>
#include <string>

class QTcpSocket;
class QTimer;

class WinsockControl : public QObject
{
    Q_OBJECT

public:
    explicit WinsockControl(QObject* parent = nullptr);
    ~WinsockControl() override;

    // Safe in every state (never opened, connecting, connected, closed by the
    // peer, already closed); reports nothing.
    void Close();
    // Returns at once; the outcome arrives as Connected() or Error().
    void Connect(const QString& remoteHost, quint16 remotePort);
    // Takes the whole text and sends it, one byte per char.
    void SendData(const std::string& data);
    // Everything received and not yet taken.
    std::string GetData();

    // A connection not made within this limit ends in Error(110, ...).
    // Zero or less: no limit.
    void SetConnectTimeout(std::chrono::milliseconds limit);

    bool IsConnected() const;

signals:
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Error(int number, const QString& description);
    // The peer closed the connection.
    void PeerClosed();
    // Bytes of the last SendData written to the system so far.
    void SendProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    QTcpSocket* m_socket;
    QTimer* m_connectTimer;
    qint64 m_sendTotal = 0;
    qint64 m_sendDone = 0;
};
