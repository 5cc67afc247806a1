#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The HTML the service answers with. Every page ends with "</html>": the
// uploader's socket transport reads until it sees that tag.
namespace ServicePages {

struct Links
{
    QString home;      // "http://localhost:8080/"
    QString view;      // page that shows the image
    QString direct;    // the image's own bytes
    QString thumbnail; // scaled preview
};

// ("localhost:8080", 8080) -> "http://localhost:8080"; ("", 80) -> "http://127.0.0.1";
// a Host value that is no plain name or address falls back to 127.0.0.1.
QString linkBase(QByteArrayView hostHeader, quint16 port);

Links linksFor(const QString& base, const QByteArray& id, const QString& fileName);

// The answer to a good upload; it carries every link code the uploader cuts out.
QByteArray resultPage(const Links& links, const QString& fileName, qint64 size);
QByteArray viewPage(const Links& links, const QString& fileName, qint64 size);
QByteArray homePage();
QByteArray errorPage(const QString& title, const QString& message);

// Control characters removed, at most 200 characters; "" becomes "image".
QString displayName(const QByteArray& fileName);

} // namespace ServicePages
