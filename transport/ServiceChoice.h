#pragma once

// Which service the uploads go to, chosen at start: the first of these that
// is set wins.
//   1. --service URL on the command line
//   2. TARNWICK_SERVICE in the environment
//   3. a line service=URL in $XDG_CONFIG_HOME/tarnwick/uploader.conf (~/.config
//      when XDG_CONFIG_HOME is unset or not absolute)
//   4. the compiled-in address
// An empty value counts as not set. A value that is set but cannot be used
// is refused with the reason; the caller decides whether to go on with the
// next source (the window, after telling the user) or to stop (--print).

#include "ServiceEndpoint.h"

#include <QString>
#include <QStringList>

#include <optional>

struct ServiceChoice
{
    enum class Source { CommandLine, Environment, ConfigFile, CompiledIn };

    ServiceEndpoint endpoint = ServiceEndpoint::CompiledIn();
    Source source = Source::CompiledIn;
    // Each source before the chosen one that was set but cannot be used, one line each.
    QStringList refused;

    // commandLine: what --service gave, already read; nothing when it was not given.
    static ServiceChoice Choose(const std::optional<ServiceEndpoint>& commandLine);

    // Where source 3 lives.
    static QString ConfigFilePath();
    // The file's service= value: empty when the file or the line is missing.
    // A file that exists but cannot be read gives nothing, and why.
    static std::optional<QString> ConfiguredUrl(QString* failure = nullptr);
    // Writes the file whole or not at all, its folder made when missing: the
    // service= line set to url, or gone for an empty url; every other line
    // kept as the user wrote it. False and why when it could not be written.
    static bool SaveConfiguredUrl(const QString& url, QString* failure = nullptr);

    // "the command line (--service)", "TARNWICK_SERVICE", the file's path, "the compiled-in address".
    QString SourceName() const;
};
