// The upload progress strip: where it sits, and what it shows in each state
// of an upload over either transport, against a scripted loopback peer.

#include "FixtureServer.h"
#include "InetControl.h"
#include "WindowTestSupport.h"
#include "WinsockControl.h"

#include <QCheckBox>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

enum class Transport { Socket, Inet };
Q_DECLARE_METATYPE(Transport)

namespace {

enum class Strip { Hidden, Determinate, Busy };

QProgressBar* StripOf(const frmMain& window)
{
    return ControlOf<QProgressBar>(window, QStringLiteral("prgUpload"));
}

Strip StateOf(const frmMain& window)
{
    const QProgressBar* strip = StripOf(window);
    if (strip->isHidden())
        return Strip::Hidden;
    return strip->minimum() == 0 && strip->maximum() == 0 ? Strip::Busy : Strip::Determinate;
}

void Upload(frmMain& window, Transport transport, const QString& imagePath)
{
    ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->setText(imagePath);
    auto* button = ControlOf<QPushButton>(
        window, transport == Transport::Socket ? QStringLiteral("cmdWinsock") : QStringLiteral("cmdInet"));
    QVERIFY(button && button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
}

QByteArray Answer(Transport transport, const QByteArray& page)
{
    return transport == Transport::Socket ? kSocketHead + page : FixtureServer::HttpAnswer(200, page);
}

bool Idle(const frmMain& window)
{
    return window.windowTitle() == QLatin1String("Tarnwick Uploader")
        && ControlOf(window, QStringLiteral("cmdInet"))->isEnabled();
}

} // namespace

class tst_UploadProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { UseApplicationTitle(); }
    void placement();
    void whileSending_data();
    void whileSending();
    void endings_data();
    void endings();
};

// A strip that sits in the gap: inside the window, clear of every control.
void tst_UploadProgress::placement()
{
    auto window = OpenWindowAt(RefusingPort(), 10s);
    const QProgressBar* strip = StripOf(*window);
    QVERIFY(strip);
    QCOMPARE(strip->parentWidget(), window.get());
    QVERIFY(!strip->isTextVisible());
    QCOMPARE(StateOf(*window), Strip::Hidden);

    const QRect area = strip->geometry();
    QVERIFY2(area.height() >= 3, "too thin to see");
    QVERIFY(window->rect().contains(area));
    const QRect frame = ControlOf(*window, QStringLiteral("Frame2"))->geometry();
    QCOMPARE(area.left(), frame.left());
    QCOMPARE(area.width(), frame.width());

    for (const QWidget* control : window->findChildren<QWidget*>()) {
        if (control == strip || control->isWindow())
            continue;
        const QRect placed(control->mapTo(window.get(), QPoint(0, 0)), control->size());
        QVERIFY2(!placed.intersects(area), qPrintable(control->objectName()));
    }
}

void tst_UploadProgress::whileSending_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::newRow("socket") << Transport::Socket;
    QTest::newRow("http client") << Transport::Inet;
}

// A peer that stops reading stalls a large request half way: the strip shows
// the part sent, grows when the peer reads on, turns busy while the answer is
// held back, and goes once the links are shown.
void tst_UploadProgress::whileSending()
{
    QFETCH(Transport, transport);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    server.HoldReading(true);
    // Larger than the window lets a user choose, and than any system's socket
    // buffers: a held peer surely stalls it before the end.
    TemporaryImage image(QByteArray(16 * 1024 * 1024, 'x'));
    auto window = OpenWindowAt(server.Port(), 10s);
    QProgressBar* strip = StripOf(*window);
    QSignalSpy values(strip, &QProgressBar::valueChanged);

    Upload(*window, transport, image.Path());
    QCOMPARE(StateOf(*window), Strip::Determinate);
    QTRY_VERIFY(strip->value() > 0);
    QCOMPARE(StateOf(*window), Strip::Determinate);
    QVERIFY2(strip->value() < strip->maximum(), "the held peer should have stalled the request");
    const int total = strip->maximum();

    server.HoldReading(false);
    QTRY_COMPARE(server.CompleteRequests(), 1);
    QTRY_COMPARE(StateOf(*window), Strip::Busy);
    const QByteArray received = server.Received();
    QCOMPARE(total, transport == Transport::Socket ? received.size() : FixtureServer::BodyOf(received).size());

    // Every value shown grew on the one before.
    QVERIFY(!values.isEmpty());
    for (qsizetype i = 1; i < values.size(); ++i)
        QVERIFY(values[i].at(0).toInt() > values[i - 1].at(0).toInt());
    QVERIFY(values.last().at(0).toInt() <= total);

    FixtureServer::SendAndClose(server.LastSocket(), Answer(transport, FixtureServer::ResultPage()));
    QTRY_VERIFY(Idle(*window));
    QCOMPARE(StateOf(*window), Strip::Hidden);
    QCOMPARE(ResultRow(*window, 7)->text(), FixtureServer::ExpectedLinks().last());
    QCOMPARE(messages.shown.size(), 0);
}

void tst_UploadProgress::endings_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("ending");

    for (const auto& [transport, name] :
         { std::pair { Transport::Socket, "socket" }, std::pair { Transport::Inet, "http client" } }) {
        for (const char* ending :
             { "links", "unparsable page", "refused", "closed before the tag", "silence", "failed build" })
            QTest::newRow(qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(name), QLatin1String(ending))))
                << transport << QString::fromLatin1(ending);
    }
}

// However an upload ends, the window is left without the strip.
void tst_UploadProgress::endings()
{
    QFETCH(Transport, transport);
    QFETCH(QString, ending);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    const bool refused = ending == QLatin1String("refused");
    const bool failedBuild = ending == QLatin1String("failed build");
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(refused ? RefusingPort() : server.Port(), 400ms);
    QCOMPARE(StateOf(*window), Strip::Hidden);
    auto* winsock = window->findChild<WinsockControl*>(QStringLiteral("Winsock"));
    QSignalSpy arrivals(winsock, &WinsockControl::DataArrival);

    Upload(*window, transport, failedBuild ? image.Path() + QStringLiteral(".missing") : image.Path());
    if (!refused && !failedBuild) {
        QTRY_COMPARE(server.CompleteRequests(), 1);
        QTRY_COMPARE(StateOf(*window), Strip::Busy);
        QTcpSocket* peer = server.LastSocket();
        if (ending == QLatin1String("links")) {
            FixtureServer::SendAndClose(peer, Answer(transport, FixtureServer::ResultPage()));
        } else if (ending == QLatin1String("unparsable page")) {
            FixtureServer::SendAndClose(peer,
                                        Answer(transport, "<html><body>Please use clickable thumbnail</body></html>"));
        } else if (ending == QLatin1String("closed before the tag")) {
            const QByteArray head =
                transport == Transport::Socket ? kSocketHead : "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n";
            peer->write(head + "<html><body>Please use");
            QVERIFY(WaitForAnswerHead(transport == Transport::Socket, arrivals));
            QCOMPARE(StateOf(*window), Strip::Busy);
            peer->disconnectFromHost();
        }
        // "silence": nothing, until the shortened limit runs out.
    }

    QTRY_VERIFY_WITH_TIMEOUT(Idle(*window), 10000);
    QCOMPARE(StateOf(*window), Strip::Hidden);
    QCOMPARE(messages.shown.size(), ending == QLatin1String("links") ? 0 : 1);
}

QTEST_MAIN(tst_UploadProgress)
#include "tst_UploadProgress.moc"
