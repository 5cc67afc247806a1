#include "CommandLine.h"

#include "ImageUpload.h"
#include "ServiceChoice.h"
#include "ToolkitCore.h"
#include "UploadLimits.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <string_view>

#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral("tarnwick-uploader");

// The program's options, declared once for parsing and for the help text.
struct Options
{
    Options()
    {
        parser.setApplicationDescription(
            QStringLiteral("Uploads an image to Tarnwick and gives back its eight ready-made links.\n"
                           "Without --print the window opens, with FILE chosen when one is named.\n"
                           "With --print each FILE in turn is uploaded without a window; its links go to\n"
                           "standard output, one per line, and a failure is told on standard error. A FILE\n"
                           "of - is the image on standard input, for instance\n"
                           "  xclip -selection clipboard -t image/png -o | tarnwick-uploader --print -\n"
                           "The service is the first of: --service, TARNWICK_SERVICE in the environment,\n"
                           "a line service=URL in $XDG_CONFIG_HOME/tarnwick/uploader.conf (~/.config when\n"
                           "unset), the compiled-in address.\n"
                           "Exit status: 0 when every file gave links, 1 when any did not, 2 for wrong usage."));
        parser.addOption(print);
        parser.addOption(socket);
        parser.addOption(randomName);
        parser.addOption(name);
        parser.addOption(service);
        parser.addPositionalArgument(
            QStringLiteral("FILE"),
            QStringLiteral("An image of at most %1 bytes; several with --print, - for standard input.")
                .arg(UploadLimits::MaxImageBytes),
            QStringLiteral("[FILE...]"));
    }

    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption print { QStringLiteral("print"),
                               QStringLiteral("Upload each FILE without a window and print its links.") };
    QCommandLineOption socket { QStringLiteral("socket"),
                                QStringLiteral("With --print: upload over a plain socket, not the HTTP client.") };
    QCommandLineOption randomName { QStringLiteral("random-name"),
                                    QStringLiteral(
                                        "With --print: store each image under a random name with its extension.") };
    QCommandLineOption name { QStringLiteral("name"),
                              QStringLiteral(
                                  "With --print -: the name the image on standard input goes up as (default: stdin and "
                                  "the extension its first bytes show, stdin.png for a PNG)."),
                              QStringLiteral("NAME") };
    QCommandLineOption service { QStringLiteral("service"),
                                 QStringLiteral(
                                     "Upload to the service at URL, http:// or https://, with an optional port "
                                     "and path (default: %1).")
                                     .arg(ServiceEndpoint::CompiledIn().homePageUrl),
                                 QStringLiteral("URL") };
};

CommandLine WrongUsage(const QString& error)
{
    CommandLine command;
    command.mode = CommandLine::Mode::Usage;
    command.error = error;
    return command;
}

// Browse's checks, for a file named here: one that cannot be measured, or
// is too large to send, never reaches the network.
std::optional<TransportFailure::Failure> Refused(const QString& file)
{
    try {
        if (Toolkit::FileLen(file) > UploadLimits::MaxImageBytes)
            return TransportFailure::Failure { EFBIG, QString::fromLatin1(UploadLimits::TooBigText).trimmed() };
    } catch (const std::exception& trapped) {
        return TransportFailure::FailureOf(trapped);
    }
    return std::nullopt;
}

// The image on standard input, read to its end but never more than one byte
// past the limit; a failure for an input that is empty, too big or unreadable.
std::optional<TransportFailure::Failure> ReadImage(QIODevice& in, QByteArray& image)
{
    if (!in.isOpen() && !in.open(QIODevice::ReadOnly))
        return TransportFailure::Failure { EBADF,
                                           QStringLiteral("Standard input cannot be read: ") + in.errorString() };
    image.resize(UploadLimits::MaxImageBytes + 1);
    qint64 size = 0;
    while (size < image.size()) {
        const qint64 got = in.read(image.data() + size, image.size() - size);
        if (got < 0)
            return TransportFailure::Failure { EIO,
                                               QStringLiteral("Standard input cannot be read: ") + in.errorString() };
        if (got == 0)
            break;
        size += got;
    }
    image.truncate(size);
    if (size > UploadLimits::MaxImageBytes)
        return TransportFailure::Failure { EFBIG, QString::fromLatin1(UploadLimits::TooBigText).trimmed() };
    if (size == 0)
        return TransportFailure::Failure { EINVAL,
                                           QStringLiteral("Standard input was empty: there is no image to upload") };
    return std::nullopt;
}

// One file up, or the image on standard input; its failure, or its links on out.
std::optional<TransportFailure::Failure> Upload(ImageUpload& upload, const QString& file, const CommandLine& command,
                                                QIODevice& in, QIODevice& out)
{
    const ImageUpload::Transport transport =
        command.socket ? ImageUpload::Transport::Socket : ImageUpload::Transport::HttpClient;
    QByteArray image;
    const bool standardInput = file == QLatin1String(CommandLine::StandardInput);
    if (standardInput) {
        // Read whole before any connection: the limit is kept as for a file.
        if (std::optional<TransportFailure::Failure> refused = ReadImage(in, image))
            return refused;
    } else if (std::optional<TransportFailure::Failure> refused = Refused(file)) {
        return refused;
    }
    QEventLoop ended;
    QObject::connect(&upload, &ImageUpload::Ended, &ended, &QEventLoop::quit);
    if (standardInput) {
        const QString name = !command.inputName.isEmpty() ? command.inputName
                                                          : QStringLiteral("stdin")
                + QString::fromStdString(modTarnwick::ImageExtensionOfBytes(
                    std::string_view(image.constData(), image.size())));
        upload.Start(image, name, transport, command.randomName);
    } else {
        upload.Start(file, transport, command.randomName);
    }
    ended.exec();
    if (upload.Failure())
        return upload.Failure();

    // Copy All's rows, each ended by LF where the clipboard has CR LF.
    const QString notAvailable =
        QString::fromLatin1(modTarnwick::kNotAvailable.data(), qsizetype(modTarnwick::kNotAvailable.size()));
    QByteArray links;
    for (const std::string& link : upload.Links()) {
        if (QString::fromUtf8(link).compare(notAvailable, Qt::CaseInsensitive) != 0)
            links += QByteArray::fromStdString(link) + '\n';
    }
    out.write(links);
    return std::nullopt;
}

int PrintLinks(const CommandLine& command, QIODevice& in, QIODevice& out, QIODevice& err,
               const ServiceEndpoint& endpoint, std::chrono::milliseconds responseTimeout,
               std::chrono::milliseconds answerDeadline)
{
    ImageUpload upload(endpoint, responseTimeout, answerDeadline);
    int status = CommandLine::ExitSuccess;
    for (const QString& file : command.files) {
        if (const std::optional<TransportFailure::Failure> failure = Upload(upload, file, command, in, out)) {
            err.write(CommandLine::FailureLine(file, *failure));
            status = CommandLine::ExitFailure;
        }
    }
    return status;
}

// The name as a C string literal would hold it, quotes included: printable
// characters as they are, everything else escaped, so that no name can end
// the line or move the terminal's cursor. "a\nb.png" -> "\"a\\nb.png\"".
QByteArray Quoted(const QByteArray& name)
{
    QByteArray quoted = "\"";
    for (qsizetype i = 0; i < name.size();) {
        const uchar c = uchar(name[i]);
        // A whole UTF-8 sequence, kept when it stands for a printable character.
        const qsizetype length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (length > 1 && i + length <= name.size()) {
            const QString character = QString::fromUtf8(name.mid(i, length));
            if (character.size() >= 1 && !character.contains(QChar::ReplacementCharacter)
                && QChar::isPrint(character.toUcs4().value(0))) {
                quoted += name.mid(i, length);
                i += length;
                continue;
            }
        }
        switch (c) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (c >= 0x20 && c < 0x7F)
                quoted += char(c);
            else
                quoted += '\\' + QByteArray::number(c, 8).rightJustified(3, '0');
        }
        ++i;
    }
    return quoted + '"';
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
    command.inputName = parser.value(options.name);
    if (parser.isSet(options.service)) {
        QString refusal;
        command.service = ServiceEndpoint::FromUrl(parser.value(options.service), &refusal);
        if (!command.service)
            return WrongUsage(refusal);
    }
    const qsizetype readsInput = command.files.count(QLatin1String(StandardInput));
    if (parser.isSet(options.name) && (command.inputName.isEmpty() || readsInput == 0))
        return WrongUsage(QStringLiteral("--name names the image on standard input: --print - --name NAME."));
    if (parser.isSet(options.print)) {
        if (command.files.isEmpty())
            return WrongUsage(QStringLiteral("--print needs at least one FILE."));
        if (readsInput > 1)
            return WrongUsage(QStringLiteral("Standard input (-) holds one image; name it once."));
        command.mode = Mode::Print;
        return command;
    }
    if (command.socket || command.randomName)
        return WrongUsage(QStringLiteral("--socket and --random-name go with --print."));
    if (command.files.size() > 1)
        return WrongUsage(QStringLiteral("The window takes one FILE; --print uploads several."));
    if (readsInput > 0)
        return WrongUsage(QStringLiteral("Standard input (-) goes with --print: --print -."));
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
    QString message = TransportFailure::MessageText(failure.number, failure.description);
    // Controls (C0, DEL and C1), direction and other format characters, and
    // line and paragraph separators: none may act on the terminal.
    message.replace(QRegularExpression(QStringLiteral("[\\p{Cc}\\p{Cf}\\p{Zl}\\p{Zp}]")), QStringLiteral(" "));
    return Quoted(QFile::encodeName(file)) + ": " + message.toLocal8Bit() + '\n';
}

int CommandLine::RunWithoutWindow() const
{
    QFile out;
    QFile err;
    // Unbuffered on the descriptors: each file's links are out as soon as it is done.
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    ServiceEndpoint endpoint = ServiceEndpoint::CompiledIn();
    if (mode == Mode::Print) {
        // Nobody is there to be asked: an address that was meant but cannot be
        // used stops the run rather than sending the images somewhere else.
        const ServiceChoice choice = ServiceChoice::Choose(service);
        if (!choice.refused.isEmpty()) {
            for (const QString& refusal : choice.refused)
                err.write((kProgram + QStringLiteral(": ") + refusal + u'\n').toLocal8Bit());
            return ExitUsage;
        }
        endpoint = choice.endpoint;
    }
    return RunWithoutWindow(out, err, endpoint, UploadLimits::ResponseTimeout, UploadLimits::AnswerDeadline);
}

int CommandLine::RunWithoutWindow(QIODevice& out, QIODevice& err, const ServiceEndpoint& endpoint,
                                  std::chrono::milliseconds responseTimeout, std::chrono::milliseconds answerDeadline,
                                  QIODevice* in) const
{
    switch (mode) {
    case Mode::Print: {
        // Standard input is taken only when a "-" asks for it.
        QFile standardInput;
        if (!in) {
            in = &standardInput;
            if (files.contains(QLatin1String(StandardInput)))
                standardInput.open(STDIN_FILENO, QIODevice::ReadOnly);
        }
        return PrintLinks(*this, *in, out, err, endpoint, responseTimeout, answerDeadline);
    }
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
