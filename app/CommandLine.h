#pragma once

// What the arguments ask of the program: the window (with an image already
// chosen, when one is named), or, with --print, uploads without a window
// whose links go to standard output. Parsed before any application object
// exists, since the answer decides which one is made: only the window needs
// a display.

#include "ServiceEndpoint.h"
#include "TransportFailure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class QIODevice;

struct CommandLine
{
    enum class Mode { Window, Print, Help, Version, Usage };

    // Exit statuses, as scripts test them.
    static constexpr int ExitSuccess = 0;
    static constexpr int ExitFailure = 1; // some file gave no links
    static constexpr int ExitUsage = 2;

    Mode mode = Mode::Window;
    QStringList files; // Window: none or one. Print: one or more, in order; "-" is standard input.
    bool socket = false;
    bool randomName = false;
    // --name: what the image on standard input goes up as; empty for
    // "stdin" and the extension its leading bytes show.
    QString inputName;
    // --service: where the uploads go instead of the address the environment,
    // the configuration file or the build gives (see ServiceChoice).
    std::optional<ServiceEndpoint> service;
    QString error; // Usage: what is wrong, in one line

    // {"tarnwick-uploader", "--print", "shot.png"}: the program first, as in argv.
    static CommandLine Parse(const QStringList& arguments);
    static QStringList ArgumentsOf(int argc, const char* const argv[]);

    // Every mode but Window, in a process with a QCoreApplication: standard
    // output and error, the service that ServiceChoice picks; a source of it
    // that is set but cannot be used is wrong usage. Returns the exit status.
    int RunWithoutWindow() const;
    // in: what "-" reads, standard input when none is given.
    int RunWithoutWindow(QIODevice& out, QIODevice& err, const ServiceEndpoint& endpoint,
                         std::chrono::milliseconds responseTimeout, std::chrono::milliseconds answerDeadline,
                         QIODevice* in = nullptr) const;

    // "shot.png: 500 - The service answered ...": a file that gave no links,
    // as standard error tells it, the file as it was named.
    // The file name that stands for standard input.
    static constexpr const char* StandardInput = "-";

    static QByteArray FailureLine(const QString& file, const TransportFailure::Failure& failure);
};
