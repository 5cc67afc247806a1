// Uploads per second, and how long each takes, for the bundled service beside
// php -S running a handler that stores the file (store.php), in the same run
// and taking turns. With TARNWICK_S3_ENDPOINT and the AWS_ credentials set
// (scripts/bench-service --s3 starts a Ceph gateway and sets them), the
// service on its folder takes turns instead with the service on the S3 store:
// one instance, and two behind nginx. Each client uploads one file after another, each over a new
// connection and in the uploader's own request form (HTTP/1.0: answered, then
// closed). Every round starts a fresh server on a fresh folder, so that
// neither carries the other's files or caches into its turn. The folders go
// only at the end: on ext4 without a journal, files made just after many were
// deleted take far longer to create, and that would fall on whoever came next.
//
//   bench_service [seconds per round, default 2] [rounds, default 5]
//   TARNWICK_BENCH_CLIENTS=1,8    only these client counts (default 1, 8 and 64)
//   TARNWICK_BENCH_BYTES=1024     the file's size (default 204800); a small one shows
//                                 what each upload costs apart from its bytes

#include "BalancerConfig.h"
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

constexpr qsizetype kDefaultUploadBytes = 200 * 1024;
constexpr int kStartMs = 10000;

struct Round
{
    double uploadsPerSecond = 0;
    std::vector<double> latenciesMs;
    int failed = 0;
    int stored = 0; // files the server's folder holds afterwards
};

// A server over a folder of its own, in one or more processes; started again
// for every round.
class Server
{
public:
    virtual ~Server() { stop(); }
    void stop()
    {
        // SIGTERM: nginx ends its workers then; SIGKILL would leave them serving.
        for (const auto& process : m_processes) {
            process->terminate();
            if (!process->waitForFinished(kStartMs))
                process->kill();
        }
        m_processes.clear();
    }
    virtual const char* name() const = 0;
    // The port it listens on, once it does.
    virtual std::optional<quint16> start(const QString& folder) = 0;
    // Where it keeps the uploaded files; empty when not in a folder.
    virtual QString imagesIn(const QString& folder) const = 0;

protected:
    QProcess& newProcess() { return *m_processes.emplace_back(std::make_unique<QProcess>()); }

    // A port that answers, or nothing once the process has ended or the time is up.
    static std::optional<quint16> waitForPort(QProcess& process, quint16 port)
    {
        if (!process.waitForStarted(kStartMs))
            return std::nullopt;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kStartMs && process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100))
                return port;
            QThread::msleep(20);
        }
        return std::nullopt;
    }

    static quint16 freePort()
    {
        QTcpServer probe; // a free port, given back at once
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// tarnwick-service with these options; the port it listens on, once it does.
std::optional<quint16> startService(QProcess& process, const QStringList& options)
{
    process.setStandardErrorFile(QProcess::nullDevice()); // the request log
    process.start(QStringLiteral(TARNWICK_SERVICE_PATH),
                  QStringList { QStringLiteral("--port"), QStringLiteral("0") } + options);
    while (!process.canReadLine() && process.waitForReadyRead(kStartMs)) { }
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral(":(\\d+)/$")).match(QString::fromUtf8(process.readLine()).trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    return quint16(match.captured(1).toUInt());
}

class Service : public Server
{
public:
    const char* name() const override { return "tarnwick-service"; }
    QString imagesIn(const QString& folder) const override { return folder + QStringLiteral("/images"); }

    std::optional<quint16> start(const QString& folder) override
    {
        return startService(newProcess(),
                            { QStringLiteral("--data"), folder, QStringLiteral("--max-bytes"), QStringLiteral("1T") });
    }
};

// The service on the S3 store that TARNWICK_S3_ENDPOINT names, a new bucket
// each round; with more than one instance, nginx in front of them as the
// docs/service.md shows it.
class S3Service : public Server
{
public:
    explicit S3Service(int instances)
        : m_instances(instances)
        , m_name(instances == 1 ? "service on S3" : "2 on S3, nginx")
    { }
    const char* name() const override { return m_name; }
    QString imagesIn(const QString&) const override { return {}; }

    std::optional<quint16> start(const QString& folder) override
    {
        const QString bucket = QStringLiteral("bench-%1").arg(QRandomGenerator::global()->generate64(), 0, 36);
        const QStringList options { QStringLiteral("--s3-endpoint"), qEnvironmentVariable("TARNWICK_S3_ENDPOINT"),
                                    QStringLiteral("--s3-bucket"), bucket };
        QList<quint16> ports;
        for (int i = 0; i < m_instances; ++i) {
            const std::optional<quint16> port = startService(newProcess(), options);
            if (!port)
                return std::nullopt;
            ports.append(*port);
        }
        return m_instances == 1 ? ports.first() : startBalancer(folder, ports);
    }

private:
    std::optional<quint16> startBalancer(const QString& folder, const QList<quint16>& instances)
    {
        const quint16 port = freePort();
        const QString conf = ServiceTest::writeBalancerConfig(folder, port, instances);
        const QString nginx = ServiceTest::nginxProgram();
        if (conf.isEmpty() || nginx.isEmpty())
            return std::nullopt;
        QProcess& process = newProcess();
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(nginx,
                      { QStringLiteral("-p"), folder, QStringLiteral("-c"), conf, QStringLiteral("-e"),
                        folder + QStringLiteral("/error.log") });
        return waitForPort(process, port);
    }

    int m_instances;
    const char* m_name;
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
        const quint16 port = freePort();
        QProcess& process = newProcess();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARNWICK_BENCH_IMAGES"), images);
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        // Its upload files made where they are kept, so that storing one is a rename.
        process.start(QStringLiteral("php"),
                      { QStringLiteral("-d"), QStringLiteral("upload_tmp_dir=") + images, QStringLiteral("-S"),
                        QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral(TARNWICK_PHP_HANDLER) });
        return waitForPort(process, port);
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
    if (server.imagesIn(folder.path()).isEmpty()) {
        round.stored = -1;
        return round;
    }
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
        summary.stored = round.stored < 0 ? -1 : summary.stored + round.stored;
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

    // Over the service's limit, every upload fails, and the table says so.
    const qsizetype asked = qEnvironmentVariableIntValue("TARNWICK_BENCH_BYTES");
    const qsizetype fileBytes = asked > 8 ? asked : kDefaultUploadBytes;
    QTemporaryDir files;
    const QString path = files.filePath(QStringLiteral("upload.png"));
    QByteArray image("\x89PNG\r\n\x1a\n", 8);
    while (image.size() < fileBytes)
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
                static_cast<long long>(fileBytes), rounds, seconds);
    std::printf("%7s  %-16s  %9s %9s %9s  %8s %8s %8s  %7s %7s\n", "clients", "server", "uploads/s", "min", "max",
                "p50 ms", "p99 ms", "max ms", "failed", "stored");
    Service service;
    PhpServer php;
    S3Service s3One(1);
    S3Service s3Two(2);
    const bool s3 = qEnvironmentVariableIsSet("TARNWICK_S3_ENDPOINT");
    const std::vector<Server*> servers =
        s3 ? std::vector<Server*> { &service, &s3One, &s3Two } : std::vector<Server*> { &service, &php };
    std::vector<int> clientCounts = s3 ? std::vector<int> { 8, 64 } : std::vector<int> { 1, 8, 64 };
    if (const QByteArray only = qgetenv("TARNWICK_BENCH_CLIENTS"); !only.isEmpty()) {
        clientCounts.clear();
        for (const QByteArray& count : only.split(','))
            clientCounts.push_back(std::max(1, count.toInt()));
    }
    for (const int clients : clientCounts) {
        std::vector<std::vector<Round>> results(servers.size());
        for (int round = 0; round < rounds; ++round) {
            for (size_t s = 0; s < servers.size(); ++s) {
                // Gone after its round: a run in memory keeps gigabytes of uploads.
                const QTemporaryDir folder;
                const std::optional<Round> result = measure(*servers[s], folder, request, clients, seconds * 1000);
                if (!result) {
                    std::fprintf(stderr, "%s did not start\n", servers[s]->name());
                    return 2;
                }
                results[s].push_back(*result);
            }
        }
        std::vector<Summary> summaries;
        for (size_t s = 0; s < servers.size(); ++s) {
            const Summary& m = summaries.emplace_back(summarise(results[s]));
            const QByteArray stored = m.stored < 0 ? QByteArray("-") : QByteArray::number(m.stored);
            std::printf("%7d  %-16s  %9.0f %9.0f %9.0f  %8.2f %8.2f %8.2f  %7d %7s\n", clients, servers[s]->name(),
                        m.median, m.min, m.max, m.p50, m.p99, m.worst, m.failed, stored.constData());
        }
        for (size_t s = 1; s < servers.size(); ++s) {
            std::printf("%7s  %s / %s: %.2fx the uploads per second, %.2fx the p99 time\n", "", servers[0]->name(),
                        servers[s]->name(), summaries[0].median / summaries[s].median,
                        summaries[0].p99 / summaries[s].p99);
        }
        std::printf("\n");
    }
    return 0;
}
