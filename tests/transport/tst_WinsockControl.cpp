// What only the socket component itself shows: a large request read as it is
// sent, the peer's close and reset, and a Close that is silent in every state. The window-level
// tests drive the component through everything else.

#include "FixtureServer.h"
#include "StreamTestSupport.h"
#include "WinsockControl.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <utility>

class tst_WinsockControl : public QObject
{
    Q_OBJECT

private slots:
    void sendsAStreamAsItIsRead_data();
    void sendsAStreamAsItIsRead();
    void localhostIsEitherLoopback_data();
    void localhostIsEitherLoopback();
    void peerEndsConnection_data();
    void peerEndsConnection();
    void closeIsSilentInEveryState_data();
    void closeIsSilentInEveryState();
};

void tst_WinsockControl::sendsAStreamAsItIsRead_data()
{
    QTest::addColumn<qint64>("shrinkTo");
    QTest::addColumn<int>("error");
    QTest::newRow("the whole file") << qint64(-1) << 0;
    QTest::newRow("a file cut short meanwhile") << qint64(10) << int(modTarnwick::kImageChanged);
}

void tst_WinsockControl::sendsAStreamAsItIsRead()
{
    QFETCH(qint64, shrinkTo);
    QFETCH(int, error);

    FixtureServer server;
    QVERIFY(server.Listen());
    QTemporaryDir dir;
    // Many pieces of the stream, and every byte value.
    const std::string image = EveryByteValue(3 * 1024 * 1024 + 17);
    std::unique_ptr<modTarnwick::RequestStream> stream =
        StreamOfFile(dir.filePath(QStringLiteral("a.png")), image, 1, shrinkTo);
    QVERIFY(stream);
    const qint64 size = qint64(stream->Size());

    WinsockControl socket;
    QSignalSpy connected(&socket, &WinsockControl::Connected);
    QSignalSpy errors(&socket, &WinsockControl::Error);
    QSignalSpy progress(&socket, &WinsockControl::SendProgress);
    socket.Connect(QStringLiteral("127.0.0.1"), server.Port());
    QTRY_COMPARE(connected.size(), 1);
    socket.SendData(std::move(stream));

    if (error != 0) {
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.first().at(0).toInt(), error);
        QCOMPARE(errors.first().at(1).toString(), QStringLiteral("The image file changed while it was being sent"));
        QVERIFY(!socket.IsConnected());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.Received().size(), size, 20000);
    const QByteArray received = server.Received();
    QVERIFY(received.startsWith("POST /? HTTP/1.0\r\n"));
    // The image whole and in place: the part's end follows it.
    const qsizetype at = received.indexOf(QByteArray::fromStdString(image));
    QVERIFY(at > 0);
    QCOMPARE(received.size() - (at + qsizetype(image.size())), qsizetype(2 + 2 + 32 + 2));
    QTRY_VERIFY(!progress.isEmpty() && progress.last().at(0).toLongLong() == size);
    QCOMPARE(progress.last().at(1).toLongLong(), size);
    QCOMPARE(errors.size(), 0);
}

void tst_WinsockControl::localhostIsEitherLoopback_data()
{
    LocalhostRows();
}

void tst_WinsockControl::localhostIsEitherLoopback()
{
    QFETCH(QString, host);
    QFETCH(QString, listenOn);
    if (!NamesAddress(host, listenOn))
        QSKIP("this machine's name does not stand for its loopback address");

    QTcpServer server;
    if (!server.listen(QHostAddress(listenOn)))
        QSKIP("this machine has no such loopback address");
    WinsockControl socket;
    QSignalSpy connected(&socket, &WinsockControl::Connected);
    QSignalSpy errors(&socket, &WinsockControl::Error);
    socket.Connect(host, server.serverPort());
    QTRY_COMPARE(connected.size(), 1);
    QTRY_VERIFY(server.hasPendingConnections());
    QCOMPARE(errors.size(), 0);

    // Nothing listening on either: refused, once.
    const quint16 port = server.serverPort();
    server.close();
    socket.Close();
    socket.Connect(host, port);
    QTRY_COMPARE(errors.size(), 1);
    DrainPostedEvents(&socket);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toInt(), int(ECONNREFUSED));
}

void tst_WinsockControl::peerEndsConnection_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void tst_WinsockControl::peerEndsConnection()
{
    QFETCH(bool, reset);

    FixtureServer server;
    QVERIFY(server.Listen());
    WinsockControl socket;
    QSignalSpy connected(&socket, &WinsockControl::Connected);
    QSignalSpy errors(&socket, &WinsockControl::Error);
    std::string collected;
    connect(&socket, &WinsockControl::DataArrival, &socket, [&] { collected += socket.GetData(); });

    socket.Connect(QStringLiteral("127.0.0.1"), server.Port());
    QTRY_COMPARE(connected.size(), 1);
    QTRY_VERIFY(server.LastSocket());

    server.LastSocket()->write("HTTP/1.0 200 OK\r\n\r\n<html>half");
    QTRY_COMPARE(collected, std::string("HTTP/1.0 200 OK\r\n\r\n<html>half"));
    if (reset)
        FixtureServer::Reset(server.LastSocket());
    else
        server.LastSocket()->disconnectFromHost();

    QTRY_COMPARE(errors.size(), 1);
    DrainPostedEvents(&socket);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toInt(), int(ECONNRESET));
    QVERIFY(!errors.first().at(1).toString().isEmpty());
    QVERIFY(!socket.IsConnected());
}

void tst_WinsockControl::closeIsSilentInEveryState_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("never opened") << QStringLiteral("never opened");
    QTest::newRow("connecting") << QStringLiteral("connecting");
    QTest::newRow("connected, data waiting") << QStringLiteral("connected");
    QTest::newRow("closed by the peer, error not yet delivered") << QStringLiteral("peer closed");
    QTest::newRow("refused, error not yet delivered") << QStringLiteral("refused");
}

void tst_WinsockControl::closeIsSilentInEveryState()
{
    QFETCH(QString, state);

    FixtureServer server;
    QVERIFY(server.Listen());
    UnansweredPort blackHole;
    QVERIFY(blackHole.IsReady());

    WinsockControl socket;
    QSignalSpy connected(&socket, &WinsockControl::Connected);
    QSignalSpy errors(&socket, &WinsockControl::Error);
    QSignalSpy arrivals(&socket, &WinsockControl::DataArrival);

    // The pending cases close from inside the socket's own notification,
    // after the component has posted its event and before that is delivered.
    QTcpSocket* inner = socket.findChild<QTcpSocket*>();
    QVERIFY(inner);
    bool closedInside = false;
    const auto closeNow = [&] {
        if (!std::exchange(closedInside, true))
            socket.Close();
    };

    if (state == QLatin1String("connecting")) {
        socket.Connect(QStringLiteral("127.0.0.1"), blackHole.Port());
    } else if (state == QLatin1String("refused")) {
        connect(inner, &QAbstractSocket::errorOccurred, &socket, closeNow);
        socket.Connect(QStringLiteral("127.0.0.1"), RefusingPort());
        QTRY_VERIFY(closedInside);
    } else if (state != QLatin1String("never opened")) {
        socket.Connect(QStringLiteral("127.0.0.1"), server.Port());
        QTRY_COMPARE(connected.size(), 1);
        QTRY_VERIFY(server.LastSocket());
        if (state == QLatin1String("peer closed")) {
            connect(inner, &QAbstractSocket::errorOccurred, &socket, closeNow);
            FixtureServer::SendAndClose(server.LastSocket(), "late text");
        } else {
            connect(inner, &QIODevice::readyRead, &socket, closeNow);
            server.LastSocket()->write("late text");
        }
        QTRY_VERIFY(closedInside);
    }
    const qsizetype arrivalsBefore = arrivals.size();

    socket.Close();
    socket.Close();
    DrainPostedEvents(&socket);

    QCOMPARE(errors.size(), 0);
    QCOMPARE(arrivals.size(), arrivalsBefore);
    QCOMPARE(socket.GetData(), std::string());
    QVERIFY(!socket.IsConnected());

    // Closed is closed: a new connection can be made at once.
    socket.Connect(QStringLiteral("127.0.0.1"), server.Port());
    QTRY_VERIFY(socket.IsConnected());
}

QTEST_GUILESS_MAIN(tst_WinsockControl)
#include "tst_WinsockControl.moc"
