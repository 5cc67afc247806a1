#pragma once

// What the service tests share: pictures, the uploader's own request bytes,
// raw connections, service processes, and the texts the uploader cuts out of
// a page.

#include "modTarnwick.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <string>

namespace ServiceTest {

constexpr int kWaitMs = 15000;
constexpr qint64 kPlentyOfBytes = qint64(1) << 30; // a store's limit that no test reaches

inline QByteArray pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x * y) % 256));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

inline QByteArray bytesOf(const std::string& text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

// What the uploader sends for this file: over the socket (mode 1) the whole
// HTTP/1.0 request; for the HTTP client (mode 0) the body, then the header block.
inline QByteArrayList uploaderRequest(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes,
                                      int mode = 1)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    QByteArrayList parts;
    for (const std::string& part : modTarnwick::BuildUploadRequest(path.toStdString(), mode, false))
        parts.append(bytesOf(part));
    return parts;
}

// A raw connection that sends what it is given and collects everything that comes back.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    // From the given loopback address, such as 127.0.0.2, to stand for another client.
    explicit RawClient(quint16 port, const QByteArray& request = {}, const QHostAddress& from = {})
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.write(request);
    }

    bool hasPageEnd() const { return received.toLower().contains("</html>"); }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

// The whole answer, once the service has closed the connection.
inline QByteArray exchange(quint16 port, const QByteArray& request)
{
    RawClient client(port, request);
    if (!QTest::qWaitFor([&] { return client.closed(); }, kWaitMs))
        return {};
    return client.received;
}

// The status and body of what a link gives, fetched with HTTP/1.0 from the
// given port, whatever host the link names.
struct Fetched
{
    int status = 0;
    QByteArray body;
};
inline Fetched fetchFrom(quint16 port, const QString& link)
{
    const QByteArray answer = exchange(port, "GET /" + link.section(u'/', 3).toUtf8() + " HTTP/1.0\r\n\r\n");
    const qsizetype end = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 ") || end < 0)
        return {};
    return { answer.mid(9, 3).toInt(), answer.mid(end + 4) };
}

// The body of what a link gives; empty unless 200.
inline QByteArray fetch(quint16 port, const QString& link)
{
    const Fetched fetched = fetchFrom(port, link);
    return fetched.status == 200 ? fetched.body : QByteArray();
}

#ifdef TARNWICK_SERVICE_PATH // for the tests that run the program
// One run of tarnwick-service on a free port, killed when it goes.
class ServiceProcess
{
public:
    ~ServiceProcess() { stop(&QProcess::kill); }

    // Empty once it listens; else what went wrong. Standard error, its
    // request log, is kept in errors() when asked for.
    QString start(const QStringList& arguments,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                  bool keepErrors = false)
    {
        if (!keepErrors)
            m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(TARNWICK_SERVICE_PATH), QStringList{ QStringLiteral("--port"), QStringLiteral("0") } + arguments);
        while (!m_process.canReadLine() && m_process.waitForReadyRead(kWaitMs)) { }
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^tarnwick-service listening on http://127\\.0\\.0\\.1:(\\d+)/$")).match(line);
        if (!match.hasMatch())
            return QStringLiteral("no start-up line, but '%1'; %2 %3").arg(line, m_process.errorString(), QString::fromUtf8(m_process.readAllStandardError()));
        m_port = quint16(match.captured(1).toUInt());
        return {};
    }
    // Over a data folder of its own.
    QString start(const QString& data, const QStringList& options = {})
    {
        return start(QStringList{ QStringLiteral("--data"), data } + options);
    }

    // With QProcess::kill (SIGKILL) or QProcess::terminate (SIGTERM).
    void stop(void (QProcess::*how)())
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        (m_process.*how)();
        m_process.waitForFinished(kWaitMs);
    }

    quint16 port() const { return m_port; }
    // What it said on standard error so far, when started with keepErrors.
    QByteArray errors() { return m_errors += m_process.readAllStandardError(); }

private:
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_errors;
};
#endif

inline QStringList textsOf(const QByteArray& page)
{
    QStringList texts;
    for (const std::string& link : modTarnwick::ParseResultPage(page.toStdString()))
        texts.append(QString::fromStdString(link));
    return texts;
}

} // namespace ServiceTest
