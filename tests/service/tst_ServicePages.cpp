#include "MultipartUpload.h"
#include "ServicePages.h"
#include "modTarnwick.h"

#include <QtTest>

#include <string>

using namespace Qt::StringLiterals;

namespace {

// What the uploader makes of a page, with every failure report it would show.
struct Parsed
{
    QStringList texts;
    QStringList reports;
};

Parsed parseLikeTheUploader(const QByteArray& page)
{
    Parsed parsed;
    const modTarnwick::ErrorReportScope recordReports([&parsed](std::int32_t number, const std::string& description) {
        parsed.reports.append(QString::number(number) + u" - "_s + QString::fromStdString(description));
    });
    const modTarnwick::LinkSet links = modTarnwick::ParseResultPage(page.toStdString());
    for (const std::string& link : links)
        parsed.texts.append(QString::fromStdString(link));
    return parsed;
}

} // namespace

class tst_ServicePages : public QObject
{
    Q_OBJECT

private slots:
    void resultPageFillsEverySlot_data();
    void resultPageFillsEverySlot();
    void otherPagesCarryNoLinks_data();
    void otherPagesCarryNoLinks();
    void linkBase_data();
    void linkBase();
    void displayName_data();
    void displayName();
};

void tst_ServicePages::resultPageFillsEverySlot_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("nameInLink");

    QTest::newRow("plain name") << u"http://localhost:8080"_s << u"cat.png"_s << u"cat.png"_s;
    QTest::newRow("port 80, spaces and accents")
        << u"http://localhost"_s << u"Ferien am Meer é.jpg"_s << u"Ferien%20am%20Meer%20%C3%A9.jpg"_s;
    QTest::newRow("name made of markers")
        << u"http://127.0.0.1:9"_s
        << uR"(Include details"/>value="<a href="</HTML>&quot;Please use clickable thumbnail)"_s
        << uR"(Include%20details%22%2F%3Evalue%3D%22%3Ca%20href%3D%22%3C%2FHTML%3E%26quot%3BPlease%20use%20clickable%20thumbnail)"_s;
    // The link holds 80 UTF-16 units of the name; a character is not cut in half to fit.
    QTest::newRow("long name cut before a character outside the BMP")
        << u"http://localhost"_s << QString(79, u'n') + u"\U0001F600.png"_s << QString(79, u'n');
}

void tst_ServicePages::resultPageFillsEverySlot()
{
    QFETCH(QString, base);
    QFETCH(QString, fileName);
    QFETCH(QString, nameInLink);

    const ServicePages::Links links = ServicePages::linksFor(base, "k3x9pq2mzt", fileName);
    QCOMPARE(links.direct, base + u"/i/k3x9pq2mzt/"_s + nameInLink);
    QCOMPARE(links.view, base + u"/view/k3x9pq2mzt"_s);
    QCOMPARE(links.thumbnail, base + u"/t/k3x9pq2mzt.jpg"_s);

    const QByteArray page = ServicePages::resultPage(links, fileName, 3145727);
    QVERIFY(page.endsWith("</html>"));
    // The socket transport stops reading at the first closing tag, in any letter case.
    QCOMPARE(page.toLower().count("</html>"), 1);

    const Parsed parsed = parseLikeTheUploader(page);
    QCOMPARE(parsed.reports, QStringList());
    const QStringList expected = {
        u"<a href=\""_s + links.view + u"\"><img src=\""_s + links.thumbnail + u"\" alt=\"\" /></a>"_s,
        u"[url="_s + links.view + u"][img]"_s + links.thumbnail + u"[/img][/url]"_s,
        u"[URL="_s + links.view + u"][IMG]"_s + links.thumbnail + u"[/IMG][/URL]"_s,
        u"[img]"_s + links.direct + u"[/img]"_s,
        u"[url="_s + links.view + u"][img]"_s + links.direct + u"[/img][/url]"_s,
        u"<a href=\""_s + links.view + u"\"><img src=\""_s + links.direct + u"\" alt=\"\" /></a>"_s,
        links.view,
        links.direct,
    };
    QCOMPARE(parsed.texts, expected);
}

void tst_ServicePages::otherPagesCarryNoLinks_data()
{
    QTest::addColumn<QByteArray>("page");

    using E = MultipartUpload::Error;
    for (E error : { E::NotMultipart, E::NoBoundary, E::Malformed, E::NoFilePart, E::EmptyFile, E::FileTooLarge }) {
        QTest::addRow("refused upload %d", int(error))
            << ServicePages::errorPage(u"Upload refused"_s, MultipartUpload::describe(error));
    }
    QTest::newRow("home") << ServicePages::homePage();
    const ServicePages::Links links = ServicePages::linksFor(u"http://localhost:8080"_s, "abc", u"a.png"_s);
    QTest::newRow("view") << ServicePages::viewPage(links, u"a.png"_s, 10, QDateTime::currentDateTimeUtc());
}

// An answer that is no result still ends the socket transport's wait and shows "n.a".
void tst_ServicePages::otherPagesCarryNoLinks()
{
    QFETCH(QByteArray, page);
    QVERIFY(page.endsWith("</html>"));
    QCOMPARE(page.toLower().count("</html>"), 1);
    const Parsed parsed = parseLikeTheUploader(page);
    QCOMPARE(parsed.reports, QStringList());
    QCOMPARE(parsed.texts, QStringList(8, u"n.a"_s));
}

void tst_ServicePages::linkBase_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("base");

    QTest::newRow("default form") << u"http://localhost:8080"_s << u"http://localhost:8080"_s;
    QTest::newRow("trailing slashes, capitals") << u"HTTP://Img.Example.ORG//"_s << u"http://img.example.org"_s;
    QTest::newRow("path") << u"http://example.org/pics/"_s << u"http://example.org/pics"_s;
    QTest::newRow("address and port") << u"http://[::1]:5000"_s << u"http://[::1]:5000"_s;
    QTest::newRow("encoded space") << u"http://example.org/my%20pics"_s << u"http://example.org/my%20pics"_s;
    QTest::newRow("bare space") << u"http://example.org/my pics"_s << QString();
    QTest::newRow("https, which the uploader does not read") << u"https://example.org"_s << QString();
    QTest::newRow("other scheme") << u"ftp://example.org"_s << QString();
    QTest::newRow("no host") << u"http:///pics"_s << QString();
    QTest::newRow("query") << u"http://example.org/?a=1"_s << QString();
    QTest::newRow("fragment") << u"http://example.org/#top"_s << QString();
    QTest::newRow("user") << u"http://me@example.org"_s << QString();
    QTest::newRow("markup") << u"http://example.org/\"><script>"_s << QString();
    QTest::newRow("ampersand and quote") << u"http://example.org/a&b'c"_s << QString();
    QTest::newRow("not a URL") << u"localhost:8080"_s << QString();
    QTest::newRow("empty") << QString() << QString();
}

void tst_ServicePages::linkBase()
{
    QFETCH(QString, url);
    QFETCH(QString, base);
    QCOMPARE(ServicePages::linkBase(url), base);
}

void tst_ServicePages::displayName_data()
{
    QTest::addColumn<QByteArray>("fileName");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain") << QByteArray("cat.png") << u"cat.png"_s;
    QTest::newRow("windows path") << QByteArray("C:\\pics\\cat.png") << u"cat.png"_s;
    QTest::newRow("control characters") << QByteArray("a\r\nb\tc.png") << u"abc.png"_s;
    QTest::newRow("empty") << QByteArray() << u"image"_s;
    QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9.png") << u"café.png"_s;
    QTest::newRow("very long") << QByteArray(500, 'n') << QString(200, u'n');
    QTest::newRow("right-to-left override") << QByteArray("cat\xe2\x80\xaegnp.exe") << u"catgnp.exe"_s;
    QTest::newRow("isolates and marks") << QByteArray("\xe2\x81\xa6"
                                                      "a\xe2\x80\x8f.png\xe2\x81\xa9")
                                        << u"a.png"_s;
    QTest::newRow("dot") << QByteArray(".") << u"image"_s;
    QTest::newRow("dot dot") << QByteArray("..") << u"image"_s;
    QTest::newRow("dots after a path") << QByteArray("x/...") << u"image"_s;
    QTest::newRow("dots in a name stay") << QByteArray("..cat..png") << u"..cat..png"_s;
    // What shows nothing, or ends a line, in the view page and the links.
    QTest::newRow("C1 controls") << QByteArray("a\xc2\x85"
                                               "b\xc2\x9b"
                                               "c.png")
                                 << u"abc.png"_s;
    QTest::newRow("zero-width characters and the BOM") << QByteArray("\xef\xbb\xbf"
                                                                     "a\xe2\x80\x8b"
                                                                     "b\xe2\x80\x8c\xe2\x80\x8d"
                                                                     "c\xe2\x81\xa0.png")
                                                       << u"abc.png"_s;
    QTest::newRow("line and paragraph separators") << QByteArray("a\xe2\x80\xa8"
                                                                 "b\xe2\x80\xa9.png")
                                                   << u"ab.png"_s;
    QTest::newRow("hangul fillers") << QByteArray("\xe1\x85\x9f"
                                                  "a\xe1\x85\xa0"
                                                  "b\xe3\x85\xa4"
                                                  "c\xef\xbe\xa0.png")
                                    << u"abc.png"_s;
    QTest::newRow("tag characters outside the BMP") << QByteArray("a\xf3\xa0\x80\x81"
                                                                  "b.png")
                                                    << u"ab.png"_s;
    QTest::newRow("cut before a character outside the BMP")
        << QByteArray(199, 'n') + "\xf0\x9f\x98\x80.png" << QString(199, u'n');
    QTest::newRow("a character outside the BMP that fits")
        << QByteArray(198, 'n') + "\xf0\x9f\x98\x80.png" << QString(198, u'n') + u"\U0001F600"_s;
}

void tst_ServicePages::displayName()
{
    QFETCH(QByteArray, fileName);
    QFETCH(QString, name);
    QCOMPARE(ServicePages::displayName(fileName), name);
}

QTEST_GUILESS_MAIN(tst_ServicePages)
#include "tst_ServicePages.moc"
