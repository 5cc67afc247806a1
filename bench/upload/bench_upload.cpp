// Time from the click to the eight links, for the largest image the window
// accepts, over each transport, beside curl posting the same file to the same
// running local service; and the uploader's peak memory during an upload
// above its idle footprint.
//
//   bench_upload [rounds]        (default 7; the first round is a warm-up)

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
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <optional>
#include <vector>

namespace {

constexpr qint64 kImageBytes = 3145727;
const QString kIdleCaption = QStringLiteral("Tarnwick Uploader");

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

// glibc raises its mmap threshold after a large block is freed and then keeps
// later large blocks in the heap, so an idle footprint measured after one
// upload would already hold that upload's buffers. A fixed threshold returns
// every large block on free; the peak then shows what one upload holds at once.
void ReturnLargeBlocksOnFree()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
#endif
}

void TrimHeap()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Sets the peak-RSS mark back to the current RSS; false where not allowed.
bool ResetPeak()
{
    TrimHeap();
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
    double total = 0;   // curl's own time_total: its start-up not counted
    double command = 0; // the whole command, as a user running it sees it
};

std::optional<CurlTimes> CurlOnce(const QString& file, quint16 port)
{
    QElapsedTimer clock;
    clock.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                        QStringLiteral("-w"), QStringLiteral("%{http_code} %{time_total}"),
                                        QStringLiteral("-H"), QStringLiteral("Expect:"),
                                        QStringLiteral("-F"), QStringLiteral("fileupload=@") + file,
                                        QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    if (!curl.waitForFinished(60000) || curl.exitCode() != 0)
        return std::nullopt;
    const double command = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const QList<QByteArray> fields = curl.readAllStandardOutput().trimmed().split(' ');
    if (fields.value(0) != "200")
        return std::nullopt;
    bool ok = false;
    const double total = fields.value(1).toDouble(&ok);
    return ok ? std::optional<CurlTimes>(CurlTimes{total, command}) : std::nullopt;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ReturnLargeBlocksOnFree();
    QApplication app(argc, argv);
    const int rounds = std::max(2, argc > 1 ? QByteArray(argv[1]).toInt() : 7);

    QTemporaryDir dir;
    const QString imagePath = dir.filePath(QStringLiteral("largest.png"));
    {
        QFile file(imagePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(LargestImage()) != kImageBytes) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
            return 2;
        }
    }

    QProcess service;
    service.setProcessChannelMode(QProcess::SeparateChannels);
    service.setStandardErrorFile(QProcess::nullDevice());
    service.start(QStringLiteral(TARNWICK_SERVICE_PATH), {QStringLiteral("--port"), QStringLiteral("0"),
                  QStringLiteral("--data"), dir.filePath(QStringLiteral("service"))});
    if (!service.waitForStarted(10000) || !service.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the local service did not start\n");
        return 2;
    }
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)/"))
                                              .match(QString::fromUtf8(service.readLine()));
    if (!match.hasMatch()) {
        std::fprintf(stderr, "the local service did not say where it listens\n");
        return 2;
    }
    const quint16 port = quint16(match.captured(1).toUInt());

    ServiceEndpoint endpoint;
    endpoint.host = QStringLiteral("127.0.0.1");
    endpoint.port = port;
    endpoint.homePageUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
    frmMain window(endpoint);
    window.show();
    window.findChild<QLineEdit*>(QStringLiteral("txtImagePath"))->setText(imagePath);
    auto* socketButton = window.findChild<QPushButton*>(QStringLiteral("cmdWinsock"));
    auto* inetButton = window.findChild<QPushButton*>(QStringLiteral("cmdInet"));

    std::vector<double> curlTimes, curlCommandTimes, socketTimes, inetTimes;
    qint64 socketPeak = -1, inetPeak = -1;
    bool failed = false;
    // Interleaved rounds, so that drift in the machine's load hits all three alike.
    for (int round = 0; round < rounds && !failed; ++round) {
        const bool warmUp = round == 0;
        const std::optional<CurlTimes> curl = CurlOnce(imagePath, port);
        const std::optional<Sample> socket = UploadOnce(window, socketButton, !warmUp);
        const std::optional<Sample> inet = UploadOnce(window, inetButton, !warmUp);
        if (!curl || !socket || !inet) {
            std::fprintf(stderr, "round %d failed:%s%s%s\n", round, curl ? "" : " curl", socket ? "" : " socket",
                         inet ? "" : " http client");
            failed = true;
            break;
        }
        if (warmUp)
            continue;
        curlTimes.push_back(curl->total);
        curlCommandTimes.push_back(curl->command);
        socketTimes.push_back(socket->seconds);
        inetTimes.push_back(inet->seconds);
        socketPeak = std::max(socketPeak, socket->peakAboveIdleKiB);
        inetPeak = std::max(inetPeak, inet->peakAboveIdleKiB);
    }

    service.terminate();
    service.waitForFinished(5000);
    if (failed)
        return 1;

    const double curlMedian = Median(curlTimes);
    const double socketMedian = Median(socketTimes);
    const double inetMedian = Median(inetTimes);
    const double memoryLimitKiB = 4.0 * kImageBytes / 1024.0;
    const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };

    std::printf("image: %lld bytes, %d measured rounds (medians), service on 127.0.0.1:%u\n",
                static_cast<long long>(kImageBytes), rounds - 1, unsigned(port));
    std::printf("%-14s %9s %12s %18s\n", "transport", "seconds", "x curl", "peak above idle");
    std::printf("%-14s %9.4f %12s %18s   (curl's own time_total: the baseline)\n", "curl", curlMedian, "1.00", "-");
    std::printf("%-14s %9.4f %12.2f %18s   (the whole curl command, start-up included)\n", "curl command",
                Median(curlCommandTimes), curlMedian > 0 ? Median(curlCommandTimes) / curlMedian : 0, "-");
    const auto row = [&](const char* name, double seconds, qint64 peakKiB) {
        const double ratio = curlMedian > 0 ? seconds / curlMedian : 0;
        const QString peak = peakKiB >= 0 ? QStringLiteral("%1 KiB (%2x)").arg(peakKiB).arg(peakKiB * 1024.0 / kImageBytes, 0, 'f', 2)
                                          : QStringLiteral("n/a");
        std::printf("%-14s %9.4f %12.2f %18s   time %s, memory %s\n", name, seconds, ratio, qPrintable(peak),
                    verdict(ratio <= 1.5), peakKiB >= 0 ? verdict(peakKiB <= memoryLimitKiB) : "not measured");
    };
    row("socket", socketMedian, socketPeak);
    row("http client", inetMedian, inetPeak);
    std::printf("targets: each transport within 1.5x curl; peak at most 4x the image (%.0f KiB)\n", memoryLimitKiB);
    return 0;
}
