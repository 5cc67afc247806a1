#include "FolderStore.h"
#include "ImageService.h"
#include "S3Store.h"
#include "ServicePages.h"

#include "modTarnwickEndpoint.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cstdio>
#include <limits>
#include <memory>
#include <optional>

#include <malloc.h>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

// "1048576" -> 1048576; "500M" -> 524288000; "2g" -> 2147483648; "0", "-1", "1X" -> nothing
std::optional<qint64> byteCount(QString text)
{
    const qsizetype power = text.isEmpty() ? -1 : u"KMGT"_s.indexOf(text.back().toUpper());
    const qint64 unit = power < 0 ? 1 : qint64(1) << (10 * (power + 1));
    if (power >= 0)
        text.chop(1);
    bool ok = false;
    const qint64 count = text.toLongLong(&ok);
    if (!ok || count <= 0 || count > std::numeric_limits<qint64>::max() / unit)
        return std::nullopt;
    return count * unit;
}

// Every connection is a descriptor, and so is each file it reads or writes:
// the soft limit, often 1024, would stop the service far below its own.
void raiseDescriptorLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int usageError(const QString& message)
{
    std::fprintf(stderr, "tarnwick-service: %s\nTry 'tarnwick-service --help' for more.\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    // Each upload takes and frees a few hundred KiB: kept in the heaps, that
    // memory is not faulted in again for every upload. Blocks of a MiB and
    // more are mapped for themselves, so that a burst of large bodies is
    // handed back to the system once it has gone.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"tarnwick-service"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Serves the Tarnwick upload page and the images uploaded to it, which it "
                                     "keeps in a folder across restarts, or in an S3 bucket that several services "
                                     "may share."_s);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QString defaultPort = QString::number(modTarnwick::kServicePort);
    const QString defaultData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QCommandLineOption port({ u"p"_s, u"port"_s },
                                  u"Listen on port <n>; 0 picks a free one. Default: %1."_s.arg(defaultPort), u"n"_s,
                                  defaultPort);
    const QCommandLineOption bind(u"bind"_s, u"Listen on this address only. Default: 127.0.0.1."_s, u"address"_s,
                                  u"127.0.0.1"_s);
    const QCommandLineOption data(u"data"_s, u"Keep the images in <dir>. Default: %1."_s.arg(defaultData), u"dir"_s,
                                  defaultData);
    const QCommandLineOption maxBytes(u"max-bytes"_s,
                                      u"Refuse new uploads (507) once the images would take more than <n> bytes; "
                                      "K, M, G or T may follow. Default: 1G."_s,
                                      u"n"_s, u"1G"_s);
    const QCommandLineOption baseUrl(u"base-url"_s, u"Build links on <url>. Default: http://localhost and the port."_s,
                                     u"url"_s);
    const QCommandLineOption perAddress(u"max-per-address"_s,
                                        u"Let one client address (an IPv6 /64) hold at most <n> connections at "
                                        "once; 0 for no limit. 127.0.0.1 and ::1 have none. Default: 64."_s,
                                        u"n"_s, u"64"_s);
    const QCommandLineOption maxConnections(u"max-connections"_s,
                                            u"Serve at most <n> connections at once; more wait in the listening "
                                            "queue. Default: 4096."_s,
                                            u"n"_s, u"4096"_s);
    const QCommandLineOption bodyMemory(u"max-body-memory"_s,
                                        u"Hold at most <n> bytes of request bodies in memory, all connections "
                                        "together; past it an upload waits, then gets 503. K, M or G may follow. "
                                        "Default: 256M."_s,
                                        u"n"_s, u"256M"_s);
    const QCommandLineOption trustedProxy(u"trusted-proxy"_s,
                                          u"Take the client's address from X-Forwarded-For on connections from "
                                          "<address>[/<bits>], a reverse proxy's; may be given more than once."_s,
                                          u"address"_s);
    const QCommandLineOption s3Endpoint(u"s3-endpoint"_s,
                                        u"Keep the images in an S3 object store at <url> instead of --data, in the "
                                        "bucket --s3-bucket names; the credentials come from AWS_ACCESS_KEY_ID and "
                                        "AWS_SECRET_ACCESS_KEY, the region from AWS_REGION (default us-east-1)."_s,
                                        u"url"_s);
    const QCommandLineOption s3Bucket(u"s3-bucket"_s, u"The bucket for --s3-endpoint; made when it is missing."_s,
                                      u"name"_s);
    QCommandLineOption makeThumbnail(u"make-thumbnail"_s,
                                     u"Read an image on standard input and write its "
                                     "thumbnail on standard output (the service runs itself so)."_s);
    makeThumbnail.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({ port, bind, data, maxBytes, baseUrl, perAddress, maxConnections, bodyMemory, trustedProxy,
                        s3Endpoint, s3Bucket, makeThumbnail });

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp();
    if (parser.isSet(version))
        parser.showVersion();
    if (parser.isSet(makeThumbnail))
        return ThumbnailMaker::makeFromStandardInput();
    if (!parser.positionalArguments().isEmpty())
        return usageError(u"unexpected argument '%1'"_s.arg(parser.positionalArguments().first()));

    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535)
        return usageError(u"--port takes a number from 0 to 65535, not '%1'"_s.arg(parser.value(port)));
    const QHostAddress address(parser.value(bind));
    if (address.isNull())
        return usageError(u"--bind takes an IP address such as 127.0.0.1 or ::, not '%1'"_s.arg(parser.value(bind)));
    const std::optional<qint64> limit = byteCount(parser.value(maxBytes));
    if (!limit)
        return usageError(
            u"--max-bytes takes a positive number of bytes such as 500M, not '%1'"_s.arg(parser.value(maxBytes)));
    const QString linkBase = ServicePages::linkBase(parser.value(baseUrl));
    if (parser.isSet(baseUrl) && linkBase.isEmpty())
        return usageError(u"--base-url takes an http URL without query, such as http://img.example.org, "
                          "not '%1'"_s.arg(parser.value(baseUrl)));

    HttpServer::Limits limits;
    limits.maxPerAddress = parser.value(perAddress).toInt(&ok);
    if (!ok || limits.maxPerAddress < 0)
        return usageError(u"--max-per-address takes a number of connections, 0 for no limit, not '%1'"_s.arg(
            parser.value(perAddress)));
    limits.maxConnections = parser.value(maxConnections).toInt(&ok);
    if (!ok || limits.maxConnections <= 0)
        return usageError(
            u"--max-connections takes a positive number of connections, not '%1'"_s.arg(parser.value(maxConnections)));
    const std::optional<qint64> bodyBytes = byteCount(parser.value(bodyMemory));
    if (!bodyBytes || *bodyBytes < limits.maxBodyBytes)
        return usageError(u"--max-body-memory takes a number of bytes of at least 4M, such as 256M, not '%1'"_s.arg(
            parser.value(bodyMemory)));
    limits.maxBodyBytesInFlight = *bodyBytes;
    for (const QString& proxy : parser.values(trustedProxy)) {
        const QString subnet = proxy.contains(u'/') ? proxy : proxy + (proxy.contains(u':') ? u"/128"_s : u"/32"_s);
        const std::pair<QHostAddress, int> parsed = QHostAddress::parseSubnet(subnet);
        if (parsed.first.isNull())
            return usageError(u"--trusted-proxy takes an address or a network such as 127.0.0.1 or 10.0.0.0/24, "
                              "not '%1'"_s.arg(proxy));
        limits.trustedProxies.append(parsed);
    }
    raiseDescriptorLimit();

    std::unique_ptr<ImageStore> store;
    QString storeLine; // "images in /srv/images (3 so far, 15369 of 1073741824 bytes)"
    if (parser.isSet(s3Endpoint) || parser.isSet(s3Bucket)) {
        if (!parser.isSet(s3Endpoint) || !parser.isSet(s3Bucket))
            return usageError(u"--s3-endpoint and --s3-bucket go together"_s);
        if (parser.isSet(data) || parser.isSet(maxBytes))
            return usageError(u"--data and --max-bytes are for a folder; with --s3-endpoint the images are in the "
                              "bucket, and its quota is the limit"_s);
        S3Store::Settings settings;
        settings.endpoint = QUrl(parser.value(s3Endpoint), QUrl::StrictMode);
        settings.bucket = parser.value(s3Bucket);
        settings.accessKey = qgetenv("AWS_ACCESS_KEY_ID");
        settings.secretKey = qgetenv("AWS_SECRET_ACCESS_KEY");
        if (const QByteArray region = qgetenv("AWS_REGION"); !region.isEmpty())
            settings.region = region;
        if (const QString problem = S3Store::checkEndpoint(settings.endpoint); !problem.isEmpty())
            return usageError(problem);
        if (const QString problem = S3Store::checkBucket(settings.bucket); !problem.isEmpty())
            return usageError(problem);
        if (settings.accessKey.isEmpty() || settings.secretKey.isEmpty())
            return usageError(u"--s3-endpoint needs the store's credentials in AWS_ACCESS_KEY_ID and "
                              "AWS_SECRET_ACCESS_KEY"_s);
        if (!QRegularExpression(u"^[a-z0-9-]+$"_s).match(QString::fromLatin1(settings.region)).hasMatch())
            return usageError(u"AWS_REGION takes a region name such as us-east-1, not '%1'"_s.arg(
                QString::fromLatin1(settings.region)));

        auto s3 = std::make_unique<S3Store>(settings);
        QString error;
        switch (s3->createBucket(&error)) {
        case ImageStore::Outcome::Stored:
            break;
        case ImageStore::Outcome::Unavailable:
            // It may come back by itself: a service that will not start would have to be started again.
            std::fprintf(stderr,
                         "tarnwick-service: the S3 store is not reachable just now (%s); until it is, uploads and "
                         "images get 503\n",
                         qPrintable(error));
            break;
        case ImageStore::Outcome::Full:
        case ImageStore::Outcome::Failed:
            std::fprintf(stderr, "tarnwick-service: the S3 store refuses the bucket: %s\n", qPrintable(error));
            return 1;
        }
        storeLine = u"images in %1"_s.arg(s3->bucketUrl());
        store = std::move(s3);
    } else {
        auto folder = std::make_unique<FolderStore>(parser.value(data), *limit);
        if (!folder->open()) {
            std::fprintf(stderr, "tarnwick-service: %s\n", qPrintable(folder->errorString()));
            return 1;
        }
        storeLine = u"images in %1 (%2 so far, %3 of %4 bytes)"_s.arg(parser.value(data))
                        .arg(folder->count())
                        .arg(folder->usedBytes())
                        .arg(folder->maxBytes());
        store = std::move(folder);
    }
    ImageService service(*store, QCoreApplication::applicationFilePath(), limits);
    QObject::connect(&service, &ImageService::requestLogged,
                     [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    service.setLinkBase(linkBase);
    if (!service.start(address, quint16(portNumber))) {
        std::fprintf(stderr, "tarnwick-service: cannot listen on %s port %u: %s\n", qPrintable(address.toString()),
                     portNumber, qPrintable(service.errorString()));
        if (portNumber < 1024)
            std::fprintf(stderr, "tarnwick-service: ports below 1024 need root; try --port 8080\n");
        return 1;
    }

    const QString host =
        address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']' : address.toString();
    std::printf("tarnwick-service listening on http://%s:%u/\n", qPrintable(host), unsigned(service.port()));
    std::fflush(stdout);
    std::fprintf(stderr, "tarnwick-service: %s; links on %s\n", qPrintable(storeLine), qPrintable(service.linkBase()));
    return QCoreApplication::exec();
}
