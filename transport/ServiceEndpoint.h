#pragma once

#include "modTarnwick.h"

#include <QString>
#include <QtGlobal>

#include <optional>

// Where uploads go. The default is the compiled-in service.
struct ServiceEndpoint
{
    QString host; // socket transport: connect here, port below
    quint16 port = 80;
    QString homePageUrl; // HTTP client transport: POST here; also the address a user reads
    // https: both transports over TLS, checked against the trusted CA
    // certificates; nothing of the request ever goes out in the clear.
    bool encrypted = false;
    // The socket's request line and the Host field of both transports.
    modTarnwick::RequestTarget target;

    static ServiceEndpoint CompiledIn();

    // The one reading of a service address, wherever it was given:
    // "https://img.example.org:8443/up" -> host img.example.org, port 8443,
    // "POST /up", "Host: img.example.org:8443"; no path -> "POST /?".
    // Only http and https with a host; no spaces, no user name or password,
    // no fragment. Otherwise nothing, and refusal tells why in one line.
    static std::optional<ServiceEndpoint> FromUrl(const QString& url, QString* refusal = nullptr);
};

// "localhost", "LOCALHOST." and the like: the name of this machine by
// definition, which both transports take to the loopback addresses (IPv4
// first, then IPv6) without asking the resolver.
bool NamesLocalhost(const QString& host);

// The file of CA certificates that https trusts instead of the system's:
// SSL_CERT_FILE, as OpenSSL's tools take it; empty when it is not set.
QString CaCertificatesFile();
