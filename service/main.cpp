#include "ImageService.h"

#include "modTarnwickEndpoint.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop: the handler only writes a byte, the
// loop does the rest.
bool quitOnSignals(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

void usage(FILE* to)
{
    std::fprintf(to,
                 "usage: tarnwick-service [--port N | N]\n"
                 "Serves the Tarnwick upload page on http://127.0.0.1:N/ (default port %u; 0 picks a free port).\n",
                 unsigned(modTarnwick::kServicePort));
}

// "--port 8080", "--port=8080" or "8080"; false on anything else.
bool parsePort(const QStringList& arguments, quint16* port, bool* help)
{
    bool seen = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString value = arguments[i];
        if (value == u"-h" || value == u"--help") {
            *help = true;
            return true;
        }
        if (value == u"--port" || value == u"-p") {
            if (++i >= arguments.size())
                return false;
            value = arguments[i];
        } else if (value.startsWith(u"--port=")) {
            value = value.mid(7);
        } else if (value.startsWith(u'-')) {
            return false;
        }
        bool ok = false;
        const uint number = value.toUInt(&ok);
        if (!ok || number > 65535 || seen)
            return false;
        *port = quint16(number);
        seen = true;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-service"));

    quint16 port = modTarnwick::kServicePort;
    bool help = false;
    if (!parsePort(QCoreApplication::arguments(), &port, &help)) {
        usage(stderr);
        return 2;
    }
    if (help) {
        usage(stdout);
        return 0;
    }

    ImageService service;
    QObject::connect(&service, &ImageService::requestLogged, [](const QString& line) {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    });
    if (!service.start(port)) {
        std::fprintf(stderr, "tarnwick-service: cannot listen on 127.0.0.1:%u: %s\n", unsigned(port),
                     qPrintable(service.errorString()));
        if (port < 1024)
            std::fprintf(stderr, "tarnwick-service: ports below 1024 need root; try --port 8080\n");
        return 1;
    }
    if (!quitOnSignals(app))
        std::fprintf(stderr, "tarnwick-service: cannot watch for SIGTERM/SIGINT; stop it with SIGKILL\n");

    std::printf("tarnwick-service listening on http://127.0.0.1:%u/\n", unsigned(service.port()));
    std::fflush(stdout);
    const int code = QCoreApplication::exec();
    std::fprintf(stderr, "tarnwick-service: stopped\n");
    return code;
}
