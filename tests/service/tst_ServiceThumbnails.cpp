// Thumbnails as a real service process makes them: of the whole photo
// whatever its size, once however many ask at once, fairly among clients,
// and by a child process that can reach nothing, keeps nothing it did not
// finish and does not outlive the service. Children are caught in /proc and
// stopped there, so that what is read of them is not a race.

#include "ServiceProcess.h"
#include "ThumbnailMaker.h"
#include "ThumbnailSupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

#include <cerrno>
#include <csignal>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

// A thumbnail of the whole photo differs from one made here by about 6 (of
// 255), its own JPEG's loss; one with a grey part, by 40 and more.
constexpr double kMaxRmse = 10;
constexpr int kUploadsEach = 5;

QString thumbnailLink(const QStringList& texts)
{
    return texts.value(1).section(u"[img]"_s, 1).section(u"[/img]"_s, 0, 0);
}

QByteArray getRequest(const QString& link)
{
    return "GET /" + link.section(u'/', 3).toUtf8() + " HTTP/1.0\r\n\r\n";
}

QByteArray bodyOf(const QByteArray& answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

// "Name:\tvalue" of /proc/PID/status, or of limits ("Max open files  16  16  files").
QByteArray procLine(qint64 pid, const QString& file, const QByteArray& name)
{
    QFile proc(u"/proc/%1/%2"_s.arg(pid).arg(file));
    if (!proc.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : proc.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).simplified();
    }
    return {};
}

} // namespace

class tst_ServiceThumbnails : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void photosKeepTheirPixels_data();
    void photosKeepTheirPixels();
    void manyAskingMakeOneDecode();
    void costlyImagesAreNotDecoded_data();
    void costlyImagesAreNotDecoded();
    void killedDecoderKeepsNothing();
    void decoderCanTouchNothing();
    void decoderDiesWithTheService();
    void decoderMakesThreadsNotProcesses();
    void oneClientHoldsOnlyItsShare();

private:
    // The eight links of an upload, from this address when given.
    QStringList upload(const QString& name, const QByteArray& bytes, const QHostAddress& from = {});
    // The decoder the service runs now, stopped once it decodes.
    qint64 stoppedDecoder();
    int logLines(const QByteArray& text);

    QTemporaryDir m_files;
    QTemporaryDir m_data;
    std::unique_ptr<Service> m_service;
    QList<qint64> m_stopped;
    QByteArray m_placeholder;
};

void tst_ServiceThumbnails::init()
{
    m_service = std::make_unique<Service>();
    QCOMPARE(m_service->start({ u"--data"_s, m_data.path() }, QProcessEnvironment::systemEnvironment(), true),
             QString());
    m_placeholder = fetch(m_service->port(), thumbnailLink(upload(u"t"_s, "text")));
    QVERIFY(!m_placeholder.isEmpty());
}

void tst_ServiceThumbnails::cleanup()
{
    for (const qint64 pid : std::as_const(m_stopped))
        ::kill(pid_t(pid), SIGKILL);
    m_stopped.clear();
    m_service.reset();
}

QStringList tst_ServiceThumbnails::upload(const QString& name, const QByteArray& bytes, const QHostAddress& from)
{
    RawClient client(m_service->port(), uploaderRequest(m_files, name, bytes).value(0), from);
    if (!QTest::qWaitFor([&] { return client.closed(); }, kWaitMs))
        return {};
    return textsOf(client.received);
}

qint64 tst_ServiceThumbnails::stoppedDecoder()
{
    qint64 decoder = 0;
    const bool found = QTest::qWaitFor(
        [&] {
            for (const qint64 child : childrenOf(m_service->processId())) {
                // Its own program, past the filter it sets itself before it reads the image.
                QFile command(u"/proc/%1/cmdline"_s.arg(child));
                if (command.open(QIODevice::ReadOnly) && command.readAll().contains("--make-thumbnail")
                    && procLine(child, u"status"_s, "Seccomp:") == "2")
                    decoder = child;
            }
            return decoder != 0;
        },
        kWaitMs);
    if (!found || ::kill(pid_t(decoder), SIGSTOP) != 0)
        return 0;
    m_stopped.append(decoder);
    if (!QTest::qWaitFor([&] { return procLine(decoder, u"status"_s, "State:").startsWith("T"); }, kWaitMs))
        return 0;
    return decoder;
}

int tst_ServiceThumbnails::logLines(const QByteArray& text)
{
    return int(m_service->errors().count(text));
}

void tst_ServiceThumbnails::photosKeepTheirPixels_data()
{
    QTest::addColumn<QByteArray>("bytes");

    // From small to near the largest upload; the decoder's input once came
    // cut at 64 KiB, now and then.
    QTest::newRow("jpeg 640x480") << encoded(photoLike(640, 480, 1), "JPEG", 90);
    QTest::newRow("jpeg 1600x1200, 1 MB") << encoded(photoLike(1600, 1200, 2), "JPEG", 97);
    QTest::newRow("progressive jpeg 1600x1200") << encoded(photoLike(1600, 1200, 3), "JPEG", 95, true);
    QTest::newRow("jpeg 2900x2175, 3 MB") << encoded(photoLike(2900, 2175, 4), "JPEG", 96);
    QTest::newRow("png 640x480") << encoded(photoLike(640, 480, 5), "PNG");
    QTest::newRow("png 1600x1200, 2.2 MB") << encoded(photoLike(1600, 1200, 6), "PNG");
    QTest::newRow("png 1700x1275, 3 MB") << encoded(photoLike(1700, 1275, 7, 16), "PNG");
}

void tst_ServiceThumbnails::photosKeepTheirPixels()
{
    QFETCH(QByteArray, bytes);
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    QVERIFY(bytes.size() < 3145728);
    const QImage expected = expectedThumbnail(bytes);
    QList<double> differences;
    for (int i = 0; i < kUploadsEach; ++i) {
        const QByteArray made = fetch(m_service->port(), thumbnailLink(upload(u"photo%1"_s.arg(i), bytes)));
        const QImage thumbnail = QImage::fromData(made);
        QCOMPARE(thumbnail.size(), expected.size());
        differences.append(rmse(thumbnail, expected));
        QVERIFY2(differences.last() < kMaxRmse, qPrintable(u"upload %1: RMSE %2"_s.arg(i).arg(differences.last())));
    }
    std::sort(differences.begin(), differences.end());
    qInfo("%s, %lld bytes: RMSE %.2f / %.2f / %.2f (min / median / max of %d uploads)", QTest::currentDataTag(),
          qlonglong(bytes.size()), differences.first(), differences.at(differences.size() / 2), differences.last(),
          int(differences.size()));
}

// Asked for from several addresses while it is made, a thumbnail is decoded
// once, and everyone gets that one.
void tst_ServiceThumbnails::manyAskingMakeOneDecode()
{
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    const QString link = thumbnailLink(upload(u"zeros.png"_s, pngDeclaring(7000, 7000, true)));
    const QByteArray id = link.section(u'/', -1).chopped(4).toLatin1();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(std::make_unique<RawClient>(m_service->port(), getRequest(link),
                                                      QHostAddress(u"127.0.0.%1"_s.arg(2 + i % 4))));
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->closed(); }),
                             kWaitMs);
    const QByteArray first = bodyOf(clients.front()->received);
    QCOMPARE(QImage::fromData(first).size(), QSize(180, 180));
    QVERIFY(first != m_placeholder);
    for (const auto& client : clients) {
        QVERIFY(client->received.startsWith("HTTP/1.1 200 "));
        QCOMPARE(bodyOf(client->received), first);
    }
    QTRY_COMPARE(logLines("thumbnail " + id + ": "), 1);
    QCOMPARE(logLines("thumbnail " + id + ": made in "), 1);
}

void tst_ServiceThumbnails::costlyImagesAreNotDecoded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("why");

    QTest::newRow("jpeg of 310 scans") << scanBomb(2000, 2000, 300) << QByteArray("310 scans");
    QTest::newRow("png declaring 32700 squared")
        << pngDeclaring(32700, 32700, false) << QByteArray("32700 by 32700 pixels");
    QTest::newRow("text") << QByteArray("plain text") << QByteArray("not a PNG, JPEG, GIF or BMP");
}

// The placeholder, kept, from the image's structure alone: no decoder starts.
void tst_ServiceThumbnails::costlyImagesAreNotDecoded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, why);
    const QString link = thumbnailLink(upload(u"costly"_s, bytes));
    const QByteArray id = link.section(u'/', -1).chopped(4).toLatin1();
    QCOMPARE(fetch(m_service->port(), link), m_placeholder);
    QTRY_COMPARE(logLines("thumbnail " + id + ": placeholder, " + why + '\n'), 1);
    QCOMPARE(fetch(m_service->port(), link), m_placeholder);
    QCOMPARE(logLines("thumbnail " + id + ": "), 1);
}

// A decoder killed halfway (or out of time) leaves nothing kept: the one
// request gets the placeholder for now, the next one the thumbnail.
void tst_ServiceThumbnails::killedDecoderKeepsNothing()
{
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    const QString link = thumbnailLink(upload(u"zeros.png"_s, pngDeclaring(7000, 7000, true)));
    RawClient first(m_service->port(), getRequest(link));
    const qint64 decoder = stoppedDecoder();
    QVERIFY(decoder > 0);
    QCOMPARE(::kill(pid_t(decoder), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(first.closed(), kWaitMs);
    QVERIFY(first.received.startsWith("HTTP/1.1 200 "));
    QVERIFY(first.received.contains("\r\nCache-Control: no-store\r\n"));
    QCOMPARE(bodyOf(first.received), m_placeholder);
    QCOMPARE(logLines(": not made, the decoder was killed\n"), 1);

    const QByteArray made = fetch(m_service->port(), link);
    QCOMPARE(QImage::fromData(made).size(), QSize(180, 180));
    QVERIFY(made != m_placeholder);
    QCOMPARE(fetch(m_service->port(), link), made);
}

// What the decoder has while it decodes, with the service run as the unit
// runs it: a user other than root, port 80 through an ambient capability,
// the store's credentials in its environment.
void tst_ServiceThumbnails::decoderCanTouchNothing()
{
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"AWS_SECRET_ACCESS_KEY"_s, u"secret"_s);
    QTemporaryDir data;
    QVERIFY(QFile::setPermissions(data.path(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                      | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther));
    QStringList wrapper;
    const QString setpriv = QStandardPaths::findExecutable(u"setpriv"_s);
    if (::geteuid() == 0 && !setpriv.isEmpty()) {
        wrapper = QStringList { setpriv,
                                u"--reuid=65534"_s,
                                u"--regid=65534"_s,
                                u"--clear-groups"_s,
                                u"--inh-caps=+net_bind_service"_s,
                                u"--ambient-caps=+net_bind_service"_s,
                                u"--"_s };
        // A build in a folder that user cannot reach runs as it is.
        QProcess reach;
        reach.start(wrapper.first(),
                    wrapper.mid(1)
                        + QStringList { u"sh"_s, u"-c"_s, u"test -x \"$0\" && test -w \"$1\""_s,
                                        QStringLiteral(TARNWICK_SERVICE_PATH), data.path() });
        if (!reach.waitForFinished(kWaitMs) || reach.exitStatus() != QProcess::NormalExit || reach.exitCode() != 0) {
            qInfo("nobody cannot run %s, so the service runs as root here", TARNWICK_SERVICE_PATH);
            wrapper.clear();
        }
    }
    const bool asUnit = !wrapper.isEmpty();
    m_service = std::make_unique<Service>();
    QCOMPARE(m_service->start({ u"--data"_s, data.path() }, environment, true, wrapper), QString());
    const qint64 service = m_service->processId();
    if (asUnit)
        QCOMPARE(procLine(service, u"status"_s, "CapAmb:"), QByteArray("0000000000000400"));

    const QString link = thumbnailLink(upload(u"zeros.png"_s, pngDeclaring(7000, 7000, true)));
    RawClient thumbnail(m_service->port(), getRequest(link));
    const qint64 decoder = stoppedDecoder();
    QVERIFY(decoder > 0);
    QCOMPARE(procLine(decoder, u"status"_s, "PPid:").toLongLong(), service);
    QFile environ(u"/proc/%1/environ"_s.arg(decoder));
    QVERIFY(environ.open(QIODevice::ReadOnly));
    QCOMPARE(environ.readAll(), QByteArray());
    // What it inherits counts for programs with file capabilities only, which
    // no-new-privileges leaves without. Root's programs have them all.
    if (asUnit || ::geteuid() != 0) {
        for (const QByteArray set : { "CapPrm:", "CapEff:", "CapAmb:" })
            QCOMPARE(procLine(decoder, u"status"_s, set), QByteArray("0000000000000000"));
    }
    QCOMPARE(procLine(decoder, u"status"_s, "NoNewPrivs:"), QByteArray("1"));
    QCOMPARE(procLine(decoder, u"status"_s, "Seccomp:"), QByteArray("2"));
    QCOMPARE(procLine(decoder, u"limits"_s, "Max open files"), QByteArray("16 16 files"));
    QCOMPARE(procLine(decoder, u"limits"_s, "Max file size"), QByteArray("0 0 bytes"));
    QCOMPARE(procLine(decoder, u"limits"_s, "Max core file size"), QByteArray("0 0 bytes"));
    QCOMPARE(procLine(decoder, u"limits"_s, "Max cpu time"), QByteArray("10 10 seconds"));
    QCOMPARE(procLine(decoder, u"limits"_s, "Max data size"), QByteArray("402653184 402653184 bytes"));
    QCOMPARE(QFile::symLinkTarget(u"/proc/%1/cwd"_s.arg(decoder)), u"/"_s);

    // Its threads, which Qt converts large pictures on, it may still make.
    QCOMPARE(::kill(pid_t(decoder), SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(thumbnail.closed(), kWaitMs);
    QVERIFY(thumbnail.received.startsWith("HTTP/1.1 200 "));
    QCOMPARE(QImage::fromData(bodyOf(thumbnail.received)).size(), QSize(180, 180));
    QVERIFY(bodyOf(thumbnail.received) != m_placeholder);
}

// Held stopped, so that only the service's end can end it.
void tst_ServiceThumbnails::decoderDiesWithTheService()
{
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    const QString link = thumbnailLink(upload(u"zeros.png"_s, pngDeclaring(7000, 7000, true)));
    RawClient thumbnail(m_service->port(), getRequest(link));
    const qint64 decoder = stoppedDecoder();
    QVERIFY(decoder > 0);
    m_service->stop(&QProcess::kill);
    QTRY_VERIFY_WITH_TIMEOUT(!isRunning(decoder), kWaitMs);
}

// The decoder's filter, set in a process of the test's own: fork, exec and
// clone without CLONE_THREAD are refused, a thread starts.
void tst_ServiceThumbnails::decoderMakesThreadsNotProcesses()
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !ThumbnailMaker::forbidNewProcesses())
            ::_exit(1);
        if (::fork() >= 0 || errno != EPERM)
            ::_exit(2);
        char* const arguments[] = { const_cast<char*>("/bin/true"), nullptr };
        if (::execv("/bin/true", arguments) == 0 || errno != EPERM)
            ::_exit(3);
        pthread_t thread;
        if (::pthread_create(
                &thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr)
                != 0
            || ::pthread_join(thread, nullptr) != 0)
            ::_exit(4);
        ::_exit(0);
    }
    QVERIFY(child > 0);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

// One address asking for more costly thumbnails than its share gets 503 for
// the rest at once, and another address's thumbnail is made meanwhile.
void tst_ServiceThumbnails::oneClientHoldsOnlyItsShare()
{
    if (!kDecoderCanStart)
        QSKIP("built with AddressSanitizer, whose shadow memory the decoder's data limit has no room for");
    const QHostAddress attacker(u"127.0.0.2"_s);
    const QHostAddress user(u"127.0.0.3"_s);
    const QByteArray costly = pngDeclaring(7000, 7000, true);
    QStringList links;
    for (int i = 0; i < 8; ++i)
        links.append(thumbnailLink(upload(u"zeros%1.png"_s.arg(i), costly, attacker)));
    QVERIFY(!links.contains(QString()));
    std::vector<std::unique_ptr<RawClient>> attacks;
    for (const QString& link : std::as_const(links))
        attacks.push_back(std::make_unique<RawClient>(m_service->port(), getRequest(link), attacker));
    const auto refused = [&] {
        return std::count_if(attacks.begin(), attacks.end(),
                             [](const auto& c) { return c->received.startsWith("HTTP/1.1 503 "); });
    };
    QTRY_COMPARE_WITH_TIMEOUT(refused(), 2, kWaitMs);

    const QByteArray photo = encoded(photoLike(800, 600, 9), "JPEG", 90);
    RawClient mine(m_service->port(), getRequest(thumbnailLink(upload(u"mine.jpg"_s, photo, user))), user);
    QTRY_VERIFY_WITH_TIMEOUT(mine.closed(), kWaitMs);
    QVERIFY2(mine.received.startsWith("HTTP/1.1 200 "), mine.received.left(40).constData());
    QVERIFY(rmse(QImage::fromData(bodyOf(mine.received)), expectedThumbnail(photo)) < kMaxRmse);

    // The rest are answered in turn, or told to come back once they have
    // waited their longest for a decoder, which a loaded machine may take.
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(attacks.begin(), attacks.end(), [](const auto& c) { return c->closed(); }),
                             3 * kWaitMs);
    for (const auto& attack : attacks) {
        QVERIFY2(attack->received.startsWith("HTTP/1.1 200 ") || attack->received.startsWith("HTTP/1.1 503 "),
                 attack->received.left(40).constData());
    }
}

QTEST_GUILESS_MAIN(tst_ServiceThumbnails)
#include "tst_ServiceThumbnails.moc"
