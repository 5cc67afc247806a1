#pragma once

// The window's HTTP client, over QNetworkAccessManager. Execute posts a body
// and a header block unchanged and reports through StateChanged: 11 when the
// request failed (nothing usable came back), 12 when an answer is complete,
// whatever its HTTP status. The body is then read with GetChunk.

#include <QObject>
#include <QString>

#include <string>

class QNetworkAccessManager;
class QNetworkReply;

class InetControl : public QObject
{
    Q_OBJECT

public:
    static constexpr int icError = 11;
    static constexpr int icResponseCompleted = 12;

    explicit InetControl(QObject* parent = nullptr);
    ~InetControl() override;

    // Seconds the component waits for the service (no data at all) before it
    // gives up with state 11. Fractions allowed so tests can shorten it.
    double RequestTimeout = 60;

    // Largest answer body accepted; a larger one ends in state 11.
    qint64 MaxResponseBytes = 16 * 1024 * 1024;

    // Returns at once. Each "Name: value" line of headers becomes a request
    // header; data is sent byte for byte.
    void Execute(const QString& url, const QString& operation, const std::string& data, const std::string& headers);

    // Describe the failure behind state 11; never 0 then.
    int ResponseCode() const { return m_responseCode; }
    QString ResponseInfo() const { return m_responseInfo; }

    // The next piece of the body, at most size bytes; "" once it is all read.
    std::string GetChunk(int size, int dataType = 0);

    // Drops any request under way without reporting anything.
    void Cancel();

signals:
    void StateChanged(int state);
    void UploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    QNetworkAccessManager* m_manager;
    QNetworkReply* m_reply = nullptr;
    int m_responseCode = 0;
    QString m_responseInfo;
    std::string m_body;
    std::size_t m_readPos = 0;
};
