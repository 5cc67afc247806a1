#pragma once

// nginx in front of service instances, as docs/service.md shows it: the tests and
// the benchmark fill in balancer.conf.in with their own ports and folder.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QStandardPaths>
#include <QString>

#include <unistd.h>

namespace ServiceTest {

// Empty when nginx is not installed; root's PATH has /usr/sbin, a user's may not.
inline QString nginxProgram()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    return found.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("nginx"), { QStringLiteral("/usr/sbin") })
                           : found;
}

// Writes folder/nginx.conf for nginx listening on 127.0.0.1:port in front of
// the instances on these ports; its path, or empty when it cannot be written.
inline QString writeBalancerConfig(const QString& folder, quint16 port, const QList<quint16>& instances)
{
    QFile templateFile(QStringLiteral(TARNWICK_BALANCER_CONF));
    if (!templateFile.open(QIODevice::ReadOnly))
        return {};
    QByteArray servers;
    for (const quint16 instance : instances)
        servers += "        server 127.0.0.1:" + QByteArray::number(instance) + " max_fails=1 fail_timeout=10s;\n";
    QByteArray conf = templateFile.readAll();
    conf.replace("@SERVERS@\n", servers);
    conf.replace("@PORT@", QByteArray::number(port));
    conf.replace("@DIR@", folder.toUtf8());
    // Its workers run as nobody unless told otherwise, and the folder is the caller's own.
    conf.prepend(::geteuid() == 0 ? "user root;\n" : "");
    QFile file(folder + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(conf) != conf.size())
        return {};
    return file.fileName();
}

} // namespace ServiceTest
