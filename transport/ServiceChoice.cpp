#include "ServiceChoice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const char* const kEnvironmentVariable = "TARNWICK_SERVICE";
const QString kKey = QStringLiteral("service");

QString tr(const char* text)
{
    return QCoreApplication::translate("ServiceChoice", text);
}

// "service = URL" -> "URL"; a comment or another key -> nothing.
std::optional<QString> ServiceValueOf(const QString& line)
{
    const QString trimmed = line.trimmed();
    const qsizetype equals = trimmed.indexOf(u'=');
    if (trimmed.startsWith(u'#') || trimmed.startsWith(u';') || equals < 0 || trimmed.left(equals).trimmed() != kKey)
        return std::nullopt;
    return trimmed.mid(equals + 1).trimmed();
}

} // namespace

QString ServiceChoice::ConfigFilePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // XDG_CONFIG_HOME must be absolute; a relative one counts as unset.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/tarnwick/uploader.conf");
}

std::optional<QString> ServiceChoice::ConfiguredUrl(QString* failure)
{
    QFile file(ConfigFilePath());
    if (!file.exists())
        return QString();
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (failure)
            *failure = tr("%1 cannot be read: %2").arg(file.fileName(), file.errorString());
        return std::nullopt;
    }
    // The last line wins, as a line added at the end is meant to.
    QString url;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (const std::optional<QString> value = ServiceValueOf(QString::fromUtf8(line)))
            url = *value;
    }
    return url;
}

bool ServiceChoice::SaveConfiguredUrl(const QString& url, QString* failure)
{
    const QString path = ConfigFilePath();
    QStringList lines;
    QFile old(path);
    if (old.exists()) {
        if (!old.open(QIODevice::ReadOnly)) {
            if (failure)
                *failure = tr("%1 cannot be read: %2").arg(path, old.errorString());
            return false;
        }
        lines = QString::fromUtf8(old.readAll()).split(u'\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
    }
    // The first service line takes the new value where it stands; any later one would override it.
    QStringList kept;
    bool written = url.isEmpty();
    for (const QString& line : std::as_const(lines)) {
        if (!ServiceValueOf(line)) {
            kept.append(line);
        } else if (!written) {
            kept.append(kKey + u'=' + url);
            written = true;
        }
    }
    if (!written)
        kept.append(kKey + u'=' + url);

    QSaveFile file(path);
    const bool saved = QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write((kept.join(u'\n') + (kept.isEmpty() ? QString() : QStringLiteral("\n"))).toUtf8()) >= 0
        && file.commit();
    if (!saved && failure)
        *failure = tr("%1 cannot be written: %2").arg(path, file.errorString());
    return saved;
}

ServiceChoice ServiceChoice::Choose(const std::optional<ServiceEndpoint>& commandLine)
{
    ServiceChoice choice;
    if (commandLine) {
        choice.endpoint = *commandLine;
        choice.source = Source::CommandLine;
        return choice;
    }
    QString refusal;
    const QString fromEnvironment = qEnvironmentVariable(kEnvironmentVariable);
    if (!fromEnvironment.isEmpty()) {
        if (const std::optional<ServiceEndpoint> endpoint = ServiceEndpoint::FromUrl(fromEnvironment, &refusal)) {
            choice.endpoint = *endpoint;
            choice.source = Source::Environment;
            return choice;
        }
        choice.refused.append(QLatin1String(kEnvironmentVariable) + QStringLiteral(": ") + refusal);
    }
    QString failure;
    const std::optional<QString> fromFile = ConfiguredUrl(&failure);
    if (!fromFile) {
        choice.refused.append(failure);
    } else if (!fromFile->isEmpty()) {
        if (const std::optional<ServiceEndpoint> endpoint = ServiceEndpoint::FromUrl(*fromFile, &refusal)) {
            choice.endpoint = *endpoint;
            choice.source = Source::ConfigFile;
            return choice;
        }
        choice.refused.append(ConfigFilePath() + QStringLiteral(": ") + refusal);
    }
    return choice;
}

QString ServiceChoice::SourceName() const
{
    switch (source) {
    case Source::CommandLine:
        return tr("the command line (--service)");
    case Source::Environment:
        return QLatin1String(kEnvironmentVariable);
    case Source::ConfigFile:
        return ConfigFilePath();
    case Source::CompiledIn:
        break;
    }
    return tr("the compiled-in address");
}
