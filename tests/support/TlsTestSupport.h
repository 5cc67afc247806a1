#pragma once

// Certificates made at test time with the openssl command: a CA of the
// test's own, server certificates it signs for the names a case asks for,
// and the environment variable that tells the uploader whom to trust.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// Sets an environment variable, or unsets it for a null value, until it goes.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const char* name, const QString& value)
        : m_name(name)
    {
        if (qEnvironmentVariableIsSet(name))
            m_old = qgetenv(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value));
    }
    ~ScopedEnvironment()
    {
        if (m_old)
            qputenv(m_name, *m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    std::optional<QByteArray> m_old;
};

class TestAuthority
{
public:
    // A CA named name, its files in a folder of its own.
    explicit TestAuthority(const QString& name = QStringLiteral("Tarnwick Test CA"))
    {
        m_valid = m_dir.isValid()
            && Run({ "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
                     "2", "-subj", "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                     "keyUsage=critical,keyCertSign,cRLSign", "-keyout", Path("ca.key"), "-out", Path("ca.pem") });
    }

    bool IsValid() const { return m_valid; }
    QString Error() const { return m_error; }
    // The CA's certificate, as SSL_CERT_FILE names a bundle.
    QString CertificateFile() const { return Path("ca.pem"); }

    // A server certificate for the names (DNS names, or IP addresses), signed
    // by this CA, with its key: the configuration a TLS server answers with.
    std::optional<QSslConfiguration> Issue(const QString& base, const QStringList& names)
    {
        QStringList alternatives;
        for (const QString& name : names)
            alternatives.append((name.front().isDigit() ? QStringLiteral("IP:") : QStringLiteral("DNS:")) + name);
        QFile extensions(Path(base + ".ext"));
        if (!extensions.open(QIODevice::WriteOnly)
            || extensions.write("subjectAltName=" + alternatives.join(u',').toUtf8()
                                + "\nextendedKeyUsage=serverAuth\n")
                < 0)
            return std::nullopt;
        extensions.close();
        if (!Run({ "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
                   "/CN=" + names.value(0), "-keyout", Path(base + ".key"), "-out", Path(base + ".csr") })
            || !Run({ "x509", "-req", "-in", Path(base + ".csr"), "-CA", Path("ca.pem"), "-CAkey", Path("ca.key"),
                      "-set_serial", QString::number(++m_serial), "-days", "2", "-extfile", Path(base + ".ext"), "-out",
                      Path(base + ".pem") }))
            return std::nullopt;
        return Configuration(base);
    }

    // The CA's own certificate and key served as a server's: self-signed.
    std::optional<QSslConfiguration> SelfSigned() const { return Configuration(QStringLiteral("ca")); }

    QString Path(const QString& name) const { return m_dir.filePath(name); }

private:
    std::optional<QSslConfiguration> Configuration(const QString& base) const
    {
        QFile keyFile(Path(base + ".key"));
        if (!keyFile.open(QIODevice::ReadOnly))
            return std::nullopt;
        const QSslKey key(&keyFile, QSsl::Ec);
        const QList<QSslCertificate> chain = QSslCertificate::fromPath(Path(base + ".pem"));
        if (key.isNull() || chain.isEmpty())
            return std::nullopt;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(chain.first());
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        return configuration;
    }

    bool Run(const QStringList& arguments)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit
            || openssl.exitCode() != 0) {
            m_error = openssl.errorString() + u' ' + QString::fromLocal8Bit(openssl.readAll());
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
    bool m_valid = false;
    int m_serial = 0;
    QString m_error;
};
