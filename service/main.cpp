#include "FolderStore.h"
#include "ImageService.h"
#include "ServicePages.h"

#include "modTarnwickEndpoint.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdio>
#include <limits>
#include <optional>

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

int usageError(const QString& message)
{
    std::fprintf(stderr, "tarnwick-service: %s\nTry 'tarnwick-service --help' for more.\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"tarnwick-service"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Serves the Tarnwick upload page and the images uploaded to it, which it "
                                     "keeps in a folder across restarts."_s);
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
    const QCommandLineOption baseUrl(u"base-url"_s,
                                     u"Build links on <url>. Default: http://localhost and the port."_s, u"url"_s);
    const QCommandLineOption perAddress(u"max-per-address"_s,
                                        u"Let one client address hold at most <n> connections at once; 0 for no "
                                        "limit. 127.0.0.1 and ::1 have none. Default: 64."_s,
                                        u"n"_s, u"64"_s);
    QCommandLineOption makeThumbnail(u"make-thumbnail"_s, u"Read an image on standard input and write its "
                                                          "thumbnail on standard output (the service runs itself so)."_s);
    makeThumbnail.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({ port, bind, data, maxBytes, baseUrl, perAddress, makeThumbnail });

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
        return usageError(u"--max-bytes takes a positive number of bytes such as 500M, not '%1'"_s.arg(
            parser.value(maxBytes)));
    const QString linkBase = ServicePages::linkBase(parser.value(baseUrl));
    if (parser.isSet(baseUrl) && linkBase.isEmpty())
        return usageError(u"--base-url takes an http URL without query, such as http://img.example.org, "
                          "not '%1'"_s.arg(parser.value(baseUrl)));

    HttpServer::Limits limits;
    limits.maxPerAddress = parser.value(perAddress).toInt(&ok);
    if (!ok || limits.maxPerAddress < 0)
        return usageError(u"--max-per-address takes a number of connections, 0 for no limit, not '%1'"_s.arg(
            parser.value(perAddress)));

    FolderStore store(parser.value(data), *limit);
    if (!store.open()) {
        std::fprintf(stderr, "tarnwick-service: %s\n", qPrintable(store.errorString()));
        return 1;
    }
    ImageService service(store, QCoreApplication::applicationFilePath(), limits);
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
    std::fprintf(stderr, "tarnwick-service: images in %s (%d so far, %lld of %lld bytes); links on %s\n",
                 qPrintable(parser.value(data)), store.count(), store.usedBytes(), store.maxBytes(),
                 qPrintable(service.linkBase()));
    return QCoreApplication::exec();
}
