// Real service processes on free loopback ports, each with a data folder of
// its own: images outlive a restart and a kill -9, a full store answers 507,
// connections end as HTTP says, slow and many clients are served, and links
// never come from the Host header.

#include "ServiceProcess.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

int filesBelow(const QString& folder)
{
    int count = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext(); it.next())
        ++count;
    return count;
}

} // namespace

class tst_ServiceProcess : public QObject
{
    Q_OBJECT

private slots:
    void imagesOutliveTheProcess_data();
    void imagesOutliveTheProcess();
    void fullStoreAnswers507();
    void entryLineCountsTowardTheLimit_data();
    void entryLineCountsTowardTheLimit();
    void connectionsEndAsAsked_data();
    void connectionsEndAsAsked();
    void manyClientsAtOnce();
    void slowClientsLockNobodyOut();
    void hostHeaderIsIgnored_data();
    void hostHeaderIsIgnored();
    void commandLine_data();
    void commandLine();

private:
    QTemporaryDir m_files;
};

void tst_ServiceProcess::imagesOutliveTheProcess_data()
{
    QTest::addColumn<bool>("killInUpload");

    QTest::newRow("stopped with SIGTERM") << false;
    QTest::newRow("killed with SIGKILL in the middle of an upload") << true;
}

void tst_ServiceProcess::imagesOutliveTheProcess()
{
    QFETCH(bool, killInUpload);
    QTemporaryDir data;
    auto service = std::make_unique<Service>();
    QCOMPARE(service->start(data.path()), QString());

    QByteArrayList images;
    QList<QStringList> links;
    for (int i = 0; i < 3; ++i) {
        images.append(pngBytes(40 + i, 30));
        links.append(
            textsOf(exchange(service->port(), uploaderRequest(m_files, u"kept %1.png"_s.arg(i), images[i])[0])));
        QCOMPARE(links[i].size(), 8);
    }
    RawClient cut(service->port());
    if (killInUpload) {
        const QByteArray request = uploaderRequest(m_files, u"cut.png"_s, QByteArray(2'000'000, 'c'))[0];
        cut.socket.write(request.first(request.size() / 2));
        QTRY_VERIFY_WITH_TIMEOUT(cut.socket.bytesToWrite() == 0, kWaitMs);
    }
    service->stop(killInUpload ? &QProcess::kill : &QProcess::terminate);

    service = std::make_unique<Service>();
    QCOMPARE(service->start(data.path()), QString());
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(fetch(service->port(), links[i][7]), images[i]);
        // The page names the image by its path; the port may differ between runs.
        QVERIFY(fetch(service->port(), links[i][6]).contains('/' + links[i][7].section(u'/', 3).toUtf8()));
    }
    // The cut upload left nothing behind: three images and the lock.
    QCOMPARE(filesBelow(data.path()), 4);
}

void tst_ServiceProcess::fullStoreAnswers507()
{
    QTemporaryDir data;
    const QByteArray image = "GIF89a" + QByteArray(200'000, 'g');
    auto service = std::make_unique<Service>();
    QCOMPARE(service->start(data.path(), { u"--max-bytes"_s, u"300K"_s }), QString());
    const QStringList texts = textsOf(exchange(service->port(), uploaderRequest(m_files, u"first.gif"_s, image)[0]));
    QCOMPARE(texts.size(), 8);

    for (int run = 0; run < 2; ++run) {
        const QByteArray refused = exchange(service->port(), uploaderRequest(m_files, u"second.gif"_s, image)[0]);
        QVERIFY2(refused.startsWith("HTTP/1.1 507 "), refused.left(40).constData());
        QVERIFY(refused.contains("full"));
        QCOMPARE(textsOf(refused), QStringList(8, u"n.a"_s));
        QCOMPARE(fetch(service->port(), texts[7]), image);

        // A second service may not share the folder.
        QProcess second;
        second.start(QStringLiteral(TARNWICK_SERVICE_PATH), { u"--port"_s, u"0"_s, u"--data"_s, data.path() });
        QVERIFY(second.waitForFinished(kWaitMs));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("in use"));

        service = std::make_unique<Service>();
        QCOMPARE(service->start(data.path(), { u"--max-bytes"_s, u"300K"_s }), QString());
    }
}

void tst_ServiceProcess::entryLineCountsTowardTheLimit_data()
{
    QTest::addColumn<qint64>("spare"); // bytes of the limit beyond the image and its entry line
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("fits with its entry line") << qint64(0) << QByteArray("200");
    QTest::newRow("fits only without its entry line") << qint64(-1) << QByteArray("507");
}

// The store's file holds the entry's line before the image: the limit counts both.
void tst_ServiceProcess::entryLineCountsTowardTheLimit()
{
    QFETCH(qint64, spare);
    QFETCH(QByteArray, status);
    QTemporaryDir data;
    const QByteArray image = "GIF89a" + QByteArray(5000, 'g');
    // As the store writes it: the time always has milliseconds and a Z.
    const QByteArray line = "{\"name\":\"fits.gif\",\"size\":" + QByteArray::number(image.size())
        + ",\"time\":\"2025-05-20T14:03:01.250Z\",\"type\":\"image/gif\"}\n";
    Service service;
    QCOMPARE(service.start(data.path(), { u"--max-bytes"_s, QString::number(image.size() + line.size() + spare) }),
             QString());
    const QByteArray answer = exchange(service.port(), uploaderRequest(m_files, u"fits.gif"_s, image)[0]);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + ' '), answer.left(40).constData());
}

void tst_ServiceProcess::connectionsEndAsAsked_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("halfClose");
    QTest::addColumn<bool>("closes"); // the answer says the connection ends with it

    const QByteArray upload = uploaderRequest(m_files, u"c.png"_s, pngBytes(64, 64))[0];
    QByteArray upload11 = upload;
    upload11.replace("HTTP/1.0\r\n", "HTTP/1.1\r\n");

    QTest::newRow("uploader, HTTP/1.0") << upload << false << true;
    QTest::newRow("uploader, half-closed after the request") << upload << true << true;
    QTest::newRow("HTTP/1.1 upload, half-closed") << upload11 << true << false;
    QTest::newRow("HTTP/1.0 page") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false << true;
    QTest::newRow("HTTP/1.1, Connection: close")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n") << false << true;
    QTest::newRow("HTTP/1.1 upload") << upload11 << false << false;
    QTest::newRow("HTTP/1.0 asking for keep-alive")
        << QByteArray("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") << false << true;
}

void tst_ServiceProcess::connectionsEndAsAsked()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, halfClose);
    QFETCH(bool, closes);
    QTemporaryDir data;
    Service service;
    QCOMPARE(service.start(data.path()), QString());

    RawClient client(service.port(), halfClose ? request.chopped(1) : request);
    if (halfClose) {
        QTRY_VERIFY_WITH_TIMEOUT(client.socket.bytesToWrite() == 0, kWaitMs);
        // The last byte and the end of the input at once: the answer cannot have come in between.
        client.socket.write(request.right(1));
        QVERIFY(client.socket.flush());
        QCOMPARE(::shutdown(int(client.socket.socketDescriptor()), SHUT_WR), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPageEnd(), kWaitMs);
    QVERIFY(client.received.startsWith("HTTP/1.1 200 "));
    QVERIFY(client.received.endsWith("</html>"));
    QCOMPARE(client.received.contains("\r\nConnection: close\r\n"), closes);
    if (closes || halfClose) {
        QTRY_VERIFY_WITH_TIMEOUT(client.closed(), kWaitMs);
        return;
    }
    // Kept open: the next request is answered on the same connection.
    const qsizetype answered = client.received.size();
    client.socket.write("GET /nothing HTTP/1.1\r\nHost: a\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.received.sliced(answered).contains("</html>"), kWaitMs);
    QVERIFY(client.received.sliced(answered).startsWith("HTTP/1.1 404 "));
}

// All served, none refused: those the service does not take at once wait.
void tst_ServiceProcess::manyClientsAtOnce()
{
    QTemporaryDir data;
    Service service;
    QCOMPARE(service.start(data.path()), QString());
    const QByteArray request = uploaderRequest(m_files, u"many.png"_s, pngBytes(200, 150))[0];

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 128; ++i)
        clients.push_back(std::make_unique<RawClient>(service.port(), request));
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->closed(); }),
                             4 * kWaitMs);
    QSet<QString> links;
    for (const auto& client : clients) {
        QVERIFY2(client->received.startsWith("HTTP/1.1 200 "), client->received.left(40).constData());
        links.insert(textsOf(client->received).value(7));
    }
    QCOMPARE(links.size(), 128);
}

// Two hundred clients send their requests a line a second: a normal upload is
// served at once all the same, and they are turned away when their time is up,
// however often they send.
void tst_ServiceProcess::slowClientsLockNobodyOut()
{
    QTemporaryDir data;
    Service service;
    QCOMPARE(service.start(data.path()), QString());

    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<RawClient>(
            service.port(),
            i % 2 ? QByteArray("GET / HTTP/1.1\r\n")
                  : QByteArray("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n")));
    }
    QTimer pacer;
    connect(&pacer, &QTimer::timeout, this, [&] {
        for (const auto& client : slow) {
            if (client->received.isEmpty() && !client->closed())
                client->socket.write("X-Slow: 1\r\n");
        }
    });
    pacer.start(1000);
    const auto connected = [](const auto& c) { return c->socket.state() == QAbstractSocket::ConnectedState; };
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(slow.begin(), slow.end(), connected), kWaitMs);

    RawClient normal(service.port(), uploaderRequest(m_files, u"normal.png"_s, pngBytes(300, 200))[0]);
    QTRY_VERIFY_WITH_TIMEOUT(normal.hasPageEnd(), 5000);
    QCOMPARE(textsOf(normal.received).size(), 8);

    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(slow.begin(), slow.end(), [](const auto& c) { return c->closed(); }),
                             2 * kWaitMs);
    for (const auto& client : slow)
        QVERIFY2(client->received.startsWith("HTTP/1.1 408 "), client->received.left(40).constData());
}

void tst_ServiceProcess::hostHeaderIsIgnored_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("base"); // "" for http://localhost and the port

    QTest::newRow("default base") << QStringList() << QString();
    QTest::newRow("--base-url") << QStringList { u"--base-url"_s, u"http://img.example.org/pics/"_s }
                                << u"http://img.example.org/pics"_s;
}

void tst_ServiceProcess::hostHeaderIsIgnored()
{
    QFETCH(QStringList, options);
    QFETCH(QString, base);
    QTemporaryDir data;
    Service service;
    QCOMPARE(service.start(data.path(), options), QString());
    if (base.isEmpty())
        base = u"http://localhost:"_s + QString::number(service.port());

    QByteArray request = uploaderRequest(m_files, u"host.png"_s, pngBytes(30, 30))[0];
    request.replace(QRegularExpression(u"\r\nHost: [^\r]*"_s).match(QString::fromLatin1(request)).captured().toLatin1(),
                    "\r\nHost: evil.example");
    QVERIFY(request.contains("\r\nHost: evil.example\r\n"));
    const QByteArray answer = exchange(service.port(), request);
    QVERIFY(!answer.contains("evil"));
    const QStringList texts = textsOf(answer);
    QCOMPARE(texts.size(), 8);
    for (const QString& text : texts)
        QVERIFY2(text.contains(base + u'/'), qPrintable(text));
}

void tst_ServiceProcess::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("said"); // on standard output when 0, else on standard error

    QTest::newRow("help") << QStringList { u"--help"_s } << 0 << QByteArray("--max-bytes <n>");
    QTest::newRow("version") << QStringList { u"--version"_s } << 0 << QByteArray("tarnwick-service 1.");
    QTest::newRow("port too large") << QStringList { u"--port"_s, u"70000"_s } << 2 << QByteArray("--port");
    QTest::newRow("port no number") << QStringList { u"--port=eighty"_s } << 2 << QByteArray("--port");
    QTest::newRow("bind to a name") << QStringList { u"--bind"_s, u"example.org"_s } << 2 << QByteArray("--bind");
    QTest::newRow("no bytes") << QStringList { u"--max-bytes"_s, u"0"_s } << 2 << QByteArray("--max-bytes");
    QTest::newRow("unknown unit") << QStringList { u"--max-bytes"_s, u"5Q"_s } << 2 << QByteArray("--max-bytes");
    QTest::newRow("no connections") << QStringList { u"--max-connections"_s, u"0"_s } << 2
                                    << QByteArray("--max-connections");
    QTest::newRow("body memory below one body")
        << QStringList { u"--max-body-memory"_s, u"1M"_s } << 2 << QByteArray("--max-body-memory");
    QTest::newRow("proxy by name") << QStringList { u"--trusted-proxy"_s, u"proxy.example.org"_s } << 2
                                   << QByteArray("--trusted-proxy");
    QTest::newRow("proxy network too wide")
        << QStringList { u"--trusted-proxy"_s, u"10.0.0.0/33"_s } << 2 << QByteArray("--trusted-proxy");
    QTest::newRow("base with a query") << QStringList { u"--base-url"_s, u"http://a/?x"_s } << 2
                                       << QByteArray("--base-url");
    QTest::newRow("unknown option") << QStringList { u"--colour"_s } << 2 << QByteArray("colour");
    QTest::newRow("connections per address no number")
        << QStringList { u"--max-per-address"_s, u"-1"_s } << 2 << QByteArray("--max-per-address");
    QTest::newRow("bare port") << QStringList { u"8080"_s } << 2 << QByteArray("8080");
    QTest::newRow("folder that cannot be made")
        << QStringList { u"--data"_s, u"/proc/tarnwick"_s } << 1 << QByteArray("/proc/tarnwick");
}

void tst_ServiceProcess::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, said);
    QTemporaryDir data;
    QProcess process;
    process.start(QStringLiteral(TARNWICK_SERVICE_PATH),
                  QStringList { u"--port"_s, u"0"_s, u"--data"_s, data.path() } + arguments);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QByteArray output = exitCode == 0 ? process.readAllStandardOutput() : process.readAllStandardError();
    QVERIFY2(output.contains(said), output.constData());
}

QTEST_GUILESS_MAIN(tst_ServiceProcess)
#include "tst_ServiceProcess.moc"
