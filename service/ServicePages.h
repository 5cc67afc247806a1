#pragma once

#include <QByteArray>
#include <QString>

class QDateTime;

// The HTML the service answers with. Every page ends with "</html>": the
// uploader's socket transport reads until it sees that tag.
namespace ServicePages {

struct Links
{
    QString home; // "http://localhost:8080/"
    QString view; // page that shows the image
    QString direct; // the image's own bytes
    QString thumbnail; // scaled preview
};

// "http://Img.Example.org/" -> "http://img.example.org"; "http://example.org/pics" -> itself;
// "https://example.org", "http://example.org/?a=1", "not a url" -> "" (unusable)
QString linkBase(const QString& baseUrl);

Links linksFor(const QString& base, const QByteArray& id, const QString& fileName);

// The answer to a good upload; it carries every link code the uploader cuts out.
QByteArray resultPage(const Links& links, const QString& fileName, qint64 size);
QByteArray viewPage(const Links& links, const QString& fileName, qint64 size, const QDateTime& time);
QByteArray homePage();
QByteArray errorPage(const QString& title, const QString& message);

// Control and format characters (bidirectional marks, zero-width ones),
// line separators and Hangul fillers removed, at most 200 UTF-16 units
// with no character cut in half; "", "." and ".." become "image".
QString displayName(const QByteArray& fileName);

} // namespace ServicePages
