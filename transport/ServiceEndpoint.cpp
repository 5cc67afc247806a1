#include "ServiceEndpoint.h"

#include "modTarnwick.h"

ServiceEndpoint ServiceEndpoint::CompiledIn()
{
    ServiceEndpoint endpoint;
    endpoint.host = QString::fromUtf8(modTarnwick::kServiceHost.data(), qsizetype(modTarnwick::kServiceHost.size()));
    endpoint.port = modTarnwick::kServicePort;
    endpoint.homePageUrl = QString::fromUtf8(modTarnwick::kHomePageUrl.data(), qsizetype(modTarnwick::kHomePageUrl.size()));
    return endpoint;
}

bool NamesLocalhost(const QString& host)
{
    const QString name = host.trimmed();
    return name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("localhost."), Qt::CaseInsensitive) == 0;
}
