// https over both transports against a loopback TLS peer whose certificates
// a CA of the test's own signed: the upload with its links, and the
// certificates that must stop it before any byte of the request goes out.

#include "FixtureServer.h"
#include "ImageUpload.h"
#include "TlsTestSupport.h"
#include "UploadLimits.h"

#include <QSignalSpy>
#include <QTest>

#include <cerrno>

using namespace std::chrono_literals;
using Transport = ImageUpload::Transport;

namespace {

constexpr std::chrono::milliseconds kLimit = 10s;

void AnswerWithPage(FixtureServer& server)
{
    server.SetAnswer([](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    });
}

ServiceEndpoint HttpsAt(quint16 port, const QString& path = QString())
{
    return *ServiceEndpoint::FromUrl(QStringLiteral("https://localhost:%1%2").arg(port).arg(path));
}

// Runs one upload to its end.
std::unique_ptr<ImageUpload> Upload(const ServiceEndpoint& endpoint, Transport transport, const QString& image)
{
    auto upload = std::make_unique<ImageUpload>(endpoint, kLimit, UploadLimits::AnswerDeadline);
    QSignalSpy ended(upload.get(), &ImageUpload::Ended);
    upload->Start(image, transport, false);
    if (!ended.wait(int(kLimit.count()) * 2))
        return nullptr;
    return upload;
}

} // namespace

class tst_Tls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void uploadsOverTls_data();
    void uploadsOverTls();
    void refusesWhatCannotBeTrusted_data();
    void refusesWhatCannotBeTrusted();

private:
    TestAuthority m_authority;
    std::optional<QSslConfiguration> m_localhost;
    std::optional<QSslConfiguration> m_otherHost;
};

void tst_Tls::initTestCase()
{
    QVERIFY2(m_authority.IsValid(), qPrintable(m_authority.Error()));
    m_localhost =
        m_authority.Issue(QStringLiteral("localhost"), { QStringLiteral("localhost"), QStringLiteral("127.0.0.1") });
    m_otherHost = m_authority.Issue(QStringLiteral("other"), { QStringLiteral("img.other.test") });
    QVERIFY2(m_localhost && m_otherHost, qPrintable(m_authority.Error()));
}

void tst_Tls::uploadsOverTls_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QByteArray>("requestLine");
    QTest::newRow("socket") << Transport::Socket << QByteArray("POST /up?x=1 HTTP/1.0\r\n");
    QTest::newRow("http client") << Transport::HttpClient << QByteArray("POST /up?x=1 HTTP/1.1\r\n");
}

void tst_Tls::uploadsOverTls()
{
    QFETCH(Transport, transport);
    QFETCH(QByteArray, requestLine);

    const ScopedEnvironment trust("SSL_CERT_FILE", m_authority.CertificateFile());
    FixtureServer server;
    server.UseTls(*m_localhost);
    QVERIFY(server.Listen());
    AnswerWithPage(server);
    const TemporaryImage image(MakePng(40, 30));

    const auto upload = Upload(HttpsAt(server.Port(), QStringLiteral("/up?x=1")), transport, image.Path());
    QVERIFY(upload);
    QVERIFY2(!upload->Failure(), qPrintable(upload->Failure() ? upload->Failure()->description : QString()));
    QCOMPARE(QString::fromStdString(upload->Links().at(7)), FixtureServer::ExpectedLinks().at(7));

    // What the peer decrypted is the request, addressed as the URL says.
    const QByteArray received = server.Received();
    QVERIFY2(received.startsWith(requestLine), received.left(80).constData());
    QCOMPARE(FixtureServer::HeaderValues(received, "Host"),
             QList<QByteArray> { "localhost:" + QByteArray::number(server.Port()) });
    QVERIFY(FixtureServer::BodyOf(received).contains(image.Path().section(u'/', -1).toUtf8()));
}

void tst_Tls::refusesWhatCannotBeTrusted_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("serves"); // localhost, other, self-signed, plain
    QTest::addColumn<QString>("trusted"); // the test CA, another CA, none (the system's), missing
    QTest::addColumn<QString>("description");

    const QString notTrusted = QStringLiteral("The service's certificate is not trusted: ");
    for (const Transport transport : { Transport::Socket, Transport::HttpClient }) {
        const char* over = transport == Transport::Socket ? "socket" : "http client";
        QTest::addRow("%s: a CA that is not trusted", over)
            << transport << "localhost"
            << "another CA" << notTrusted + "no CA certificate in %1 (SSL_CERT_FILE) vouches for it";
        QTest::addRow("%s: the system's CAs, which never signed it", over)
            << transport << "localhost" << QString() << notTrusted + "no CA certificate of this system vouches for it";
        QTest::addRow("%s: a self-signed certificate", over) << transport << "self-signed"
                                                             << "the test CA" << notTrusted + "it is self-signed";
        QTest::addRow("%s: a certificate for another host", over)
            << transport << "other"
            << "the test CA"
            << QStringLiteral("The service's certificate does not match the host: it was not issued for localhost");
        QTest::addRow("%s: a bundle that does not exist", over)
            << transport << "localhost"
            << "missing" << QStringLiteral("SSL_CERT_FILE names %1, which holds no CA certificate that can be read");
        QTest::addRow("%s: plain HTTP at an https address", over)
            << transport << "plain"
            << "the test CA" << QStringLiteral("No secure connection to the service could be made: ");
    }
}

void tst_Tls::refusesWhatCannotBeTrusted()
{
    QFETCH(Transport, transport);
    QFETCH(QString, serves);
    QFETCH(QString, trusted);
    QFETCH(QString, description);

    TestAuthority another(QStringLiteral("Another CA"));
    QVERIFY(another.IsValid());
    const QString bundle = trusted == QLatin1String("the test CA") ? m_authority.CertificateFile()
        : trusted == QLatin1String("another CA")                   ? another.CertificateFile()
        : trusted == QLatin1String("missing")                      ? another.Path(QStringLiteral("missing.pem"))
                                                                   : QString();
    const ScopedEnvironment trust("SSL_CERT_FILE", bundle);
    FixtureServer server;
    const TestAuthority selfSigned(QStringLiteral("localhost"));
    if (serves == QLatin1String("self-signed"))
        server.UseTls(*selfSigned.SelfSigned());
    else if (serves != QLatin1String("plain"))
        server.UseTls(serves == QLatin1String("other") ? *m_otherHost : *m_localhost);
    QVERIFY(server.Listen());
    AnswerWithPage(server);
    // A plain server answers a TLS greeting as a request it cannot read.
    if (serves == QLatin1String("plain"))
        server.AnswerAnyBytes(FixtureServer::HttpAnswer(400, "<html><title>Bad Request</title></html>"));
    const TemporaryImage image(MakePng(40, 30));

    const auto upload = Upload(HttpsAt(server.Port()), transport, image.Path());
    QVERIFY(upload);
    QVERIFY(upload->Failure());
    QCOMPARE(upload->Failure()->number, EPROTO);
    const QString expected = description.contains(QLatin1String("%1")) ? description.arg(bundle) : description;
    if (serves == QLatin1String("plain"))
        QVERIFY2(upload->Failure()->description.startsWith(expected), qPrintable(upload->Failure()->description));
    else
        QCOMPARE(upload->Failure()->description, expected);
    QVERIFY(upload->Links().empty());
    // Not a byte of the request reached the peer, in the clear or not.
    QCOMPARE(server.CompleteRequests(), 0);
    QVERIFY2(!server.Received().contains("POST") && !server.Received().contains("fileupload"),
             server.Received().left(80).constData());
}

QTEST_GUILESS_MAIN(tst_Tls)
#include "tst_Tls.moc"
