// Service processes on one S3 bucket, some behind nginx: what its options
// take, and a store out of reach at start (always run); then on a real RADOS
// Gateway (with CI=true): links handed out by one instance work on another
// and through the balancer, a store that goes away gives 503 until it is
// back, and stopping one of two instances under load loses no upload that
// was answered with links.

#include "S3TestSupport.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace ServiceTest;

namespace {

QByteArray gif(int n)
{
    return "GIF89a" + QByteArray::number(n) + QByteArray(2000 + n % 97, 'g');
}

// Every address in the link codes of an answer page: "…/view/<id>", "…/i/<id>/<name>", "…/t/<id>.jpg".
QStringList linksOf(const QByteArray& page)
{
    QSet<QString> links;
    static const QRegularExpression link(u"http://[^\"\\[\\]<> ]+"_s);
    for (const QString& text : textsOf(page)) {
        for (const QRegularExpressionMatch& match : link.globalMatch(text))
            links.insert(match.captured());
    }
    QStringList sorted(links.begin(), links.end());
    sorted.sort();
    return sorted;
}

// Uploads of distinct images, `clients` at a time, until `total` have been
// answered or cut off; each over a new connection, in the uploader's form.
class Load : public QObject
{
public:
    struct Upload
    {
        QByteArray bytes;
        QByteArray answer;
    };

    Load(quint16 port, const QTemporaryDir& files, int clients, int total)
        : m_port(port)
        , m_files(files)
        , m_total(total)
    {
        for (int i = 0; i < clients; ++i)
            begin();
    }

    bool finished() const { return int(done.size()) == m_total; }
    int answeredWithLinks() const
    {
        return int(std::count_if(done.begin(), done.end(), [](const Upload& upload) {
            return upload.answer.startsWith("HTTP/1.1 200 ") && textsOf(upload.answer).size() == 8;
        }));
    }

    std::vector<Upload> done;

private:
    void begin()
    {
        if (m_started == m_total)
            return;
        const int n = m_started++;
        const QByteArray bytes = gif(n);
        const QByteArray request = uploaderRequest(m_files, u"load %1.gif"_s.arg(n), bytes)[0];
        auto* socket = new QTcpSocket(this);
        auto answer = std::make_shared<QByteArray>();
        const auto end = [this, socket, answer, bytes] {
            if (socket->property("ended").toBool())
                return; // both the error and the disconnection report it
            socket->setProperty("ended", true);
            *answer += socket->readAll();
            done.push_back({ bytes, *answer });
            socket->deleteLater();
            begin();
        };
        connect(socket, &QTcpSocket::readyRead, this, [socket, answer] { *answer += socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, this, end);
        connect(socket, &QTcpSocket::errorOccurred, this, [end](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError)
                end();
        });
        socket->connectToHost(QHostAddress::LocalHost, m_port);
        socket->write(request);
    }

    quint16 m_port;
    const QTemporaryDir& m_files;
    int m_total;
    int m_started = 0;
};

} // namespace

class tst_S3Service : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void storeOutOfReachAtStart();

    void cephStarts();
    void linksWorkOnEveryInstance_data();
    void linksWorkOnEveryInstance();
    void storeAwayThenBack();
    void stoppedInstanceLosesNoUpload();
    void cleanupTestCase() { m_ceph.reset(); }

private:
    QString upload(quint16 port, const QByteArray& bytes, QStringList* links = nullptr);

    QTemporaryDir m_files;
    std::unique_ptr<CephStore> m_ceph;
};

// "200", "503", …; the links of a 200 in `links`.
QString tst_S3Service::upload(quint16 port, const QByteArray& bytes, QStringList* links)
{
    const QByteArray answer = exchange(port, uploaderRequest(m_files, u"up.gif"_s, bytes)[0]);
    if (links)
        *links = linksOf(answer);
    return QString::fromLatin1(answer.mid(9, 3));
}

void tst_S3Service::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("credentials");
    QTest::addColumn<QString>("region");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("said"); // on standard output when 0, else on standard error

    const QString endpoint = u"http://127.0.0.1:9"_s;
    const QStringList s3 { u"--s3-endpoint"_s, endpoint, u"--s3-bucket"_s, u"images"_s };
    QTest::newRow("help") << QStringList { u"--help"_s } << true << QString() << 0 << QByteArray("--s3-endpoint <url>");
    QTest::newRow("endpoint alone") << QStringList { u"--s3-endpoint"_s, endpoint } << true << QString() << 2
                                    << QByteArray("--s3-bucket");
    QTest::newRow("bucket alone") << QStringList { u"--s3-bucket"_s, u"images"_s } << true << QString() << 2
                                  << QByteArray("--s3-endpoint");
    QTest::newRow("bucket of two") << QStringList { u"--s3-endpoint"_s, endpoint, u"--s3-bucket"_s, u"im"_s } << true
                                   << QString() << 2 << QByteArray("--s3-bucket takes");
    QTest::newRow("endpoint not http") << QStringList { u"--s3-endpoint"_s, u"s3://images"_s, u"--s3-bucket"_s,
                                                        u"images"_s }
                                       << true << QString() << 2 << QByteArray("--s3-endpoint takes");
    QTest::newRow("no credentials") << s3 << false << QString() << 2 << QByteArray("AWS_SECRET_ACCESS_KEY");
    QTest::newRow("a folder too") << s3 + QStringList { u"--data"_s, u"/tmp"_s } << true << QString() << 2
                                  << QByteArray("--data");
    QTest::newRow("a byte limit too") << s3 + QStringList { u"--max-bytes"_s, u"1G"_s } << true << QString() << 2
                                      << QByteArray("quota");
    QTest::newRow("region with a space") << s3 << true << u"us east"_s << 2 << QByteArray("AWS_REGION");
}

void tst_S3Service::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, credentials);
    QFETCH(QString, region);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, said);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"AWS_ACCESS_KEY_ID"_s);
    environment.remove(u"AWS_SECRET_ACCESS_KEY"_s);
    if (credentials) {
        environment.insert(u"AWS_ACCESS_KEY_ID"_s, u"key"_s);
        environment.insert(u"AWS_SECRET_ACCESS_KEY"_s, u"secret"_s);
    }
    environment.insert(u"AWS_REGION"_s, region);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TARNWICK_SERVICE_PATH), QStringList { u"--port"_s, u"0"_s } + arguments);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QByteArray output = exitCode == 0 ? process.readAllStandardOutput() : process.readAllStandardError();
    QVERIFY2(output.contains(said), output.constData());
}

// It starts, says so, and answers 503 rather than hand out a link or say an image is gone.
void tst_S3Service::storeOutOfReachAtStart()
{
    const QString endpoint = u"http://127.0.0.1:%1"_s.arg(freePort());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"AWS_ACCESS_KEY_ID"_s, u"key"_s);
    environment.insert(u"AWS_SECRET_ACCESS_KEY"_s, u"secret"_s);

    Service service;
    QCOMPARE(service.start({ u"--s3-endpoint"_s, endpoint, u"--s3-bucket"_s, u"images"_s }, environment, true),
             QString());
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains("not reachable"), kWaitMs);

    QStringList links;
    QCOMPARE(upload(service.port(), gif(1), &links), u"503"_s);
    QCOMPARE(links, QStringList());
    for (const char* path : { "/i/k3x9pq2mzt/a.gif", "/t/k3x9pq2mzt.jpg", "/view/k3x9pq2mzt" }) {
        const Fetched fetched = fetchFrom(service.port(), u"http://x"_s + QLatin1String(path));
        QCOMPARE(fetched.status, 503);
        QVERIFY(fetched.body.contains("out of reach"));
    }
}

// Those below need a real gateway.

void tst_S3Service::cephStarts()
{
    if (const QString reason = cephSkipped(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    auto ceph = std::make_unique<CephStore>();
    QCOMPARE(ceph->start(), QString());
    m_ceph = std::move(ceph);
}

void tst_S3Service::linksWorkOnEveryInstance_data()
{
    QTest::addColumn<int>("uploadTo"); // 0 and 1 for the instances, 2 for nginx
    QTest::addColumn<int>("fetchFrom");

    QTest::newRow("one instance to another") << 0 << 1;
    QTest::newRow("nginx to nginx") << 2 << 2;
    QTest::newRow("nginx to each instance") << 2 << 0;
}

void tst_S3Service::linksWorkOnEveryInstance()
{
    if (!m_ceph)
        QSKIP(qPrintable(noCeph()));
    QFETCH(int, uploadTo);
    QFETCH(int, fetchFrom);
    const QString bucket = newBucketName();
    // The balancer's port must be known before the instances are told their base.
    Balancer balancer;
    Service instances[2];
    const quint16 balancerPort = freePort();
    const QString base = u"http://127.0.0.1:%1"_s.arg(balancerPort);
    for (Service& instance : instances)
        QCOMPARE(instance.start(m_ceph->options(bucket) + QStringList { u"--base-url"_s, base }, m_ceph->environment()),
                 QString());
    QCOMPARE(balancer.start({ instances[0].port(), instances[1].port() }, balancerPort), QString());
    const auto portOf = [&](int which) { return which == 2 ? balancer.port() : instances[which].port(); };

    S3Store store(m_ceph->settings(bucket));
    for (int i = 0; i < 4; ++i) {
        const QByteArray image = pngBytes(200 + i, 100);
        QStringList links;
        QCOMPARE(upload(portOf(uploadTo), image, &links), u"200"_s);
        QCOMPARE(links.size(), 3);
        for (const QString& link : links) {
            QVERIFY2(link.startsWith(base + u'/'), qPrintable(link));
            const quint16 port = portOf(fetchFrom == 0 ? i % 2 : fetchFrom);
            const Fetched fetched = ServiceTest::fetchFrom(port, link);
            QVERIFY2(fetched.status == 200, qPrintable(link + u" gave "_s + QString::number(fetched.status)));
            if (link.contains(u"/i/"_s))
                QCOMPARE(fetched.body, image);
            if (link.contains(u"/t/"_s)) {
                QVERIFY(fetched.body.startsWith("\xff\xd8"));
                // Made by one instance, kept in the store for all; a
                // placeholder given when no decoder could start is not kept.
                const QByteArray id = link.section(u'/', -1).chopped(4).toLatin1();
                if (kDecoderCanStart)
                    QCOMPARE(store.thumbnail(id).value_or(QByteArray()), fetched.body);
            }
        }
    }
}

// Uploads get 503 and no link while the gateway is away, images 503 and not
// 404; an instance started meanwhile, on a bucket not yet made, starts all
// the same. Once the gateway is back, both serve again by themselves.
void tst_S3Service::storeAwayThenBack()
{
    if (!m_ceph)
        QSKIP(qPrintable(noCeph()));
    Service first;
    QCOMPARE(first.start(m_ceph->options(newBucketName()), m_ceph->environment()), QString());
    QStringList links;
    const QByteArray before = gif(100);
    QCOMPARE(upload(first.port(), before, &links), u"200"_s);
    const QString direct = links.filter(u"/i/"_s).value(0);

    QVERIFY(m_ceph->stopGateway());
    QStringList none;
    QCOMPARE(upload(first.port(), gif(101), &none), u"503"_s);
    QCOMPARE(none, QStringList());
    QCOMPARE(fetchFrom(first.port(), direct).status, 503);
    Service second;
    QCOMPARE(second.start(m_ceph->options(newBucketName()), m_ceph->environment(), true), QString());
    QTRY_VERIFY_WITH_TIMEOUT(second.errors().contains("not reachable"), kWaitMs);

    QVERIFY(m_ceph->startGateway());
    QCOMPARE(fetch(first.port(), direct), before);
    for (Service* service : { &first, &second }) {
        const QByteArray after = gif(102);
        QCOMPARE(upload(service->port(), after, &links), u"200"_s);
        QCOMPARE(fetch(service->port(), links.filter(u"/i/"_s).value(0)), after);
    }
}

// Eight clients upload through nginx while one of the two instances is
// killed: uploads it had in hand may fail, but every one answered with links
// is in the store, and the other instance takes the rest.
void tst_S3Service::stoppedInstanceLosesNoUpload()
{
    if (!m_ceph)
        QSKIP(qPrintable(noCeph()));
    const QString bucket = newBucketName();
    Service instances[2];
    for (Service& instance : instances)
        QCOMPARE(instance.start(m_ceph->options(bucket), m_ceph->environment()), QString());
    Balancer balancer;
    QCOMPARE(balancer.start({ instances[0].port(), instances[1].port() }), QString());

    Load load(balancer.port(), m_files, 8, 160);
    QTRY_VERIFY_WITH_TIMEOUT(load.answeredWithLinks() >= 30, 4 * kWaitMs);
    instances[0].stop(&QProcess::kill);
    const int beforeKill = load.answeredWithLinks();
    QTRY_VERIFY_WITH_TIMEOUT(load.finished(), 8 * kWaitMs);
    QVERIFY2(load.answeredWithLinks() >= beforeKill + 80,
             qPrintable(u"%1 answered with links, %2 before the kill"_s.arg(load.answeredWithLinks()).arg(beforeKill)));

    for (const Load::Upload& upload : load.done) {
        if (!upload.answer.startsWith("HTTP/1.1 200 "))
            continue;
        const QString direct = linksOf(upload.answer).filter(u"/i/"_s).value(0);
        QCOMPARE(fetch(balancer.port(), direct), upload.bytes);
    }
}

QTEST_GUILESS_MAIN(tst_S3Service)
#include "tst_S3Service.moc"
