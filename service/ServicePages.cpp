#include "ServicePages.h"

#include "MultipartUpload.h"

#include <QDateTime>
#include <QLocale>
#include <QUrl>

#include <algorithm>

namespace ServicePages {

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kMaxDisplayName = 200;
constexpr qsizetype kMaxNameInLink = 80;

const QString kStyle = QStringLiteral(
    "body{margin:0;font:15px/1.5 system-ui,-apple-system,\"Segoe UI\",sans-serif;background:#f2f4f7;color:#1f2933}\n"
    "header{background:#1f4e79;padding:12px 28px}\n"
    "header a{color:#fff;text-decoration:none;font-weight:600;font-size:20px;letter-spacing:.5px}\n"
    "main{max-width:780px;margin:24px auto;background:#fff;border-radius:8px;padding:20px 28px 28px;"
    "box-shadow:0 1px 3px rgba(0,0,0,.12)}\n"
    "h1{font-size:22px;margin:4px 0 12px}\n"
    "h2{font-size:17px;margin:26px 0 4px;color:#1f4e79}\n"
    ".note{color:#52606d;margin:4px 0 10px}\n"
    ".codes label{display:block;margin:6px 0;color:#3e4c59;font-size:14px}\n"
    ".codes input{font:13px ui-monospace,monospace;padding:4px 6px;border:1px solid #c5ccd3;"
    "border-radius:4px;max-width:100%;box-sizing:border-box}\n"
    ".preview{float:right;margin:0 0 12px 18px;padding:4px;border:1px solid #dde2e7;border-radius:4px}\n"
    ".preview img{display:block}\n"
    ".full{max-width:100%;height:auto;border:1px solid #dde2e7}\n"
    ".share{margin:18px 0 6px}\n"
    "form{margin:18px 0}\n"
    "button{font:inherit;padding:4px 16px}\n"
    "footer{text-align:center;color:#7b8794;font-size:13px;margin:0 0 24px}\n");

// At most size UTF-16 units, without half of a character outside the BMP.
QString leftWhole(const QString& text, qsizetype size)
{
    if (text.size() <= size)
        return text;
    return text.left(size > 0 && text.at(size - 1).isHighSurrogate() ? size - 1 : size);
}

// Safe inside element text and double- or single-quoted attributes.
QString escaped(const QString& text)
{
    return text.toHtmlEscaped().replace(u'\'', QStringLiteral("&#39;"));
}

QString sizeText(qint64 size)
{
    return QLocale(QLocale::English).toString(size) + (size == 1 ? u" byte"_s : u" bytes"_s);
}

// suffix: what follows the title in the browser's tab
QByteArray page(const QString& title, const QString& content, const QString& suffix = u" - Tarnwick"_s)
{
    const QString html = u"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"_s
        + u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>"_s + escaped(title)
        + suffix + u"</title>\n<style>\n"_s + kStyle
        + u"</style>\n</head>\n<body>\n<header><a href=\"/\">Tarnwick</a></header>\n<main>\n"_s + content
        + u"</main>\n<footer>Tarnwick image sharing</footer>\n</body>\n</html>"_s;
    return html.toUtf8();
}

// A read-only field; pages run no script.
QString field(const QString& attributes, const QString& value, const QString& after)
{
    return u"<label><input type=\"text\" readonly "_s + attributes + u"value=\""_s + value + after + u"</label>\n"_s;
}

} // namespace

QString linkBase(const QString& baseUrl)
{
    // Plain http only: the uploader looks for link codes that begin with "http://".
    const QUrl url(baseUrl, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != u"http" || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery()
        || url.hasFragment())
        return {};
    QString base = url.toString(QUrl::FullyEncoded);
    while (base.endsWith(u'/'))
        base.chop(1);
    // Links go into the pages unescaped.
    if (std::any_of(base.begin(), base.end(), [](QChar c) { return QStringView(u"\"'<>&\\").contains(c); }))
        return {};
    return base;
}

QString displayName(const QByteArray& fileName)
{
    QString name = QString::fromUtf8(fileName);
    // Browsers of old sent the whole client path.
    const qsizetype slash = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
    if (slash >= 0 && slash + 1 < name.size())
        name = name.mid(slash + 1);
    // What a reader cannot see or that rearranges the text around it:
    // controls (C1 too), format characters (zero-width ones, the BOM, the
    // marks that turn text around, so that "cat\u202egnp.exe" would show as
    // "catexe.png"), line and paragraph separators, and the Hangul fillers,
    // letters that draw nothing.
    QList<char32_t> kept;
    for (const char32_t c : name.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        const bool hidden = category == QChar::Other_Control || category == QChar::Other_Format
            || category == QChar::Separator_Line || category == QChar::Separator_Paragraph || c == 0x115f || c == 0x1160
            || c == 0x3164 || c == 0xffa0;
        if (!hidden)
            kept.append(c);
    }
    name = leftWhole(QString::fromUcs4(kept.constData(), kept.size()), kMaxDisplayName).trimmed();
    // "." and ".." would be taken out of the direct link by every client.
    const bool onlyDots = std::all_of(name.begin(), name.end(), [](QChar c) { return c == u'.'; });
    return onlyDots ? u"image"_s : name;
}

Links linksFor(const QString& base, const QByteArray& id, const QString& fileName)
{
    const QString key = QString::fromLatin1(id);
    const QString linkName = QString::fromLatin1(QUrl::toPercentEncoding(leftWhole(fileName, kMaxNameInLink)));
    Links links;
    links.home = base + u'/';
    links.view = base + u"/view/"_s + key;
    links.direct = base + u"/i/"_s + key + u'/' + linkName;
    links.thumbnail = base + u"/t/"_s + key + u".jpg"_s;
    return links;
}

// The order of the fields and the exact text around their values is what the
// uploader searches for; the visible wording is free. Links carry no '&', '"',
// '<' or '>' (ids are alphanumeric, names percent-encoded, the base checked), so
// they need no escaping except where the value is itself HTML code.
QByteArray resultPage(const Links& links, const QString& fileName, qint64 size)
{
    const QString name = escaped(fileName);
    const QString thumbnailHtml =
        u"<a href=\""_s + links.view + u"\"><img src=\""_s + links.thumbnail + u"\" alt=\"\" /></a>"_s;
    const QString hotlinkHtml =
        u"<a href=\""_s + links.view + u"\"><img src=\""_s + links.direct + u"\" alt=\"\" /></a>"_s;
    const QString thumbnailForum1 = u"[url="_s + links.view + u"][img]"_s + links.thumbnail + u"[/img][/url]"_s;
    const QString thumbnailForum2 = u"[URL="_s + links.view + u"][IMG]"_s + links.thumbnail + u"[/IMG][/URL]"_s;
    const QString hotlinkForum1 = u"[img]"_s + links.direct + u"[/img]"_s;
    const QString hotlinkForum2 = u"[url="_s + links.view + u"][img]"_s + links.direct + u"[/img][/url]"_s;
    const QString sectionOne = u"size=\"70\" "_s;
    const QString sectionTwo = u"style=\"width: 500px\" size=\"70\" "_s;

    QString content;
    content += u"<a class=\"preview\" href=\""_s + links.view + u"\"><img src=\""_s + links.thumbnail
        + u"\" alt=\"Preview of "_s + name + u"\"></a>\n"_s;
    content += u"<h1>Your image is online</h1>\n"_s;
    content += u"<p class=\"note\"><b>"_s + name + u"</b> &middot; "_s + sizeText(size) + u"</p>\n"_s;

    content += u"<h2>Preview codes</h2>\n"_s;
    content += u"<p class=\"note\">Please use clickable thumbnail codes where you can: visitors see a small "
               "preview and reach the full image with one click.</p>\n<div class=\"codes\">\n"_s;
    content += field(sectionOne, escaped(thumbnailHtml), u"\" /> Thumbnail for Websites"_s);
    content += field(sectionOne, thumbnailForum1, u"\" /> Thumbnail for forums (1)"_s);
    content += field(sectionOne, thumbnailForum2, u"\" /> Thumbnail for forums (2)"_s);
    content += u"</div>\n"_s;

    content += u"<h2>Full-size codes</h2>\n"_s;
    content += u"<p class=\"note\">Include details at full size: these codes show the image itself "
               "instead of a preview.</p>\n<div class=\"codes\">\n"_s;
    content += field(sectionTwo, hotlinkForum1, u"\"/> Hotlink for forums (1)"_s);
    content += field(sectionTwo, hotlinkForum2, u"\"/> Hotlink for forums (2)"_s);
    content += field(sectionTwo, escaped(hotlinkHtml), u"\"/> Hotlink for Websites"_s);
    content += u"</div>\n"_s;
    content += u"<p class=\"share\"><a href=\""_s + links.view
        + u"\"><b>Show</b> this image to friends</a>, or send them its address:</p>\n<div class=\"codes\">\n"_s;
    content += field(sectionTwo, links.direct, u"\"/> Direct link to image"_s);
    content += u"</div>\n"_s;
    content += u"<p><a href=\""_s + links.home + u"\">Upload another image</a></p>\n"_s;
    return page(u"Your image is online"_s, content);
}

QByteArray viewPage(const Links& links, const QString& fileName, qint64 size, const QDateTime& time)
{
    const QString name = escaped(fileName);
    QString content;
    content += u"<h1>"_s + name + u"</h1>\n"_s;
    content += u"<p class=\"note\">"_s + sizeText(size) + u" &middot; shared "_s
        + time.toUTC().toString(u"yyyy-MM-dd HH:mm 'UTC'"_s) + u"</p>\n"_s;
    content += u"<p><img class=\"full\" src=\""_s + links.direct + u"\" alt=\""_s + name + u"\"></p>\n"_s;
    content += u"<p><a href=\""_s + links.direct + u"\">Open the image on its own</a> &middot; <a href=\""_s
        + links.home + u"\">Share an image of your own</a></p>\n"_s;
    return page(fileName, content);
}

QByteArray homePage()
{
    QString content;
    content += u"<h1>Share an image</h1>\n"_s;
    content += u"<p>Choose an image of at most "_s + sizeText(MultipartUpload::kMaxFileBytes)
        + u". The next page hands you ready-made codes for web pages and forums.</p>\n"_s;
    content += u"<form method=\"post\" action=\"/\" enctype=\"multipart/form-data\">\n"
               "<input type=\"file\" name=\"fileupload\" accept=\"image/*\" required>\n"
               "<button type=\"submit\">Upload</button>\n</form>\n"_s;
    content += u"<p class=\"note\">Images are kept on this service's disk, and their links keep working "
               "for as long as it runs; none is removed to make room for another.</p>\n"_s;
    return page(u"Share an image"_s, content);
}

QByteArray errorPage(const QString& title, const QString& message)
{
    QString content;
    content += u"<h1>"_s + escaped(title) + u"</h1>\n"_s;
    content += u"<p>"_s + escaped(message) + u"</p>\n"_s;
    content += u"<p><a href=\"/\">Back to the upload form</a></p>\n"_s;
    // The title alone: a client that fails shows it as the reason.
    return page(title, content, QString());
}

} // namespace ServicePages
