// Uploads per second, and how long each takes, for the bundled service beside
// php -S running a handler that stores the file (store.php), in the same run
// and taking turns. Each client uploads one file after another, each over a new
// connection and in the uploader's own request form (HTTP/1.0: answered, then
// closed). Every round starts a fresh server on a fresh folder, so that
// neither carries the other's files or caches into its turn. The folders go
// only at the end: on ext4 without a journal, files made just after many were
// deleted take far longer to create, and that would fall on whoever came next.
//
//   bench_service [seconds per round, default 2] [rounds, default 5]

#include "modTarnwick.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr qsizetype kUploadBytes = 200 * 1024;
constexpr int kClientCounts[] = { 1, 8, 64 };
constexpr int kStartMs = 10000;

struct Round
{
    double uploadsPerSecond = 0;
    std::vector<double> latenciesMs;
    int failed = 0;
    int stored = 0; // files the server's folder holds afterwards
};

// A server process over a folder of its own; started again for every round.
class Server
{
public:
    virtual ~Server() { stop(); }
    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(kStartMs);
    }
    virtual const char* name() const = 0;
    // The port it listens on, once it does.
    virtual std::optional<quint16> start(const QString& folder) = 0;
    // Where it keeps the uploaded files.
    virtual QString imagesIn(const QString& folder) const = 0;

protected:
    QProcess m_process;
};

class Service : public Server
{
public:
    const char* name() const override { return "tarnwick-service"; }
    QString imagesIn(const QString& folder) const override { return folder + QStringLiteral("/images"); }

    std::optional<quint16> start(const QString& folder) override
    {
        m_process.setStandardErrorFile(QProcess::nullDevice()); // the request log
        m_process.start(QStringLiteral(TARNWICK_SERVICE_PATH),
                        { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), folder,
                          QStringLiteral("--max-bytes"), QStringLiteral("1T") });
        while (!m_process.canReadLine() && m_process.waitForReadyRead(kStartMs)) { }
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral(":(\\d+)/$")).match(QString::fromUtf8(m_process.readLine()).trimmed());
        if (!match.hasMatch())
            return std::nullopt;
        return quint16(match.captured(1).toUInt());
    }
};

class PhpServer : public Server
{
public:
    const char* name() const override { return "php -S"; }
    // Laid out as the service's: files made and renamed in one folder below the round's.
    QString imagesIn(const QString& folder) const override { return folder + QStringLiteral("/images"); }

    std::optional<quint16> start(const QString& folder) override
    {
        const QString images = imagesIn(folder);
        if (!QDir().mkpath(images))
            return std::nullopt;
        QTcpServer probe; // a free port, given back at once
        if (!probe.listen(QHostAddress::LocalHost))
            return std::nullopt;
        const quint16 port = probe.serverPort();
        probe.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARNWICK_BENCH_IMAGES"), images);
        m_process.setProcessEnvironment(environment);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        // Its upload files made where they are kept, so that storing one is a rename.
        m_process.start(QStringLiteral("php"),
                        { QStringLiteral("-d"), QStringLiteral("upload_tmp_dir=") + images, QStringLiteral("-S"),
                          QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral(TARNWICK_PHP_HANDLER) });
        if (!m_process.waitForStarted(kStartMs))
            return std::nullopt;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kStartMs && m_process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100))
                return port;
            QThread::msleep(20);
        }
        return std::nullopt;
    }
};

// Keeps `clients` uploads going for `ms` milliseconds and waits for the last ones.
Round load(quint16 port, const QByteArray& request, int clients, int ms)
{
    struct Client
    {
        QTcpSocket* socket = nullptr;
        QByteArray answer;
        QElapsedTimer started;
    };
    std::vector<Client> pool(clients);
    Round round;
    int succeeded = 0;
    int active = 0;
    bool running = true;
    QEventLoop loop;
    QElapsedTimer clock;

    std::function<void(Client&)> begin;
    const auto finish = [&](Client& client, QTcpSocket* socket) {
        if (client.socket != socket)
            return; // both the error and the disconnection report the end
        client.socket = nullptr;
        socket->deleteLater();
        --active;
        // "HTTP/1.1 200 OK" or "HTTP/1.0 200 OK"
        if (client.answer.mid(9, 3) == "200" && client.answer.toLower().contains("</html>")) {
            round.latenciesMs.push_back(double(client.started.nsecsElapsed()) / 1e6);
            succeeded += running ? 1 : 0;
        } else {
            ++round.failed;
        }
        if (running)
            QTimer::singleShot(0, &loop, [&] { begin(client); });
        else if (active == 0)
            loop.quit();
    };
    begin = [&](Client& client) {
        if (!running)
            return;
        auto* socket = new QTcpSocket;
        client.socket = socket;
        client.answer.clear();
        ++active;
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [&client, socket] { client.answer += socket->readAll(); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [&, socket] { finish(client, socket); });
        QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [&, socket](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError)
                finish(client, socket);
        });
        client.started.start();
        socket->connectToHost(QHostAddress::LocalHost, port);
        socket->write(request);
    };

    clock.start();
    for (Client& client : pool)
        begin(client);
    QTimer::singleShot(ms, &loop, [&] {
        running = false;
        round.uploadsPerSecond = succeeded / (double(clock.nsecsElapsed()) / 1e9);
        if (active == 0)
            loop.quit();
    });
    loop.exec();
    return round;
}

std::optional<Round> measure(Server& server, const QTemporaryDir& folder, const QByteArray& request, int clients,
                             int ms)
{
    const std::optional<quint16> port = server.start(folder.path());
    if (!port)
        return std::nullopt;
    load(*port, request, clients, std::min(ms, 300)); // warm up
    Round round = load(*port, request, clients, ms);
    server.stop();
    for (QDirIterator it(server.imagesIn(folder.path()), QDir::Files, QDirIterator::Subdirectories); it.hasNext();
         it.next())
        ++round.stored;
    return round;
}

// p in [0, 1]; "nearest rank"
double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

struct Summary
{
    double median = 0, min = 0, max = 0;
    double p50 = 0, p99 = 0, worst = 0;
    int failed = 0, uploads = 0, stored = 0;
};

Summary summarise(const std::vector<Round>& rounds)
{
    Summary summary;
    std::vector<double> rates;
    std::vector<double> latencies;
    for (const Round& round : rounds) {
        rates.push_back(round.uploadsPerSecond);
        latencies.insert(latencies.end(), round.latenciesMs.begin(), round.latenciesMs.end());
        summary.failed += round.failed;
        summary.stored += round.stored;
    }
    summary.uploads = int(latencies.size());
    summary.median = percentile(rates, 0.5);
    summary.min = percentile(rates, 0);
    summary.max = percentile(rates, 1);
    summary.p50 = percentile(latencies, 0.5);
    summary.p99 = percentile(latencies, 0.99);
    summary.worst = percentile(latencies, 1);
    return summary;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = std::max(1, argc > 1 ? QByteArray(argv[1]).toInt() : 2);
    const int rounds = std::max(1, argc > 2 ? QByteArray(argv[2]).toInt() : 5);

    QTemporaryDir files;
    const QString path = files.filePath(QStringLiteral("upload.png"));
    QByteArray image("\x89PNG\r\n\x1a\n", 8);
    while (image.size() < kUploadBytes)
        image.append(char(QRandomGenerator::global()->bounded(256)));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 2;
    file.close();
    const modTarnwick::UploadRequest built = modTarnwick::BuildUploadRequest(path.toStdString(), 1, false);
    if (built.size() != 1)
        return 2;
    const QByteArray request(built[0].data(), qsizetype(built[0].size()));

    std::printf("Uploads of %lld bytes in the uploader's request form, one after another per client, each over a "
                "new connection;\n%d rounds of %d s per server and client count, the servers taking turns.\n\n",
                static_cast<long long>(kUploadBytes), rounds, seconds);
    std::printf("%7s  %-16s  %9s %9s %9s  %8s %8s %8s  %7s %7s\n", "clients", "server", "uploads/s", "min", "max",
                "p50 ms", "p99 ms", "max ms", "failed", "stored");
    Service service;
    PhpServer php;
    Server* servers[2] = { &service, &php };
    std::vector<std::unique_ptr<QTemporaryDir>> folders;
    for (const int clients : kClientCounts) {
        std::vector<Round> results[2];
        for (int round = 0; round < rounds; ++round) {
            for (int s = 0; s < 2; ++s) {
                folders.push_back(std::make_unique<QTemporaryDir>());
                const std::optional<Round> result =
                    measure(*servers[s], *folders.back(), request, clients, seconds * 1000);
                if (!result) {
                    std::fprintf(stderr, "%s did not start\n", servers[s]->name());
                    return 2;
                }
                results[s].push_back(*result);
            }
        }
        Summary summaries[2];
        for (int s = 0; s < 2; ++s) {
            const Summary& m = summaries[s] = summarise(results[s]);
            std::printf("%7d  %-16s  %9.0f %9.0f %9.0f  %8.2f %8.2f %8.2f  %7d %7d\n", clients, servers[s]->name(),
                        m.median, m.min, m.max, m.p50, m.p99, m.worst, m.failed, m.stored);
        }
        std::printf("%7s  service / php: %.2fx the uploads per second, %.2fx the p99 time\n\n", "",
                    summaries[0].median / summaries[1].median, summaries[0].p99 / summaries[1].p99);
    }
    return 0;
}
