#include "CommandLine.h"

#include "ImageUpload.h"
#include "UploadLimits.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>

#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral("tarnwick-uploader");

// The program's options, declared once for parsing and for the help text.
struct Options
{
    Options()
    {
        parser.setApplicationDescription(QStringLiteral(
            "Uploads an image to Tarnwick and gives back its eight ready-made links.\n"
            "Without --print the window opens, with FILE chosen when one is named.\n"
            "With --print each FILE in turn is uploaded to the compiled-in service without a\n"
            "window; its links go to standard output, one per line, and a failure is told on\n"
            "standard error. Exit status: 0 when every file gave links, 1 when any did not,\n"
            "2 for wrong usage."));
        parser.addOption(print);
        parser.addOption(socket);
        parser.addOption(randomName);
        parser.addPositionalArgument(QStringLiteral("FILE"),
                                     QStringLiteral("An image of at most 3145727 bytes; several with --print."),
                                     QStringLiteral("[FILE...]"));
    }

    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption print{QStringLiteral("print"),
                             QStringLiteral("Upload each FILE without a window and print its links.")};
    QCommandLineOption socket{QStringLiteral("socket"),
                              QStringLiteral("With --print: upload over a plain socket, not the HTTP client.")};
    QCommandLineOption randomName{QStringLiteral("random-name"),
                                  QStringLiteral("With --print: store each image under a random name with its extension.")};
};

CommandLine WrongUsage(const QString& error)
{
    CommandLine command;
    command.mode = CommandLine::Mode::Usage;
    command.error = error;
    return command;
}

int PrintLinks(const CommandLine& command, QIODevice& out, QIODevice& err, const ServiceEndpoint& endpoint,
               std::chrono::milliseconds responseTimeout)
{
    const ImageUpload::Transport transport = command.socket ? ImageUpload::Transport::Socket : ImageUpload::Transport::HttpClient;
    int status = CommandLine::ExitSuccess;
    for (const QString& file : command.files) {
        ImageUpload upload(endpoint, responseTimeout);
        QEventLoop ended;
        QObject::connect(&upload, &ImageUpload::Ended, &ended, &QEventLoop::quit);
        upload.Start(file, transport, command.randomName);
        if (!upload.HasEnded())
            ended.exec();

        if (const std::optional<TransportFailure::Failure>& failure = upload.Failure()) {
            err.write(CommandLine::FailureLine(file, *failure));
            status = CommandLine::ExitFailure;
            continue;
        }
        // Copy All's rows, each ended by LF where the clipboard has CR LF.
        QByteArray links;
        for (const std::string& link : upload.Links())
            links += QByteArray::fromStdString(link) + '\n';
        out.write(links);
    }
    return status;
}

} // namespace

CommandLine CommandLine::Parse(const QStringList& arguments)
{
    if (arguments.size() <= 1)
        return {};

    Options options;
    QCommandLineParser& parser = options.parser;
    if (!parser.parse(arguments))
        return WrongUsage(parser.errorText());
    if (parser.isSet(options.help) || parser.isSet(QStringLiteral("help-all"))) {
        CommandLine command;
        command.mode = Mode::Help;
        return command;
    }
    if (parser.isSet(options.version)) {
        CommandLine command;
        command.mode = Mode::Version;
        return command;
    }

    CommandLine command;
    command.files = parser.positionalArguments();
    command.socket = parser.isSet(options.socket);
    command.randomName = parser.isSet(options.randomName);
    if (parser.isSet(options.print)) {
        if (command.files.isEmpty())
            return WrongUsage(QStringLiteral("--print needs at least one FILE."));
        command.mode = Mode::Print;
        return command;
    }
    if (command.socket || command.randomName)
        return WrongUsage(QStringLiteral("--socket and --random-name go with --print."));
    if (command.files.size() > 1)
        return WrongUsage(QStringLiteral("The window takes one FILE; --print uploads several."));
    return command;
}

QStringList CommandLine::ArgumentsOf(int argc, const char* const argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

QByteArray CommandLine::FailureLine(const QString& file, const TransportFailure::Failure& failure)
{
    return QFile::encodeName(file) + ": " + TransportFailure::MessageText(failure.number, failure.description).toLocal8Bit()
        + '\n';
}

int CommandLine::RunWithoutWindow() const
{
    QFile out;
    QFile err;
    // Unbuffered on the descriptors: each file's links are out as soon as it is done.
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    return RunWithoutWindow(out, err, ServiceEndpoint::CompiledIn(), UploadLimits::ResponseTimeout);
}

int CommandLine::RunWithoutWindow(QIODevice& out, QIODevice& err, const ServiceEndpoint& endpoint,
                                  std::chrono::milliseconds responseTimeout) const
{
    switch (mode) {
    case Mode::Print:
        return PrintLinks(*this, out, err, endpoint, responseTimeout);
    case Mode::Help:
        out.write(Options().parser.helpText().toLocal8Bit());
        return ExitSuccess;
    case Mode::Version:
        out.write((kProgram + u' ' + QStringLiteral(TARNWICK_VERSION) + u'\n').toLocal8Bit());
        return ExitSuccess;
    case Mode::Usage:
    case Mode::Window:
        break;
    }
    const QString said = mode == Mode::Usage ? error : QStringLiteral("This mode needs the window.");
    err.write((kProgram + QStringLiteral(": ") + said + u'\n' + QStringLiteral("Try '") + kProgram
               + QStringLiteral(" --help' for more information.\n"))
                  .toLocal8Bit());
    return ExitUsage;
}
