#include "FixtureServer.h"

#include <QBuffer>

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

void FixtureListener::incomingConnection(qintptr descriptor)
{
    if (!tls) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(*tls);
    addPendingConnection(socket);
    socket->startServerEncryption();
}

FixtureServer::FixtureServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FixtureServer::OnNewConnection);
    connect(&m_pacer, &QTimer::timeout, this, &FixtureServer::ReadPaced);
}

bool FixtureServer::Listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

QString FixtureServer::Url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(Port());
}

QTcpSocket* FixtureServer::LastSocket() const
{
    return m_connections.isEmpty() ? nullptr : m_connections.last().socket.data();
}

namespace {
constexpr qint64 kHeldReadBuffer = 4096;
constexpr std::chrono::milliseconds kPace { 20 };
} // namespace

void FixtureServer::SetReadRate(qint64 bytesPerSecond)
{
    m_readRate = bytesPerSecond;
    if (m_readRate <= 0) {
        m_pacer.stop();
        return;
    }
    // Accepted connections inherit the listener's small receive buffer, so
    // the system acknowledges little more than the reader has taken.
    const int buffer = 4096;
    ::setsockopt(int(m_server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    m_pacer.start(kPace);
}

qint64 FixtureServer::PacedQuantum() const
{
    return std::max<qint64>(1, m_readRate * kPace.count() / 1000);
}

void FixtureServer::ReadPaced()
{
    for (int i = 0; i < m_connections.size(); ++i) {
        if (QTcpSocket* socket = m_connections[i].socket; socket && !m_holding)
            Take(i, socket->read(PacedQuantum()));
    }
}

void FixtureServer::HoldReading(bool hold)
{
    m_holding = hold;
    for (int i = 0; i < m_connections.size(); ++i) {
        if (QTcpSocket* socket = m_connections[i].socket) {
            socket->setReadBufferSize(hold ? kHeldReadBuffer : 0);
            if (!hold)
                OnReadyRead(i);
        }
    }
}

void FixtureServer::OnNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        // Qt would otherwise read all the system has before the first paced read.
        if (m_holding)
            socket->setReadBufferSize(kHeldReadBuffer);
        else if (m_readRate > 0)
            socket->setReadBufferSize(PacedQuantum());
        const int index = m_connections.size();
        m_connections.append(Connection { socket, {}, false });
        connect(socket, &QTcpSocket::readyRead, this, [this, index] { OnReadyRead(index); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        OnReadyRead(index);
    }
}

void FixtureServer::OnReadyRead(int index)
{
    Connection& connection = m_connections[index];
    if (!connection.socket || m_holding || m_readRate > 0)
        return;
    Take(index, connection.socket->readAll());
}

void FixtureServer::Take(int index, const QByteArray& bytes)
{
    Connection& connection = m_connections[index];
    connection.received += bytes;
    if (connection.answered)
        return;
    if (!m_anyBytesAnswer.isEmpty() && !connection.received.isEmpty()) {
        connection.answered = true;
        SendAndClose(connection.socket, m_anyBytesAnswer);
        return;
    }

    const qsizetype headerEnd = connection.received.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QList<QByteArray> lengths = HeaderValues(connection.received, "Content-Length");
    const qint64 length = lengths.isEmpty() ? 0 : lengths.first().toLongLong();
    if (connection.received.size() < headerEnd + 4 + length)
        return;

    connection.answered = true;
    ++m_completeRequests;
    if (m_answer)
        m_answer(connection.socket, connection.received);
}

void FixtureServer::Reset(QTcpSocket* socket)
{
    if (!socket)
        return;
    const linger hard { 1, 0 };
    ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket->abort();
}

void FixtureServer::SendAndClose(QTcpSocket* socket, const QByteArray& bytes)
{
    socket->write(bytes);
    // disconnectFromHost flushes what is buffered before the FIN.
    socket->disconnectFromHost();
}

void FixtureServer::Trickle(QTcpSocket* socket, const QByteArray& bytes, std::chrono::milliseconds interval,
                            qsizetype piece)
{
    auto* pacer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    connect(pacer, &QTimer::timeout, socket, [=] {
        socket->write(bytes.mid(*sent, piece));
        *sent += piece;
        if (*sent >= bytes.size()) {
            pacer->stop();
            socket->disconnectFromHost();
        }
    });
    pacer->start(interval);
}

void FixtureServer::TrickleForever(QTcpSocket* socket, char filler, std::chrono::milliseconds interval)
{
    auto* pacer = new QTimer(socket);
    connect(pacer, &QTimer::timeout, socket, [socket, filler] { socket->write(QByteArray(1, filler)); });
    pacer->start(interval);
}

QByteArray FixtureServer::HttpAnswer(int status, const QByteArray& body, bool withLength)
{
    QByteArray answer = "HTTP/1.0 " + QByteArray::number(status) + (status == 200 ? " OK" : " Failed") + "\r\n";
    answer += "Content-Type: text/html\r\n";
    if (withLength)
        answer += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    answer += "\r\n";
    return answer + body;
}

QList<QString> FixtureServer::ExpectedLinks()
{
    return {
        QStringLiteral("<a href=\"http://pics.test/v/7\"><img src=\"http://pics.test/t/7.png\"></a>"),
        QStringLiteral("[URL=http://pics.test/v/7][IMG]http://pics.test/t/7.png[/IMG][/URL]"),
        QStringLiteral("[url=http://pics.test/v/7][img]http://pics.test/t/7.png[/img][/url]"),
        QStringLiteral("[URL=http://pics.test][IMG]http://pics.test/i/7.png[/IMG][/URL]"),
        QStringLiteral("[url=http://pics.test][img]http://pics.test/i/7.png[/img][/url]"),
        QStringLiteral("<a href=\"http://pics.test\"><img src=\"http://pics.test/i/7.png\"></a>"),
        QStringLiteral("http://pics.test/v/7"),
        QStringLiteral("http://pics.test/i/7.png"),
    };
}

QByteArray FixtureServer::ResultPage(const QByteArray& closingTag)
{
    return "<html><head><title>Done</title></head><body>\r\n"
           "<p>Please use clickable thumbnail</p>\r\n"
           "<input value=\"&lt;a href=&quot;http://pics.test/v/7&quot;&gt;&lt;img "
           "src=&quot;http://pics.test/t/7.png&quot;&gt;&lt;/a&gt;\" /> Thumbnail for Websites\r\n"
           "<input value=\"[URL=http://pics.test/v/7][IMG]http://pics.test/t/7.png[/IMG][/URL]\" /> Thumbnail for "
           "forums (1)\r\n"
           "<input value=\"[url=http://pics.test/v/7][img]http://pics.test/t/7.png[/img][/url]\" /> Thumbnail for "
           "forums (2)\r\n"
           "<p>Include details</p>\r\n"
           "<input style=\"width: 500px\" size=\"70\" "
           "value=\"[URL=http://pics.test][IMG]http://pics.test/i/7.png[/IMG][/URL]\"/>\r\n"
           "<input style=\"width: 500px\" size=\"70\" "
           "value=\"[url=http://pics.test][img]http://pics.test/i/7.png[/img][/url]\"/>\r\n"
           "<input value=\"&lt;a href=&quot;http://pics.test&quot;&gt;&lt;img "
           "src=&quot;http://pics.test/i/7.png&quot;&gt;&lt;/a&gt;\"/>\r\n"
           "<a href=\"http://pics.test/v/7\"><b>Show</b></a>\r\n"
           "<input style=\"width: 500px\" size=\"70\" value=\"http://pics.test/i/7.png\"/>\r\n"
           "</body>"
        + closingTag + "\r\n";
}

QByteArray FixtureServer::ResultPageWithLastLink(const QByteArray& link)
{
    const QByteArray last = ExpectedLinks().constLast().toUtf8();
    QByteArray page = ResultPage();
    const qsizetype at = page.lastIndexOf("value=\"" + last + "\"/>");
    return at < 0 ? page : page.replace(at + 7, last.size(), link);
}

namespace {

quint32 Crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void AppendLittleEndian(QByteArray& to, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to += char((value >> (8 * i)) & 0xFF);
}

} // namespace

QByteArray FixtureServer::Gzipped(const QByteArray& bytes)
{
    // Magic, deflate, no flags, no time, no extra flags, unknown system.
    QByteArray gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    constexpr qsizetype kBlock = 65535;
    qsizetype at = 0;
    do {
        const qsizetype size = std::min(kBlock, bytes.size() - at);
        gzip += char(at + size >= bytes.size() ? 1 : 0); // the last block says so
        AppendLittleEndian(gzip, quint32(size), 2);
        AppendLittleEndian(gzip, quint32(~size & 0xFFFF), 2);
        gzip += bytes.mid(at, size);
        at += size;
    } while (at < bytes.size());
    AppendLittleEndian(gzip, Crc32(bytes), 4);
    AppendLittleEndian(gzip, quint32(bytes.size()), 4);
    return gzip;
}

QByteArray FixtureServer::HeadersOf(const QByteArray& request)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    return end < 0 ? request : request.left(end + 4);
}

QByteArray FixtureServer::BodyOf(const QByteArray& request)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : request.mid(end + 4);
}

QList<QByteArray> FixtureServer::HeaderValues(const QByteArray& request, const QByteArray& name)
{
    QList<QByteArray> values;
    const QList<QByteArray> lines = HeadersOf(request).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            values.append(line.mid(colon + 1).trimmed());
    }
    return values;
}

UnansweredPort::UnansweredPort()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listener < 0 || m_filler < 0)
        return;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(m_listener, 0) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    m_port = ntohs(address.sin_port);
    // With a backlog of 0 one connection fills the queue; nobody accepts it.
    m_ready = ::connect(m_filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

UnansweredPort::~UnansweredPort()
{
    if (m_filler >= 0)
        ::close(m_filler);
    if (m_listener >= 0)
        ::close(m_listener);
}

quint16 RefusingPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

TemporaryImage::TemporaryImage(const QByteArray& bytes, const QString& name)
{
    QTemporaryDir dir;
    dir.setAutoRemove(false);
    m_dir = dir.path();
    m_path = QDir(m_dir).filePath(name);
    QFile file(m_path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

TemporaryImage::~TemporaryImage()
{
    QDir(m_dir).removeRecursively();
}

QByteArray MakePng(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    QRandomGenerator random(width * 7919 + height);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = random.generate();
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}
