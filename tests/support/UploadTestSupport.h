#pragma once

// Helpers for tests of uploads with or without the window: files of a given
// length and the loopback service. No widgets, for the command line's tests.

#include "ServiceEndpoint.h"

#include <QDir>
#include <QFile>
#include <QString>

// A file of exactly length bytes (sparse, so large ones cost nothing).
inline bool MakeFile(const QString& path, qint64 length)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(length);
}

// The service at 127.0.0.1:port, for either transport.
inline ServiceEndpoint LoopbackEndpoint(quint16 port)
{
    ServiceEndpoint endpoint;
    endpoint.host = QStringLiteral("127.0.0.1");
    endpoint.port = port;
    endpoint.homePageUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
    return endpoint;
}

// Threads of this process now: an upload that ends, by itself or cancelled,
// leaves none of its own behind.
inline int ThreadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}
