// The window opened with a file named on the command line, as a file
// manager's "Open with" starts it: the checks of Browse, then an upload of
// that very file.

#include "FixtureServer.h"
#include "OpenWithFile.h"
#include "WindowTestSupport.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

class tst_OpenWithFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void choose_data();
    void choose();
    void upload_data();
    void upload();

private:
    QTemporaryDir m_dir;
};

void tst_OpenWithFile::initTestCase()
{
    UseApplicationTitle();
    QVERIFY(m_dir.isValid());
    QVERIFY(MakeFile(m_dir.filePath(QStringLiteral("limit.png")), 3145727));
    QVERIFY(MakeFile(m_dir.filePath(QStringLiteral("over.png")), 3145728));
}

void tst_OpenWithFile::choose_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("relative");
    QTest::addColumn<bool>("chosen");
    QTest::addColumn<bool>("refused");

    QTest::newRow("3145727 bytes chosen") << "limit.png" << false << true << false;
    QTest::newRow("relative name, shown whole") << "limit.png" << true << true << false;
    QTest::newRow("3145728 bytes refused") << "over.png" << false << false << true;
    QTest::newRow("missing file, nothing chosen") << "missing.png" << false << false << false;
}

void tst_OpenWithFile::choose()
{
    QFETCH(QString, file);
    QFETCH(bool, relative);
    QFETCH(bool, chosen);
    QFETCH(bool, refused);

    MessageRecorder messages;
    frmMain window;
    window.show();
    const QString path = m_dir.filePath(file);
    const QString current = QDir::currentPath();
    if (relative)
        QVERIFY(QDir::setCurrent(m_dir.path()));
    ChooseFileIn(window, relative ? file : path);
    // The choice waits for the window's event loop.
    QCOMPARE(ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->text(), QString());
    QCoreApplication::processEvents();
    QVERIFY(QDir::setCurrent(current));

    QCOMPARE(ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->text(), chosen ? path : QString());
    QCOMPARE(messages.shown.size(), refused ? 1 : 0);
    // Browse's very refusal: its text, its title, the warning style.
    const Toolkit::ShownMessage box = messages.shown.value(0);
    if (refused)
        QCOMPARE((QStringList { box.text, box.title, QString::number(box.style) }),
                 (QStringList { "This image is too big. Maximum file size is 3mb. ", "Image too big", "48" }));
}

void tst_OpenWithFile::upload_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("socket") << QStringLiteral("cmdWinsock");
    QTest::newRow("http client") << QStringLiteral("cmdInet");
}

void tst_OpenWithFile::upload()
{
    QFETCH(QString, button);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    });
    const QByteArray png = MakePng(40, 40);
    const TemporaryImage image(png, QStringLiteral("opened.png"));
    auto window = OpenWindowAt(server.Port(), 5s);
    ChooseFileIn(*window, image.Path());
    QTRY_COMPARE(ControlOf<QLineEdit>(*window, QStringLiteral("txtImagePath"))->text(), image.Path());

    QTest::mouseClick(ControlOf<QPushButton>(*window, button), Qt::LeftButton);
    QTRY_COMPARE(ResultRow(*window, 7)->text(), FixtureServer::ExpectedLinks().constLast());
    QCOMPARE(messages.shown.size(), 0);
    const QByteArray request = server.Received(0);
    QVERIFY(request.contains("filename=\"opened.png\"\r\n"));
    QVERIFY(FixtureServer::BodyOf(request).contains(png));
}

QTEST_MAIN(tst_OpenWithFile)
#include "tst_OpenWithFile.moc"
