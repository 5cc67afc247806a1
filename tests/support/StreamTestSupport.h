#pragma once

// Helpers shared by the transport tests: draining posted events, the
// "localhost" rows, and upload requests read from a file as they are sent.

#include "modTarnwick.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTest>

#include <memory>
#include <string>

// Posted events run in order: once this marker has run, every event the
// context had posted before it has been delivered (or dropped).
inline void DrainPostedEvents(QObject* context)
{
    bool ran = false;
    QMetaObject::invokeMethod(
        context, [&ran] { ran = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(ran);
}

// Rows for the tests that "localhost" reaches either loopback address, and
// that another name is looked up: the host name as given, and the one
// address the test's service listens on.
inline void LocalhostRows()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("listenOn");
    QTest::newRow("service on the IPv4 loopback") << QStringLiteral("localhost") << QStringLiteral("127.0.0.1");
    QTest::newRow("service on the IPv6 loopback only") << QStringLiteral("LocalHost.") << QStringLiteral("::1");
    QTest::newRow("this machine's name, looked up") << QHostInfo::localHostName() << QStringLiteral("127.0.0.1");
}

// Whether host stands for the address listenOn here: "localhost" always; this
// machine's name only where the system's host files say so.
inline bool NamesAddress(const QString& host, const QString& listenOn)
{
    return host.startsWith(QLatin1String("localhost"), Qt::CaseInsensitive)
        || QHostInfo::fromName(host).addresses().contains(QHostAddress(listenOn));
}

// size bytes in which every byte value occurs, NUL included.
inline std::string EveryByteValue(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return bytes;
}

// Writes bytes to path and opens the upload request of that file; with
// shrinkTo >= 0 the file is cut to that many bytes once the request is open,
// as when another program rewrites the image during an upload.
inline std::unique_ptr<modTarnwick::RequestStream> StreamOfFile(const QString& path, const std::string& bytes,
                                                                int transportMode, qint64 shrinkTo = -1)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()))
        return nullptr;
    file.close();
    std::unique_ptr<modTarnwick::RequestStream> stream =
        modTarnwick::OpenUploadRequest(QFile::encodeName(path).toStdString(), transportMode, false);
    if (shrinkTo >= 0)
        QFile::resize(path, shrinkTo);
    return stream;
}
