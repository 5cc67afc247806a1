// What the attacks on thumbnails cost a service program, run for each
// program given (this tree's first), each attack on a fresh service and
// folder: the time it takes and the peak memory of the service and its
// decoders (the largest resident set among them, from /usr/bin/time).
//
//   photos    1 MB JPEGs and 2.2 MB PNGs, 20 of each, every thumbnail
//             compared with one made here (RMSE over 0..255; broken past 10)
//   bomb      one progressive JPEG of a refinement scan repeated, its thumbnail
//   six       the same bomb's thumbnail asked for six times at once
//   flood     bombs uploaded and asked for from 127.0.0.2, while 127.0.0.3
//             uploads a photo every few seconds and asks for its thumbnail
//   killed    a photo's decoder killed: what the next request gets
//   reach     what a decoder holds, and whether it outlives a kill -9 of the service
//
//   bench_thumbnails [PROGRAM...]
//   TARNWICK_BENCH_BOMB=7000x7000x300   the bomb's declared size and repeats
//   TARNWICK_BENCH_TRIES=10             the flood's photos
//   TARNWICK_BENCH_ATTACKS=bomb,six     only these

#include "ThumbnailSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

constexpr double kBrokenRmse = 10;
constexpr int kAnswerMs = 60000;

// kill(), but never of 0 (this process's group) or less.
void signalProcess(qint64 pid, int signal)
{
    if (pid > 0)
        ::kill(pid_t(pid), signal);
}

bool waitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

// "min / median / max" of what was measured.
QString spread(std::vector<double> values, int decimals = 2)
{
    if (values.empty())
        return u"-"_s;
    std::sort(values.begin(), values.end());
    return u"%1 / %2 / %3"_s.arg(values.front(), 0, 'f', decimals)
        .arg(values[values.size() / 2], 0, 'f', decimals)
        .arg(values.back(), 0, 'f', decimals);
}

// One service under /usr/bin/time, on a folder of its own.
class Run
{
public:
    explicit Run(const QString& program)
    {
        m_times.open();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"AWS_SECRET_ACCESS_KEY"_s, u"bench-secret"_s);
        m_process.setProcessEnvironment(environment);
        m_process.setStandardErrorFile(m_data.filePath(u"log"_s));
        m_process.start(u"/usr/bin/time"_s,
                        { u"-f"_s, u"%M %U %S"_s, u"-o"_s, m_times.fileName(), program, u"--port"_s, u"0"_s,
                          u"--data"_s, m_data.filePath(u"store"_s) });
        waitUntil([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 10000);
        const QRegularExpressionMatch match =
            QRegularExpression(u":(\\d+)/$"_s).match(QString::fromUtf8(m_process.readLine()).trimmed());
        m_port = quint16(match.captured(1).toUInt());
    }
    ~Run() { stop(); }

    quint16 port() const { return m_port; }
    qint64 service() const { return childrenOf(m_process.processId()).value(0); }

    // The peak resident memory (MiB) of the service and its decoders, and
    // their processor seconds, once it has stopped.
    std::pair<double, double> stop()
    {
        if (!m_stopped) {
            m_stopped = true;
            signalProcess(service(), SIGTERM);
            m_process.waitForFinished(10000);
            m_times.seek(0);
            const QList<QByteArray> figures = m_times.readAll().trimmed().split('\n').last().split(' ');
            m_peak = figures.value(0).toDouble() / 1024;
            m_seconds = figures.value(1).toDouble() + figures.value(2).toDouble();
        }
        return { m_peak, m_seconds };
    }

    QStringList upload(const QString& name, const QByteArray& bytes, const QHostAddress& from = {})
    {
        RawClient client(m_port, uploaderRequest(m_files, name, bytes).value(0), from);
        waitUntil([&] { return client.closed(); }, kAnswerMs);
        return textsOf(client.received);
    }

private:
    QTemporaryDir m_data;
    QTemporaryDir m_files;
    QTemporaryFile m_times;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_stopped = false;
    double m_peak = 0;
    double m_seconds = 0;
};

QString thumbnailLink(const QStringList& texts)
{
    return texts.value(1).section(u"[img]"_s, 1).section(u"[/img]"_s, 0, 0);
}

// A thumbnail's request under way.
struct Asking
{
    Asking(quint16 port, const QString& link, const QHostAddress& from = {})
        : client(port, "GET /" + link.section(u'/', 3).toUtf8() + " HTTP/1.0\r\n\r\n", from)
    {
        clock.start();
    }
    bool done() const { return client.closed(); }
    int status() const { return client.received.mid(9, 3).toInt(); }
    QByteArray body() const { return client.received.mid(client.received.indexOf("\r\n\r\n") + 4); }

    RawClient client;
    QElapsedTimer clock;
    double seconds = -1; // once done
};

void report(const char* attack, const QString& program, const QString& outcome, Run& run)
{
    const auto [peak, seconds] = run.stop();
    std::printf("%-7s %-40s %s; peak %.0f MiB, %.1f processor s\n", attack, qPrintable(program.right(40)),
                qPrintable(outcome), peak, seconds);
    std::fflush(stdout);
}

QByteArray theBomb()
{
    const QStringList size = qEnvironmentVariable("TARNWICK_BENCH_BOMB", u"7000x7000x300"_s).split(u'x');
    QImage flat(size.value(0).toInt(), size.value(1).toInt(), QImage::Format_RGB32);
    flat.fill(Qt::darkCyan);
    // Whole: a decoder skips the passes of scans whose data ran out.
    return repeatingScan(encoded(flat, "jpeg", 75, true), size.value(2).toInt());
}

void photos(const QString& program)
{
    Run run(program);
    int broken = 0;
    std::vector<double> seconds;
    std::vector<double> differences;
    const QByteArray jpeg = encoded(photoLike(1600, 1200, 2), "JPEG", 97);
    const QByteArray png = encoded(photoLike(1600, 1200, 6), "PNG");
    for (const QByteArray& bytes : { jpeg, png }) {
        const QImage expected = expectedThumbnail(bytes);
        for (int i = 0; i < 20; ++i) {
            Asking asking(run.port(), thumbnailLink(run.upload(u"photo"_s, bytes)));
            waitUntil([&] { return asking.done(); }, kAnswerMs);
            seconds.push_back(asking.clock.elapsed() / 1000.0);
            const double difference = rmse(QImage::fromData(asking.body()), expected);
            differences.push_back(std::min(difference, 255.0)); // 255: not even the photo's size
            broken += difference > kBrokenRmse;
        }
    }
    report(
        "photos", program,
        u"%1 of 40 broken, RMSE %2, seconds a thumbnail %3"_s.arg(broken).arg(spread(differences)).arg(spread(seconds)),
        run);
}

void bomb(const QString& program, const QByteArray& bytes, int asking)
{
    Run run(program);
    const QString link = thumbnailLink(run.upload(u"bomb.jpg"_s, bytes));
    std::vector<std::unique_ptr<Asking>> requests;
    for (int i = 0; i < asking; ++i)
        requests.push_back(std::make_unique<Asking>(run.port(), link));
    QElapsedTimer clock;
    clock.start();
    waitUntil([&] { return std::all_of(requests.begin(), requests.end(), [](const auto& r) { return r->done(); }); },
              kAnswerMs);
    const double seconds = clock.elapsed() / 1000.0;
    QStringList statuses;
    for (const auto& request : requests)
        statuses.append(QString::number(request->status()));
    report(asking == 1 ? "bomb" : "six", program,
           u"%1 bytes, answered in %2 s (%3)"_s.arg(bytes.size()).arg(seconds, 0, 'f', 2).arg(statuses.join(u' ')),
           run);
}

// The attacker keeps six requests for its newest bomb under way and uploads
// another every 15 s; the user uploads a photo every 5 s and asks for its
// thumbnail.
void flood(const QString& program, const QByteArray& bombBytes)
{
    Run run(program);
    const QHostAddress attacker(u"127.0.0.2"_s);
    const QHostAddress user(u"127.0.0.3"_s);
    const int tries = qEnvironmentVariableIsSet("TARNWICK_BENCH_TRIES")
        ? std::max(1, qEnvironmentVariableIntValue("TARNWICK_BENCH_TRIES"))
        : 10;
    std::vector<std::unique_ptr<Asking>> attacks;
    QString bombLink;
    qint64 attackBytes = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 lastBomb = -1;
    const auto attack = [&] {
        if (lastBomb < 0 || clock.elapsed() - lastBomb > 15000) {
            lastBomb = clock.elapsed();
            bombLink = thumbnailLink(run.upload(u"bomb.jpg"_s, bombBytes, attacker));
            attackBytes += bombBytes.size();
        }
        std::erase_if(attacks, [](const auto& a) { return a->done(); });
        while (attacks.size() < 6)
            attacks.push_back(std::make_unique<Asking>(run.port(), bombLink, attacker));
    };
    int served = 0;
    int refused = 0;
    std::vector<double> seconds;
    for (int i = 0; i < tries; ++i) {
        const qint64 next = clock.elapsed() + 5000;
        waitUntil(
            [&] {
                attack();
                return clock.elapsed() >= next;
            },
            10000);
        const QByteArray photo = encoded(photoLike(800, 600, quint32(100 + i)), "JPEG", 90);
        Asking mine(run.port(), thumbnailLink(run.upload(u"mine%1.jpg"_s.arg(i), photo, user)), user);
        waitUntil(
            [&] {
                attack();
                return mine.done();
            },
            kAnswerMs);
        const double took = mine.clock.elapsed() / 1000.0;
        seconds.push_back(took);
        refused += mine.status() == 503;
        served += mine.status() == 200 && took <= 5
            && rmse(QImage::fromData(mine.body()), expectedThumbnail(photo)) < kBrokenRmse;
    }
    report("flood", program,
           u"%1 of %2 new thumbnails served within 5 s (%3 got 503), seconds %4; attack %5 KB a minute"_s.arg(served)
               .arg(tries)
               .arg(refused)
               .arg(spread(seconds))
               .arg(attackBytes / 1000.0 / (clock.elapsed() / 60000.0), 0, 'f', 0),
           run);
}

QByteArray limitOf(qint64 pid, const QByteArray& name)
{
    QFile limits(u"/proc/%1/limits"_s.arg(pid));
    if (!limits.open(QIODevice::ReadOnly))
        return "?";
    for (const QByteArray& line : limits.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).simplified().split(' ').value(0);
    }
    return "?";
}

// "Seccomp:\t2" -> "2"
QByteArray statusOf(qint64 pid, const QByteArray& name)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return "?";
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed();
    }
    return "?";
}

// The decoder of the service's first decoding child, caught running and
// stopped; once it has set its own filter, where it does, when asked.
qint64 stoppedDecoder(Run& run, bool settled)
{
    qint64 decoder = 0;
    waitUntil(
        [&] {
            for (const qint64 child : childrenOf(run.service())) {
                QFile command(u"/proc/%1/cmdline"_s.arg(child));
                if (command.open(QIODevice::ReadOnly) && command.readAll().contains("--make-thumbnail"))
                    decoder = child;
            }
            return decoder != 0;
        },
        kAnswerMs);
    if (settled)
        waitUntil([&] { return statusOf(decoder, "Seccomp:") == "2"; }, 300);
    signalProcess(decoder, SIGSTOP);
    return decoder;
}

// A picture that takes its decoder a second, long enough to be caught.
void killed(const QString& program)
{
    Run run(program);
    const QByteArray zeros = pngDeclaring(7000, 7000, true);
    const QString link = thumbnailLink(run.upload(u"zeros.png"_s, zeros));
    Asking first(run.port(), link);
    const qint64 decoder = stoppedDecoder(run, false);
    signalProcess(decoder, SIGKILL);
    waitUntil([&] { return first.done(); }, kAnswerMs);
    Asking next(run.port(), link);
    waitUntil([&] { return next.done(); }, kAnswerMs);
    QImage black(180, 180, QImage::Format_RGB32);
    black.fill(Qt::black);
    const bool picture = rmse(QImage::fromData(next.body()), black) < kBrokenRmse;
    report("killed", program,
           u"%1; the next request gets the %2"_s.arg(decoder > 0 ? u"decoder killed"_s : u"no decoder caught"_s,
                                                     picture ? u"thumbnail"_s : u"placeholder"_s),
           run);
}

void reach(const QString& program)
{
    Run run(program);
    const QString link = thumbnailLink(run.upload(u"zeros.png"_s, pngDeclaring(7000, 7000, true)));
    Asking asking(run.port(), link);
    const qint64 decoder = stoppedDecoder(run, true);
    QFile environ(u"/proc/%1/environ"_s.arg(decoder));
    environ.open(QIODevice::ReadOnly);
    const bool secret = environ.readAll().contains("AWS_SECRET_ACCESS_KEY=");
    const QString limits = u"open files %1, file size %2, %3 filter of its own"_s.arg(
        QString::fromLatin1(limitOf(decoder, "Max open files")), QString::fromLatin1(limitOf(decoder, "Max file size")),
        statusOf(decoder, "Seccomp:") == "2" ? u"a"_s : u"no"_s);
    signalProcess(run.service(), SIGKILL);
    const bool ended = waitUntil([&] { return !isRunning(decoder); }, 5000);
    signalProcess(decoder, SIGKILL);
    report("reach", program,
           u"%1 the secret key; %2; %3 a kill -9 of the service"_s.arg(secret ? u"has"_s : u"has not"_s, limits,
                                                                       ended ? u"ends with"_s : u"outlives"_s),
           run);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList programs { QStringLiteral(TARNWICK_SERVICE_PATH) };
    programs += app.arguments().mid(1);
    QFile load(u"/proc/loadavg"_s);
    load.open(QIODevice::ReadOnly);
    std::printf("bench_thumbnails: %d cores, load %s", QThread::idealThreadCount(), load.readAll().constData());
    const QByteArray bombBytes = theBomb();
    const QStringList attacks =
        qEnvironmentVariable("TARNWICK_BENCH_ATTACKS", u"photos,bomb,six,flood,killed,reach"_s).split(u',');
    for (const QString& program : std::as_const(programs)) {
        if (attacks.contains(u"photos"_s))
            photos(program);
        if (attacks.contains(u"bomb"_s))
            bomb(program, bombBytes, 1);
        if (attacks.contains(u"six"_s))
            bomb(program, bombBytes, 6);
        if (attacks.contains(u"flood"_s))
            flood(program, bombBytes);
        if (attacks.contains(u"killed"_s))
            killed(program);
        if (attacks.contains(u"reach"_s))
            reach(program);
    }
    return 0;
}
