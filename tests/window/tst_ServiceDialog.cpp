// The service address dialog, driven from the keyboard as a user without a
// mouse would: Ctrl+L opens it, an address that cannot be used is refused
// in it, Enter saves a good one to the configuration file (the user's other
// lines kept) and the next upload goes there; Escape changes nothing.

#include "FixtureServer.h"
#include "ServiceChoice.h"
#include "ServiceDialog.h"
#include "TlsTestSupport.h"
#include "WindowTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

using namespace std::chrono_literals;

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Ctrl+L on the active window; the dialog that opens, with the focus in its field.
ServiceDialog* OpenDialog(frmMain& window)
{
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return nullptr;
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    ServiceDialog* dialog = nullptr;
    const auto ready = [&] {
        dialog = window.findChild<ServiceDialog*>();
        return dialog && dialog->isVisible()
            && QApplication::focusWidget() == dialog->findChild<QLineEdit*>(QStringLiteral("txtServiceUrl"));
    };
    return QTest::qWaitFor(ready) ? dialog : nullptr;
}

void Type(QLineEdit* field, const QString& text)
{
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
}

} // namespace

class tst_ServiceDialog : public QObject
{
    Q_OBJECT

private slots:
    void keyboardChangesWhereUploadsGo();
    void restoringTheDefaultDropsTheLine();
};

void tst_ServiceDialog::keyboardChangesWhereUploadsGo()
{
    MessageRecorder messages;
    QTemporaryDir config;
    const ScopedEnvironment home("XDG_CONFIG_HOME", config.path());
    const QString path = ServiceChoice::ConfigFilePath();
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# mine\ntheme=dark\n");
    }
    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    });

    frmMain window(ServiceEndpoint::CompiledIn(), 5s);
    window.show();
    // Also in the window's context menu, under the same key.
    auto* item = window.findChild<QAction*>(QStringLiteral("mnuService"));
    QVERIFY(item && window.actions().contains(item));
    QCOMPARE(window.contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(item->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));

    ServiceDialog* dialog = OpenDialog(window);
    QVERIFY(dialog);
    auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("txtServiceUrl"));
    auto* refusal = dialog->findChild<QLabel*>(QStringLiteral("lblRefusal"));
    QVERIFY(field && refusal);
    QCOMPARE(field->text(), ServiceEndpoint::CompiledIn().homePageUrl);
    QVERIFY(!field->accessibleName().isEmpty());

    // Refused in the dialog, which stays open with the reason beside the field.
    Type(field, QStringLiteral("ftp://img.example.org"));
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(dialog->isVisible());
    QVERIFY(refusal->isVisible());
    QVERIFY2(refusal->text().contains(QStringLiteral("only http:// and https:// addresses are supported")),
             qPrintable(refusal->text()));
    QCOMPARE(field->accessibleDescription(), refusal->text());
    QCOMPARE(ReadAll(path), QByteArray("# mine\ntheme=dark\n"));

    const QString url = QStringLiteral("http://127.0.0.1:%1/up").arg(server.Port());
    Type(field, url);
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_VERIFY(!window.findChild<ServiceDialog*>());
    QCOMPARE(ReadAll(path), "# mine\ntheme=dark\nservice=" + url.toUtf8() + '\n');
    QCOMPARE(window.windowTitle(), QString::fromLatin1(frmMain::IdleCaption));
    QCOMPARE(messages.shown.size(), 0);

    // The next upload goes there, its request line and Host following the address.
    const TemporaryImage image(MakePng(20, 20));
    ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->setText(image.Path());
    ControlOf<QPushButton>(window, QStringLiteral("cmdWinsock"))->click();
    QTRY_COMPARE(ResultRow(window, 7)->text(), FixtureServer::ExpectedLinks().at(7));
    QVERIFY(server.Received().startsWith("POST /up HTTP/1.0\r\nHost: 127.0.0.1:" + QByteArray::number(server.Port())
                                         + "\r\n"));

    // Escape leaves everything as it was.
    dialog = OpenDialog(window);
    QVERIFY(dialog);
    field = dialog->findChild<QLineEdit*>(QStringLiteral("txtServiceUrl"));
    QCOMPARE(field->text(), url);
    Type(field, QStringLiteral("https://elsewhere.test"));
    QTest::keyClick(field, Qt::Key_Escape);
    QTRY_VERIFY(!window.findChild<ServiceDialog*>());
    QCOMPARE(ReadAll(path), "# mine\ntheme=dark\nservice=" + url.toUtf8() + '\n');
    QCOMPARE(window.findChild<ImageUpload*>(QStringLiteral("Upload"))->Endpoint().homePageUrl, url);
}

void tst_ServiceDialog::restoringTheDefaultDropsTheLine()
{
    QTemporaryDir config;
    const ScopedEnvironment home("XDG_CONFIG_HOME", config.path());
    QVERIFY(ServiceChoice::SaveConfiguredUrl(QStringLiteral("https://img.example.org")));

    frmMain window(*ServiceEndpoint::FromUrl(QStringLiteral("https://img.example.org")), 5s);
    window.show();
    ServiceDialog* dialog = OpenDialog(window);
    QVERIFY(dialog);
    auto* restore = dialog->findChild<QPushButton*>(QStringLiteral("cmdDefault"));
    QVERIFY(restore);
    // Reached with Tab, pressed with the space bar.
    for (int i = 0; i < 8 && QApplication::focusWidget() != restore; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), restore);
    QTest::keyClick(restore, Qt::Key_Space);
    QTRY_VERIFY(!window.findChild<ServiceDialog*>());
    QCOMPARE(ReadAll(ServiceChoice::ConfigFilePath()), QByteArray());
    const ServiceEndpoint& endpoint = window.findChild<ImageUpload*>(QStringLiteral("Upload"))->Endpoint();
    QCOMPARE(endpoint.homePageUrl, ServiceEndpoint::CompiledIn().homePageUrl);
    QCOMPARE(endpoint.target.host, ServiceEndpoint::CompiledIn().target.host);
    QVERIFY(!endpoint.encrypted);
}

QTEST_MAIN(tst_ServiceDialog)
#include "tst_ServiceDialog.moc"
