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
