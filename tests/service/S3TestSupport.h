#pragma once

// What the S3 tests share: the store they run against, a one-node Ceph
// cluster with a RADOS Gateway that scripts/ceph-store starts under a folder
// of the test's own (only with CI=true: it needs Ceph's packages, which
// scripts/test-s3 installs), and nginx in front of service instances.

#include "BalancerConfig.h"
#include "S3Store.h"
#include "ServiceProcess.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>

namespace ServiceTest {

constexpr int kCephMs = 120000; // the script's longest wait, and some

// Empty when the tests that need Ceph run here; else why not, for QSKIP.
inline QString cephSkipped()
{
    if (qgetenv("CI") != "true" && qgetenv("TARNWICK_FULL") != "1") {
        return QStringLiteral("needs a Ceph cluster: runs with CI=true or TARNWICK_FULL=1, with which scripts/test "
                              "installs Ceph and nginx (or scripts/test-s3 alone)");
    }
    return {};
}

// A port that nothing listens on, once given back: for a process to take.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Why a test that needs the cluster finds none: skipped here, or it did not start.
inline QString noCeph()
{
    const QString skipped = cephSkipped();
    return skipped.isEmpty() ? QStringLiteral("the Ceph cluster did not start: see cephStarts") : skipped;
}

// "tarnwick-test-k3x9pq": a bucket no earlier run used.
inline QString newBucketName()
{
    return QStringLiteral("tarnwick-test-%1").arg(QRandomGenerator::global()->generate64(), 0, 36);
}

class CephStore
{
public:
    ~CephStore() { stop(); }

    // Empty once the gateway answers; else what went wrong.
    QString start()
    {
        if (!m_parent.isValid())
            return QStringLiteral("no temporary folder");
        m_running = true; // what a failed start leaves, stop() removes
        QProcess script;
        if (!run(script, QStringLiteral("start")))
            return QStringLiteral("scripts/ceph-store start failed: %1")
                .arg(QString::fromUtf8(script.readAllStandardError()));
        for (const QByteArray& line : script.readAllStandardOutput().split('\n')) {
            const QByteArray value = line.mid(line.indexOf('=') + 1);
            if (line.startsWith("TARNWICK_S3_ENDPOINT="))
                m_endpoint = QUrl(QString::fromLatin1(value));
            else if (line.startsWith("AWS_ACCESS_KEY_ID="))
                m_accessKey = value;
            else if (line.startsWith("AWS_SECRET_ACCESS_KEY="))
                m_secretKey = value;
        }
        return m_endpoint.isValid() && !m_accessKey.isEmpty() ? QString() : QStringLiteral("no settings printed");
    }

    void stop()
    {
        if (!m_running)
            return;
        QProcess script;
        run(script, QStringLiteral("stop"));
        m_running = false;
    }

    // The gateway alone, as a store that goes away and comes back on the same port.
    bool stopGateway()
    {
        QProcess script;
        return run(script, QStringLiteral("stop-gateway"));
    }
    bool startGateway()
    {
        QProcess script;
        return run(script, QStringLiteral("start-gateway"));
    }

    // radosgw-admin on this cluster: "quota set --bucket=b --max-objects=1".
    bool admin(const QStringList& arguments)
    {
        QProcess tool;
        tool.start(QStringLiteral("radosgw-admin"),
                   QStringList { QStringLiteral("--conf"), folder() + QStringLiteral("/ceph.conf") } + arguments);
        return tool.waitForFinished(kCephMs) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    QUrl endpoint() const { return m_endpoint; }

    S3Store::Settings settings(const QString& bucket) const
    {
        S3Store::Settings settings;
        settings.endpoint = m_endpoint;
        settings.bucket = bucket;
        settings.accessKey = m_accessKey;
        settings.secretKey = m_secretKey;
        return settings;
    }

    // For a service process: the credentials as every S3 tool takes them.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("AWS_ACCESS_KEY_ID"), QString::fromLatin1(m_accessKey));
        environment.insert(QStringLiteral("AWS_SECRET_ACCESS_KEY"), QString::fromLatin1(m_secretKey));
        environment.remove(QStringLiteral("AWS_REGION"));
        return environment;
    }

    // The service's options for a bucket of this store.
    QStringList options(const QString& bucket) const
    {
        return { QStringLiteral("--s3-endpoint"), m_endpoint.toString(), QStringLiteral("--s3-bucket"), bucket };
    }

private:
    QString folder() const { return m_parent.filePath(QStringLiteral("ceph")); }

    bool run(QProcess& script, const QString& command)
    {
        script.start(QStringLiteral(TARNWICK_SOURCE_DIR "/scripts/ceph-store"), { command, folder() });
        return script.waitForFinished(kCephMs) && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    }

    QTemporaryDir m_parent;
    bool m_running = false;
    QUrl m_endpoint;
    QByteArray m_accessKey;
    QByteArray m_secretKey;
};

// nginx in front of service instances.
class Balancer
{
public:
    // SIGTERM, which ends its workers too; SIGKILL would leave them serving.
    ~Balancer()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
    }

    // Empty once it listens, on `port` or, for 0, a free one; else what went wrong.
    QString start(const QList<quint16>& instances, quint16 port = 0)
    {
        const QString nginx = nginxProgram();
        if (nginx.isEmpty())
            return QStringLiteral("nginx is missing");
        m_port = port ? port : freePort();
        const QString conf = writeBalancerConfig(m_dir.path(), m_port, instances);
        if (conf.isEmpty())
            return QStringLiteral("cannot write nginx.conf");

        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(nginx,
                        { QStringLiteral("-p"), m_dir.path(), QStringLiteral("-c"), conf, QStringLiteral("-e"),
                          m_dir.filePath(QStringLiteral("error.log")) });
        if (!m_process.waitForStarted(kWaitMs))
            return QStringLiteral("nginx did not start: %1").arg(m_process.errorString());
        const bool listening = QTest::qWaitFor(
            [&] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                return m_process.state() != QProcess::Running || socket.waitForConnected(100);
            },
            kWaitMs);
        if (!listening || m_process.state() != QProcess::Running) {
            QFile log(m_dir.filePath(QStringLiteral("error.log")));
            log.open(QIODevice::ReadOnly);
            return QStringLiteral("nginx did not start: %1")
                .arg(QString::fromUtf8(m_process.readAll() + log.readAll()));
        }
        return {};
    }

    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace ServiceTest
