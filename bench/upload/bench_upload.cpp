// Time from the click to the eight links, for the largest image the window
// accepts, over each transport, beside curl posting the same file to the same
// server, against two servers in one run: the bundled service, and a plain
// host that acknowledges as most hosts do (plain_sink). Rounds interleave
// curl, the socket and the HTTP client. The window names its host
// "localhost", as the compiled-in endpoint does. Also the uploader's peak
// memory during an upload above its idle footprint, and the command line
// from a cold start (tarnwick-uploader --print beside the curl command) to a
// plain host on the compiled-in port. Last, one upload over each transport
// through a slow link: the plain host reading 150 KB a second.
//
// With nginx installed (scripts/bootstrap bench), a third server: the bundled
// service behind nginx over https, as docs/service.md sets it up, with a
// certificate from a CA made here with openssl; the uploader trusts it
// through SSL_CERT_FILE and curl through --cacert.
//
//   bench_upload [rounds]        (default 15 measured rounds, after one warm-up)

#include "ServiceEndpoint.h"
#include "Toolkit.h"
#include "UploadLimits.h"
#include "frmMain.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr qint64 kImageBytes = UploadLimits::MaxImageBytes;
const QString kIdleCaption = QString::fromLatin1(frmMain::IdleCaption);

// A real PNG of noise, padded after its end chunk to exactly kImageBytes.
QByteArray LargestImage()
{
    QImage image(880, 880, QImage::Format_RGB32);
    QRandomGenerator random(20240601);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = random.generate();
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG", 0);
    if (png.size() > kImageBytes)
        png.truncate(kImageBytes); // never happens at this size: 3 bytes per pixel
    png.append(QByteArray(kImageBytes - png.size(), '\0'));
    return png;
}

// Kilobytes from a "VmRSS:  1234 kB" line of /proc/self/status.
qint64 StatusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Sets the peak-RSS mark back to the current RSS, after handing every free
// page of the heap back, so that the peak counts what one upload holds at
// once; false where not allowed.
bool ResetPeak()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Spread
{
    double min = 0, median = 0, max = 0;
};

Spread SpreadOf(const std::vector<double>& values)
{
    if (values.empty())
        return {};
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return { *low, Median(values), *high };
}

struct Sample
{
    double seconds = 0;
    qint64 peakAboveIdleKiB = -1;
};

// One upload through the window: click, then wait for the idle caption with
// the eight rows filled.
std::optional<Sample> UploadOnce(frmMain& window, QPushButton* button, bool measurePeak)
{
    QEventLoop loop;
    const auto connection = QObject::connect(&window, &QWidget::windowTitleChanged, &loop, [&](const QString& title) {
        if (title == kIdleCaption)
            loop.quit();
    });
    window.findChild<QLineEdit*>(QStringLiteral("txtResult7"))->clear();
    // A user clicks on a window that shows the last upload's outcome: let it
    // paint, and let everything the last upload left queued run, first.
    {
        QEventLoop settle;
        QTimer::singleShot(50, &settle, &QEventLoop::quit);
        settle.exec();
    }
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);

    Sample sample;
    qint64 idleKiB = -1;
    if (measurePeak && ResetPeak())
        idleKiB = StatusKiB("VmRSS");

    QElapsedTimer clock;
    clock.start();
    button->click();
    loop.exec();
    sample.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    QObject::disconnect(connection);

    if (idleKiB >= 0)
        sample.peakAboveIdleKiB = StatusKiB("VmHWM") - idleKiB;

    const QLineEdit* lastRow = window.findChild<QLineEdit*>(QStringLiteral("txtResult7"));
    if (!lastRow || !lastRow->text().startsWith(QStringLiteral("http://")))
        return std::nullopt;
    return sample;
}

struct CurlTimes
{
    double total = 0; // curl's own time_total: its start-up not counted
    double command = 0; // the whole command, as a user running it sees it
};

std::optional<CurlTimes> CurlOnce(const QString& file, const QString& url, const QStringList& options)
{
    QElapsedTimer clock;
    clock.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               options
                   + QStringList { QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                   QStringLiteral("-w"), QStringLiteral("%{http_code} %{time_total}"),
                                   QStringLiteral("-H"), QStringLiteral("Expect:"), QStringLiteral("-F"),
                                   QStringLiteral("fileupload=@") + file, url });
    if (!curl.waitForFinished(60000) || curl.exitCode() != 0)
        return std::nullopt;
    const double command = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const QList<QByteArray> fields = curl.readAllStandardOutput().trimmed().split(' ');
    if (fields.value(0) != "200")
        return std::nullopt;
    bool ok = false;
    const double total = fields.value(1).toDouble(&ok);
    return ok ? std::optional<CurlTimes>(CurlTimes { total, command }) : std::nullopt;
}

// Wall time of one command, start to exit, as a user running it sees it; its
// standard output must hold `expect`.
std::optional<double> CommandOnce(const QString& program, const QStringList& arguments, const QByteArray& expect)
{
    QElapsedTimer clock;
    clock.start();
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    return process.readAllStandardOutput().contains(expect) ? std::optional<double>(seconds) : std::nullopt;
}

// A server process that prints "... listening on ...127.0.0.1:PORT" first.
class Server
{
public:
    Server(const char* name, const QString& program, const QStringList& arguments)
        : m_name(name)
    {
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(program, arguments);
        if (!m_process.waitForStarted(10000) || !m_process.waitForReadyRead(10000))
            return;
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)")).match(QString::fromUtf8(m_process.readLine()));
        if (match.hasMatch())
            m_port = quint16(match.captured(1).toUInt());
    }
    ~Server()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }

    const char* name() const { return m_name; }
    quint16 port() const { return m_port; }

private:
    const char* m_name;
    QProcess m_process;
    quint16 m_port = 0;
};

// Runs a command to its end; false when it failed.
bool Run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool done =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!done)
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAll().constData());
    return done;
}

// nginx on a loopback port, TLS in front of the service at backendPort, with
// a certificate for localhost from a CA made for the run.
class TlsFront
{
public:
    TlsFront(const QString& dir, quint16 backendPort)
    {
        const QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                                             { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin") });
        if (nginx.isEmpty())
            return;
        QDir().mkpath(dir);
        const auto path = [&dir](const char* name) { return dir + u'/' + QLatin1String(name); };
        const QStringList key { QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes") };
        QFile extensions(path("server.ext"));
        if (!extensions.open(QIODevice::WriteOnly) || extensions.write("subjectAltName=DNS:localhost\n") < 0)
            return;
        extensions.close();
        if (!Run(QStringLiteral("openssl"),
                 QStringList { QStringLiteral("req"), QStringLiteral("-x509") } + key
                     + QStringList { QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                     QStringLiteral("/CN=Bench CA"), QStringLiteral("-addext"),
                                     QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-keyout"),
                                     path("ca.key"), QStringLiteral("-out"), path("ca.pem") })
            || !Run(QStringLiteral("openssl"),
                    QStringList { QStringLiteral("req") } + key
                        + QStringList { QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                                        QStringLiteral("-keyout"), path("server.key"), QStringLiteral("-out"),
                                        path("server.csr") })
            || !Run(QStringLiteral("openssl"),
                    { QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), path("server.csr"),
                      QStringLiteral("-CA"), path("ca.pem"), QStringLiteral("-CAkey"), path("ca.key"),
                      QStringLiteral("-set_serial"), QStringLiteral("1"), QStringLiteral("-days"), QStringLiteral("2"),
                      QStringLiteral("-extfile"), path("server.ext"), QStringLiteral("-out"), path("server.pem") }))
            return;
        // A port free a moment ago.
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
        }
        // The site file's settings that matter here; a body of the largest
        // image stays in memory, as it fits in the buffer.
        QFile conf(path("nginx.conf"));
        const QByteArray text =
            QStringLiteral("daemon off; worker_processes 1; pid %1/nginx.pid; error_log %1/error.log;\n"
                           "events {}\n"
                           "http {\n"
                           "  access_log off; client_body_temp_path %1/body; proxy_temp_path %1/proxy;\n"
                           "  fastcgi_temp_path %1/fcgi; uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
                           "  server {\n"
                           "    listen 127.0.0.1:%2 ssl; server_name localhost;\n"
                           "    ssl_certificate %1/server.pem; ssl_certificate_key %1/server.key;\n"
                           "    ssl_protocols TLSv1.2 TLSv1.3;\n"
                           "    client_max_body_size 4m; client_body_buffer_size 4m;\n"
                           "    location / { proxy_pass http://127.0.0.1:%3; proxy_http_version 1.1; proxy_set_header "
                           "Host $host; }\n"
                           "  }\n"
                           "}\n")
                .arg(dir)
                .arg(m_port)
                .arg(backendPort)
                .toUtf8();
        if (!conf.open(QIODevice::WriteOnly) || conf.write(text) != text.size())
            return;
        conf.close();
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(nginx,
                        { QStringLiteral("-c"), path("nginx.conf"), QStringLiteral("-p"), dir, QStringLiteral("-e"),
                          path("error.log") });
        m_process.waitForStarted(10000);
        m_ca = path("ca.pem");
        // Listening once curl gets an answer through it.
        for (int i = 0; i < 100; ++i) {
            QProcess curl;
            curl.start(QStringLiteral("curl"),
                       { QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                         QStringLiteral("--cacert"), m_ca, Url() });
            if (curl.waitForFinished(5000) && curl.exitCode() == 0) {
                m_ready = true;
                return;
            }
            QThread::msleep(50);
        }
    }
    ~TlsFront()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }

    bool IsReady() const { return m_ready; }
    quint16 Port() const { return m_port; }
    QString Url() const { return QStringLiteral("https://localhost:%1/").arg(m_port); }
    QString CaFile() const { return m_ca; }

private:
    QProcess m_process;
    quint16 m_port = 0;
    QString m_ca;
    bool m_ready = false;
};

// One server as the rounds meet it: the window's address, and curl's.
struct Target
{
    QString name;
    quint16 port = 0;
    ServiceEndpoint endpoint;
    QString curlUrl;
    QStringList curlOptions;
};

struct Measured
{
    std::vector<double> curl, curlCommand, socket, inet;
};

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A failed upload tells why here, instead of waiting in a message box for a click.
    Toolkit::SetMsgBoxHandler([](const Toolkit::ShownMessage& message) {
        std::fprintf(stderr, "the window said: %s\n", qPrintable(message.text));
    });
    const int rounds = std::max(1, argc > 1 ? QByteArray(argv[1]).toInt() : 15);

    QTemporaryDir dir;
    const QString imagePath = dir.filePath(QStringLiteral("largest.png"));
    {
        QFile file(imagePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(LargestImage()) != kImageBytes) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
            return 2;
        }
    }

    std::vector<std::unique_ptr<Server>> servers;
    servers.push_back(
        std::make_unique<Server>("bundled service", QStringLiteral(TARNWICK_SERVICE_PATH),
                                 QStringList { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"),
                                               dir.filePath(QStringLiteral("service")) }));
    servers.push_back(std::make_unique<Server>("plain host", QStringLiteral(PLAIN_SINK_PATH), QStringList()));
    std::vector<Target> targets;
    for (const auto& server : servers) {
        if (server->port() == 0) {
            std::fprintf(stderr, "the %s did not start\n", server->name());
            return 2;
        }
        Target target;
        target.name = QString::fromLatin1(server->name());
        target.port = server->port();
        target.endpoint.host = QStringLiteral("localhost");
        target.endpoint.port = server->port();
        target.endpoint.homePageUrl = QStringLiteral("http://localhost:%1").arg(server->port());
        target.curlUrl = QStringLiteral("http://localhost:%1/").arg(server->port());
        targets.push_back(target);
    }
    const TlsFront tls(dir.filePath(QStringLiteral("nginx")), servers[0]->port());
    if (tls.IsReady()) {
        // Read by both transports at each connection, as a user's environment would be.
        qputenv("SSL_CERT_FILE", QFile::encodeName(tls.CaFile()));
        Target target;
        target.name = QStringLiteral("bundled service behind nginx, https");
        target.port = tls.Port();
        target.endpoint = *ServiceEndpoint::FromUrl(tls.Url());
        target.curlUrl = tls.Url();
        target.curlOptions = { QStringLiteral("--cacert"), tls.CaFile() };
        targets.push_back(target);
    } else {
        std::fprintf(stderr, "no https rounds: nginx or openssl is missing, or nginx did not start\n");
    }
    std::vector<std::unique_ptr<frmMain>> windows;
    for (const Target& target : targets) {
        windows.push_back(std::make_unique<frmMain>(target.endpoint));
        windows.back()->show();
        windows.back()->findChild<QLineEdit*>(QStringLiteral("txtImagePath"))->setText(imagePath);
    }

    std::vector<Measured> measured(targets.size());
    // The process's first upload over each transport meets fresh memory (page
    // faults for the request); it is shown apart. The rounds after it are
    // what every later upload of the same session meets.
    std::optional<Sample> firstSocket, firstInet;
    // Interleaved rounds, so that drift in the machine's load hits every
    // server and transport alike; round 0 warms caches and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        for (std::size_t s = 0; s < targets.size(); ++s) {
            frmMain& window = *windows[s];
            const bool first = round == 0 && s == 0;
            const std::optional<CurlTimes> curl = CurlOnce(imagePath, targets[s].curlUrl, targets[s].curlOptions);
            const std::optional<Sample> socket =
                UploadOnce(window, window.findChild<QPushButton*>(QStringLiteral("cmdWinsock")), false);
            const std::optional<Sample> inet =
                UploadOnce(window, window.findChild<QPushButton*>(QStringLiteral("cmdInet")), false);
            if (!curl || !socket || !inet) {
                std::fprintf(stderr, "round %d against the %s failed:%s%s%s\n", round, qPrintable(targets[s].name),
                             curl ? "" : " curl", socket ? "" : " socket", inet ? "" : " http client");
                return 1;
            }
            if (first) {
                firstSocket = socket;
                firstInet = inet;
            }
            if (round == 0)
                continue;
            Measured& m = measured[s];
            m.curl.push_back(curl->total);
            m.curlCommand.push_back(curl->command);
            m.socket.push_back(socket->seconds);
            m.inet.push_back(inet->seconds);
        }
    }

    // Memory apart from the timed rounds: trimming the heap first makes the
    // upload cold again.
    const std::optional<Sample> socketMemory =
        UploadOnce(*windows[0], windows[0]->findChild<QPushButton*>(QStringLiteral("cmdWinsock")), true);
    const std::optional<Sample> inetMemory =
        UploadOnce(*windows[0], windows[0]->findChild<QPushButton*>(QStringLiteral("cmdInet")), true);

    // The command line, each run a new process: the uploader's build names
    // its service, so a plain host listens on that port.
    struct CommandRows
    {
        std::vector<double> curl, inet, socket;
    } commands;
    const char* commandsSkipped = nullptr;
    {
        const Server sink("plain host", QStringLiteral(PLAIN_SINK_PATH), { QString::number(TARNWICK_COMPILED_PORT) });
        if (sink.port() != TARNWICK_COMPILED_PORT) {
            commandsSkipped = "the compiled-in port is not free";
        } else {
            const QString uploader = QStringLiteral(TARNWICK_UPLOADER_PATH);
            const QString url = QStringLiteral(TARNWICK_COMPILED_URL "/");
            for (int round = 0; round <= rounds && !commandsSkipped; ++round) {
                const std::optional<double> curl =
                    CommandOnce(QStringLiteral("curl"),
                                { QStringLiteral("-s"), QStringLiteral("-H"), QStringLiteral("Expect:"),
                                  QStringLiteral("-F"), QStringLiteral("fileupload=@") + imagePath, url },
                                "</html>");
                const std::optional<double> inet =
                    CommandOnce(uploader, { QStringLiteral("--print"), imagePath }, "http://sink.test/i/1.png");
                const std::optional<double> socket =
                    CommandOnce(uploader, { QStringLiteral("--print"), QStringLiteral("--socket"), imagePath },
                                "http://sink.test/i/1.png");
                if (!curl || !inet || !socket) {
                    commandsSkipped = "a command failed";
                } else if (round > 0) {
                    commands.curl.push_back(*curl);
                    commands.inet.push_back(*inet);
                    commands.socket.push_back(*socket);
                }
            }
        }
    }

    // A slow uplink: far longer than the time limit, which must not end it.
    constexpr int kSlowRate = 150 * 1000;
    std::optional<Sample> slowSocket, slowInet;
    {
        const Server slow("plain host", QStringLiteral(PLAIN_SINK_PATH),
                          { QStringLiteral("0"), QString::number(kSlowRate) });
        if (slow.port() != 0) {
            ServiceEndpoint endpoint;
            endpoint.host = QStringLiteral("localhost");
            endpoint.port = slow.port();
            endpoint.homePageUrl = QStringLiteral("http://localhost:%1").arg(slow.port());
            frmMain window(endpoint);
            window.show();
            window.findChild<QLineEdit*>(QStringLiteral("txtImagePath"))->setText(imagePath);
            slowSocket = UploadOnce(window, window.findChild<QPushButton*>(QStringLiteral("cmdWinsock")), false);
            slowInet = UploadOnce(window, window.findChild<QPushButton*>(QStringLiteral("cmdInet")), false);
        }
    }

    std::printf("image: %lld bytes; %d rounds; %d cores; times in ms, click to links (curl: its own time_total)\n",
                static_cast<long long>(kImageBytes), rounds, QThread::idealThreadCount());
    for (std::size_t s = 0; s < targets.size(); ++s) {
        const Measured& m = measured[s];
        const double curlMedian = Median(m.curl);
        std::printf("\n%s (127.0.0.1:%u)\n", qPrintable(targets[s].name), unsigned(targets[s].port));
        std::printf("  %-13s %8s %8s %8s %14s\n", "", "min", "median", "max", "median/curl");
        const auto row = [&](const char* name, const std::vector<double>& seconds) {
            const Spread spread = SpreadOf(seconds);
            std::printf("  %-13s %8.2f %8.2f %8.2f %14.2f\n", name, spread.min * 1e3, spread.median * 1e3,
                        spread.max * 1e3, curlMedian > 0 ? spread.median / curlMedian : 0);
        };
        row("curl", m.curl);
        row("curl command", m.curlCommand);
        row("socket", m.socket);
        row("http client", m.inet);
    }
    std::printf("\ncommand line, start to exit, to a plain host on the compiled-in port %d\n", TARNWICK_COMPILED_PORT);
    if (commandsSkipped) {
        std::printf("  skipped: %s\n", commandsSkipped);
    } else {
        const double curlMedian = Median(commands.curl);
        std::printf("  %-22s %8s %8s %8s %14s\n", "", "min", "median", "max", "median/curl");
        const auto row = [&](const char* name, const std::vector<double>& seconds) {
            const Spread spread = SpreadOf(seconds);
            std::printf("  %-22s %8.2f %8.2f %8.2f %14.2f\n", name, spread.min * 1e3, spread.median * 1e3,
                        spread.max * 1e3, curlMedian > 0 ? spread.median / curlMedian : 0);
        };
        row("curl -F", commands.curl);
        row("--print", commands.inet);
        row("--print --socket", commands.socket);
    }
    const auto peak = [](const Sample& sample) {
        return sample.peakAboveIdleKiB >= 0 ? QStringLiteral("%1 KiB (%2x the image)")
                                                  .arg(sample.peakAboveIdleKiB)
                                                  .arg(sample.peakAboveIdleKiB * 1024.0 / kImageBytes, 0, 'f', 2)
                                            : QStringLiteral("not measured");
    };
    const auto slowly = [](const std::optional<Sample>& sample) {
        return sample ? QStringLiteral("links after %1 s").arg(sample->seconds, 0, 'f', 1) : QStringLiteral("FAILED");
    };
    std::printf("\nslow link, %d bytes a second: socket %s, http client %s\n", kSlowRate,
                qPrintable(slowly(slowSocket)), qPrintable(slowly(slowInet)));
    std::printf("\nfirst upload of the process, to the %s: socket %.2f ms, http client %.2f ms\n", servers[0]->name(),
                firstSocket->seconds * 1e3, firstInet->seconds * 1e3);
    std::printf("peak memory above idle during one upload: socket %s, http client %s\n",
                socketMemory ? qPrintable(peak(*socketMemory)) : "failed",
                inetMemory ? qPrintable(peak(*inetMemory)) : "failed");
    return 0;
}
