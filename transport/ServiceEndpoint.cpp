#include "ServiceEndpoint.h"

#include <QCoreApplication>
#include <QUrl>

#include <algorithm>

namespace {

constexpr quint16 kHttpPort = 80;
constexpr quint16 kHttpsPort = 443;
const QString kHttp = QStringLiteral("http");
const QString kHttps = QStringLiteral("https");

QString tr(const char* text)
{
    return QCoreApplication::translate("ServiceEndpoint", text);
}

QString Refusal(const QString& url, const QString& why)
{
    QString shown = url;
    // Quoted in a message box or on a terminal: no control character goes through.
    std::replace_if(
        shown.begin(), shown.end(), [](QChar c) { return c.category() == QChar::Other_Control; }, QChar(u'?'));
    return tr("The service address \"%1\" cannot be used: %2").arg(shown, why);
}

} // namespace

ServiceEndpoint ServiceEndpoint::CompiledIn()
{
    ServiceEndpoint endpoint;
    endpoint.host = QString::fromUtf8(modTarnwick::kServiceHost.data(), qsizetype(modTarnwick::kServiceHost.size()));
    endpoint.port = modTarnwick::kServicePort;
    endpoint.homePageUrl =
        QString::fromUtf8(modTarnwick::kHomePageUrl.data(), qsizetype(modTarnwick::kHomePageUrl.size()));
    return endpoint;
}

std::optional<ServiceEndpoint> ServiceEndpoint::FromUrl(const QString& url, QString* refusal)
{
    const auto refuse = [&](const QString& why) -> std::optional<ServiceEndpoint> {
        if (refusal)
            *refusal = Refusal(url, why);
        return std::nullopt;
    };
    if (url.isEmpty())
        return refuse(tr("it is empty"));
    if (std::any_of(url.begin(), url.end(), [](QChar c) { return c.isSpace() || !c.isPrint(); }))
        return refuse(tr("it holds a space or a control character"));

    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!url.contains(QLatin1String("://")) || (scheme != kHttp && scheme != kHttps))
        return refuse(tr("only http:// and https:// addresses are supported"));
    if (!parsed.isValid())
        return refuse(tr("it is not a valid URL (%1)").arg(parsed.errorString()));
    if (!parsed.userInfo().isEmpty())
        return refuse(tr("a user name or password has no place in it"));
    if (parsed.host().isEmpty())
        return refuse(tr("it names no host"));
    if (parsed.port() == 0)
        return refuse(tr("its port must be from 1 to 65535"));
    if (parsed.hasFragment())
        return refuse(tr("a fragment (#...) has no place in it"));

    ServiceEndpoint endpoint;
    endpoint.encrypted = scheme == kHttps;
    const quint16 standardPort = endpoint.encrypted ? kHttpsPort : kHttpPort;
    endpoint.host = parsed.host(QUrl::FullyEncoded);
    endpoint.port = quint16(parsed.port(standardPort));
    QUrl normal = parsed;
    normal.setScheme(scheme);
    if (endpoint.port == standardPort)
        normal.setPort(-1);
    endpoint.homePageUrl = normal.toString(QUrl::FullyEncoded);

    // The Host field names the port only where it is not the scheme's own,
    // as the HTTP client writes it from the URL; an IPv6 address keeps its brackets.
    const QString hostField = endpoint.host.contains(u':') ? u'[' + endpoint.host + u']' : endpoint.host;
    endpoint.target.host =
        (endpoint.port == standardPort ? hostField : hostField + u':' + QString::number(endpoint.port)).toStdString();
    QString path = normal.path(QUrl::FullyEncoded);
    if (normal.hasQuery())
        path = (path.isEmpty() ? QStringLiteral("/") : path) + u'?' + normal.query(QUrl::FullyEncoded);
    if (!path.isEmpty())
        endpoint.target.path = path.toStdString();
    return endpoint;
}

bool NamesLocalhost(const QString& host)
{
    const QString name = host.trimmed();
    return name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("localhost."), Qt::CaseInsensitive) == 0;
}

QString CaCertificatesFile()
{
    return qEnvironmentVariable("SSL_CERT_FILE");
}
