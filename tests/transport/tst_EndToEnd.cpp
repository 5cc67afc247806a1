// The real window, its real components and the real local service: a PNG goes
// up over each transport, eight links come back, and the direct link serves
// the very bytes that were sent.

#include "FixtureServer.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <memory>

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void upload_data();
    void upload();
    void refusalGivesTheServicesReason_data();
    void refusalGivesTheServicesReason();

private:
    QProcess m_service;
    quint16 m_port = 0;
};

void tst_EndToEnd::initTestCase()
{
    UseApplicationTitle();
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.start(QStringLiteral(TARNWICK_SERVICE_PATH),
                    { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), [] {
                         static QTemporaryDir data;
                         return data.path();
                     }() });
    QVERIFY2(m_service.waitForStarted(10000), qPrintable(m_service.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(m_service.canReadLine() || m_service.state() != QProcess::Running, 10000);

    const QString line = QString::fromUtf8(m_service.readLine()).trimmed();
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^tarnwick-service listening on http://127\\.0\\.0\\.1:(\\d+)/$"))
            .match(line);
    QVERIFY2(match.hasMatch(), qPrintable(line));
    m_port = quint16(match.captured(1).toUInt());
}

void tst_EndToEnd::cleanupTestCase()
{
    if (m_service.state() == QProcess::NotRunning)
        return;
    m_service.terminate();
    if (!m_service.waitForFinished(5000))
        m_service.kill();
}

void tst_EndToEnd::upload_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("randomName");
    QTest::newRow("socket") << QStringLiteral("cmdWinsock") << false;
    QTest::newRow("http client") << QStringLiteral("cmdInet") << false;
    QTest::newRow("socket, random name") << QStringLiteral("cmdWinsock") << true;
}

void tst_EndToEnd::upload()
{
    QFETCH(QString, button);
    QFETCH(bool, randomName);

    MessageRecorder messages;
    // Noise does not compress: about 1.5 MB of real PNG.
    const QByteArray png = MakePng(620, 620);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QVERIFY(png.size() < 3145728);
    TemporaryImage image(png, QStringLiteral("holiday.png"));

    frmMain window(LoopbackEndpoint(m_port));
    window.show();
    ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->setText(image.Path());
    ControlOf<QCheckBox>(window, QStringLiteral("chkRandomName"))->setChecked(randomName);

    QTest::mouseClick(ControlOf<QPushButton>(window, button), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), QStringLiteral("Tarnwick Uploader"), 20000);
    QCOMPARE(messages.shown.size(), 0);

    // The socket's request names the compiled-in host, the HTTP client's the
    // address it connects to; either way each link points back at this service.
    const QRegularExpression service(QStringLiteral("http://(127\\.0\\.0\\.1|localhost):%1/").arg(m_port));
    for (int i = 0; i < 8; ++i) {
        const QString link = ResultRow(window, i)->text();
        QVERIFY2(ResultRow(window, i)->isEnabled(), qPrintable(link));
        QVERIFY2(service.match(link).hasMatch(), qPrintable(QStringLiteral("row %1: %2").arg(i).arg(link)));
    }
    const QString direct = ResultRow(window, 7)->text();

    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(direct))));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), png);
}

void tst_EndToEnd::refusalGivesTheServicesReason_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("socket") << QStringLiteral("cmdWinsock");
    QTest::newRow("http client") << QStringLiteral("cmdInet");
}

// The service's page names the reason; the window's message carries it.
void tst_EndToEnd::refusalGivesTheServicesReason()
{
    QFETCH(QString, button);
    MessageRecorder messages;
    TemporaryImage image(QByteArray(), QStringLiteral("empty.png"));
    frmMain window(LoopbackEndpoint(m_port));
    window.show();
    ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->setText(image.Path());

    QTest::mouseClick(ControlOf<QPushButton>(window, button), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(messages.shown.size(), 1, 20000);
    QCOMPARE(messages.shown.front().text,
             QStringLiteral("400 - The service answered 400 Bad Request: The file you sent is empty"));
    QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), QStringLiteral("Tarnwick Uploader"), 20000);
    QVERIFY(!ResultRow(window, 0)->isEnabled());
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_EndToEnd.moc"
