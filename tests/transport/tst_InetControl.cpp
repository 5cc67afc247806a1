// What only the HTTP client component itself shows: the pieces GetChunk hands
// out for each kind of answer, the failures that come after the head of an
// answer, and a Cancel that reports nothing. The window-level tests drive the
// component through everything else.

#include "FixtureServer.h"
#include "InetControl.h"
#include "StreamTestSupport.h"
#include "UploadTestSupport.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

// Starts a request whose image is these bytes, read from a file as it is sent.
void Execute(InetControl& inet, const QString& url, const std::string& image = "x")
{
    static QTemporaryDir dir;
    static int files = 0;
    std::unique_ptr<modTarnwick::RequestStream> request =
        StreamOfFile(dir.filePath(QStringLiteral("%1.png").arg(++files)), image, modTarnwick::kHttpTransportMode);
    QVERIFY(request);
    const std::string headers = request->HeaderBlock();
    inet.Execute(url, QStringLiteral("POST"), std::move(request), headers);
}

} // namespace

class tst_InetControl : public QObject
{
    Q_OBJECT

private slots:
    void completeAnswers_data();
    void completeAnswers();
    void failures_data();
    void failures();
    void sendsAStreamAsItIsRead_data();
    void sendsAStreamAsItIsRead();
    void cancelIsSilent();
    void endingMidRequestLetsGo_data();
    void endingMidRequestLetsGo();
    void localhostIsEitherLoopback_data();
    void localhostIsEitherLoopback();
};

void tst_InetControl::completeAnswers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<bool>("withLength");

    QByteArray longPage;
    for (int i = 0; i < 300; ++i)
        longPage += "<p>line " + QByteArray::number(i) + "</p>\n";
    QTest::newRow("page in several pieces") << 200 << longPage << true;
    QTest::newRow("page ended by the close") << 200 << longPage << false;
    QTest::newRow("empty page") << 200 << QByteArray() << true;
    QTest::newRow("exactly one piece") << 200 << QByteArray(1024, 'p') << true;
    QTest::newRow("404 with a page") << 404 << QByteArray("<html>missing</html>") << true;
    QTest::newRow("500 with a page") << 500 << QByteArray("<html>broken</html>") << false;
    // The local service answers a bad upload with 400 and a page.
    QTest::newRow("400 with a page") << 400 << QByteArray("<html>refused</html>") << true;
    QTest::newRow("418 with a page") << 418 << QByteArray("<html>teapot</html>") << true;
}

void tst_InetControl::completeAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, page);
    QFETCH(bool, withLength);

    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([&](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(status, page, withLength));
    });

    InetControl inet;
    QSignalSpy states(&inet, &InetControl::StateChanged);
    Execute(inet, server.Url());
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(states.first().at(0).toInt(), InetControl::icResponseCompleted);
    // The head as the server sent it: its own status line first.
    QVERIFY2(inet.GetHeader().starts_with("HTTP/1.0 " + std::to_string(status) + ' '), inet.GetHeader().c_str());
    QVERIFY(inet.GetHeader().ends_with("\r\n\r\n"));

    QByteArray joined;
    for (;;) {
        const std::string piece = inet.GetChunk(1024, 0);
        QVERIFY(piece.size() <= 1024);
        if (piece.empty())
            break;
        joined += QByteArray::fromStdString(piece);
    }
    QCOMPARE(joined, page);
    QCOMPARE(inet.GetChunk(1024, 0), std::string());
}

void tst_InetControl::failures_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("describes");

    QTest::newRow("reset before any answer") << QStringLiteral("reset") << int(ECONNRESET) << QString();
    QTest::newRow("closed inside the body") << QStringLiteral("truncated") << int(ECONNRESET) << QString();
    QTest::newRow("announced body over the limit")
        << QStringLiteral("announced") << int(EMSGSIZE) << QStringLiteral("1 KiB");
}

void tst_InetControl::failures()
{
    QFETCH(QString, peer);
    QFETCH(int, code);
    QFETCH(QString, describes);

    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([&](QTcpSocket* socket, const QByteArray&) {
        if (peer == QLatin1String("reset"))
            FixtureServer::Reset(socket);
        else if (peer == QLatin1String("truncated"))
            FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, QByteArray(500, 'a')).chopped(100));
        else if (peer == QLatin1String("announced"))
            // Only the head and a little of the body, connection left open:
            // the announced length alone must end it.
            socket->write(FixtureServer::HttpAnswer(200, QByteArray(2000, 'a')).chopped(1500));
    });

    InetControl inet;
    inet.RequestTimeout = 5;
    inet.MaxResponseBytes = 1024;
    QSignalSpy states(&inet, &InetControl::StateChanged);
    Execute(inet, server.Url());

    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 5000);
    DrainPostedEvents(&inet);
    QCOMPARE(states.size(), 1);
    QCOMPARE(states.first().at(0).toInt(), InetControl::icError);
    QCOMPARE(inet.ResponseCode(), code);
    QVERIFY(!inet.ResponseInfo().isEmpty());
    // Never sent a second time: the service may have stored the first.
    QCOMPARE(server.Received(1), QByteArray());
    QVERIFY2(inet.ResponseInfo().contains(describes), qPrintable(inet.ResponseInfo()));
    QCOMPARE(inet.GetChunk(1024, 0), std::string());
}

void tst_InetControl::sendsAStreamAsItIsRead_data()
{
    QTest::addColumn<qint64>("shrinkTo");
    QTest::newRow("the whole file") << qint64(-1);
    QTest::newRow("a file cut short meanwhile") << qint64(10);
    QTest::newRow("a file grown meanwhile") << qint64(2 * 1024 * 1024);
}

void tst_InetControl::sendsAStreamAsItIsRead()
{
    QFETCH(qint64, shrinkTo);

    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, "<html>ok</html>"));
    });
    QTemporaryDir dir;
    const std::string image = EveryByteValue(1024 * 1024 + 5);
    std::unique_ptr<modTarnwick::RequestStream> stream =
        StreamOfFile(dir.filePath(QStringLiteral("a.png")), image, 0, shrinkTo);
    QVERIFY(stream);
    const std::string headers = stream->HeaderBlock();
    const qint64 size = qint64(stream->Size());

    InetControl inet;
    QSignalSpy states(&inet, &InetControl::StateChanged);
    inet.Execute(server.Url(), QStringLiteral("POST"), std::move(stream), headers);
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 10000);

    if (shrinkTo >= 0) {
        QCOMPARE(states.first().at(0).toInt(), InetControl::icError);
        QCOMPARE(inet.ResponseCode(), int(modTarnwick::kImageChanged));
        QCOMPARE(inet.ResponseInfo(), QStringLiteral("The image file changed while it was being sent"));
        // The request was never complete: the service cannot have stored it.
        QVERIFY(!server.Received().endsWith("--"));
        return;
    }
    QCOMPARE(states.first().at(0).toInt(), InetControl::icResponseCompleted);
    const QByteArray received = server.Received();
    QVERIFY(received.contains("\r\nContent-Length: " + QByteArray::number(size) + "\r\n"));
    QVERIFY(received.endsWith("\r\n\r\n" + QByteArray::fromStdString(image) + "\r\n--" + received.right(34)));
}

void tst_InetControl::cancelIsSilent()
{
    FixtureServer server;
    QVERIFY(server.Listen());
    InetControl inet;
    inet.RequestTimeout = 0.2;
    QSignalSpy states(&inet, &InetControl::StateChanged);
    Execute(inet, server.Url());
    QTRY_COMPARE(server.CompleteRequests(), 1);
    inet.Cancel();

    // Longer than the time-out that Cancel must have disarmed.
    bool waited = false;
    QTimer::singleShot(400, &inet, [&waited] { waited = true; });
    QTRY_VERIFY(waited);
    QCOMPARE(states.size(), 0);

    // And the component is free for the next request.
    server.SetAnswer([](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, "again"));
    });
    Execute(inet, server.Url());
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(states.first().at(0).toInt(), InetControl::icResponseCompleted);
    QCOMPARE(inet.GetChunk(1024), std::string("again"));
}

// The request runs on a thread of the component's own: Cancel, or the
// component going with its window, stops it wherever it is (its request
// stuck in full buffers, or waiting for an answer that never comes, with no
// time limit to end it), closes the connection and reports nothing.
void tst_InetControl::endingMidRequestLetsGo_data()
{
    QTest::addColumn<bool>("holdReading");
    QTest::addColumn<bool>("destroy");
    QTest::newRow("cancelled while sending") << true << false;
    QTest::newRow("destroyed while sending") << true << true;
    QTest::newRow("cancelled while awaiting the answer") << false << false;
    QTest::newRow("destroyed while awaiting the answer") << false << true;
}

void tst_InetControl::endingMidRequestLetsGo()
{
    QFETCH(bool, holdReading);
    QFETCH(bool, destroy);

    FixtureServer server; // never answers
    QVERIFY(server.Listen());
    server.HoldReading(holdReading);
    auto inet = std::make_unique<InetControl>();
    inet->RequestTimeout = 0;
    QSignalSpy states(inet.get(), &InetControl::StateChanged);
    QSignalSpy progress(inet.get(), &InetControl::UploadProgress);
    const int threads = ThreadCount();
    Execute(*inet, server.Url(), std::string(holdReading ? 8 * 1024 * 1024 : 16, 'x'));
    // Held, the service takes a few KiB at most: the rest waits in full buffers.
    if (holdReading)
        QTRY_COMPARE(server.Connections(), 1);
    else
        QTRY_COMPARE(server.CompleteRequests(), 1);
    QTRY_VERIFY(server.LastSocket());

    if (destroy)
        inet.reset();
    else
        inet->Cancel();
    // At once, from the call itself: no thread is left to end it.
    QCOMPARE(ThreadCount(), threads);
    server.HoldReading(false); // the service then reads to the close
    QTRY_VERIFY(!server.LastSocket());
    QCOMPARE(states.size(), 0);
    if (!destroy) {
        const qsizetype reports = progress.size();
        QCoreApplication::processEvents();
        QCOMPARE(progress.size(), reports);
    }
}

void tst_InetControl::localhostIsEitherLoopback_data()
{
    LocalhostRows();
}

// As the socket does: no resolver for "localhost", and either loopback answers.
void tst_InetControl::localhostIsEitherLoopback()
{
    QFETCH(QString, host);
    QFETCH(QString, listenOn);
    if (!NamesAddress(host, listenOn))
        QSKIP("this machine's name does not stand for its loopback address");

    QTcpServer server;
    if (!server.listen(QHostAddress(listenOn)))
        QSKIP("this machine has no such loopback address");
    connect(&server, &QTcpServer::newConnection, &server, [&server] {
        QTcpSocket* peer = server.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [peer] {
            peer->readAll();
            FixtureServer::SendAndClose(peer, FixtureServer::HttpAnswer(200, "<html>ok</html>"));
        });
    });

    InetControl inet;
    QSignalSpy states(&inet, &InetControl::StateChanged);
    Execute(inet, QStringLiteral("http://%1:%2/").arg(host).arg(server.serverPort()));
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(states.first().at(0).toInt(), InetControl::icResponseCompleted);
}

QTEST_GUILESS_MAIN(tst_InetControl)
#include "tst_InetControl.moc"
