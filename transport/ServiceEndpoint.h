#pragma once

#include <QString>
#include <QtGlobal>

// Where uploads go. The default is the compiled-in service.
struct ServiceEndpoint
{
    QString host;         // socket transport: connect here, port below
    quint16 port = 80;
    QString homePageUrl;  // HTTP client transport: POST here

    static ServiceEndpoint CompiledIn();
};

// "localhost", "LOCALHOST." and the like: the name of this machine by
// definition, which both transports take to the loopback addresses (IPv4
// first, then IPv6) without asking the resolver.
bool NamesLocalhost(const QString& host);
