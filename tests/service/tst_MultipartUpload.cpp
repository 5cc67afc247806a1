#include "MultipartUpload.h"

#include <QtTest>

namespace {

const QByteArray kBoundary = "Xa81Qz0bT5mWcR2yLk7HfJ4nPd9sVe3u";

QByteArray filePart(const QByteArray& boundary, const QByteArray& name, const QByteArray& bytes,
                    const QByteArray& partType = "multipart/form-data")
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"fileupload\"; filename=\"" + name
        + "\"\r\nContent-Type: " + partType + "\r\n\r\n" + bytes + "\r\n";
}

// Byte for byte what the uploader sends: the closing delimiter ends the body.
QByteArray uploaderBody(const QByteArray& name, const QByteArray& bytes)
{
    return filePart(kBoundary, name, bytes) + "--" + kBoundary + "--";
}

QByteArray pngLikeBytes()
{
    QByteArray bytes("\x89PNG\r\n\x1a\n", 8);
    for (int i = 0; i < 600; ++i)
        bytes.append(char(i * 7));
    return bytes;
}

} // namespace

class tst_MultipartUpload : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void boundaryOf_data();
    void boundaryOf();
    void sizeLimit();
};

void tst_MultipartUpload::parse_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<MultipartUpload::Error>("error");
    QTest::addColumn<QByteArray>("fileName");
    QTest::addColumn<QByteArray>("fileBytes");

    using E = MultipartUpload::Error;
    const QByteArray uploaderType = "multipart/form-data, boundary=" + kBoundary;
    const QByteArray curlType = "multipart/form-data; boundary=" + kBoundary;
    const QByteArray png = pngLikeBytes();

    QTest::newRow("uploader form: comma, no CR LF after the closing delimiter")
        << uploaderType << uploaderBody("cat.png", png) << E::None << QByteArray("cat.png") << png;
    QTest::newRow("curl form: semicolon, image type, CR LF after the end")
        << curlType << filePart(kBoundary, "cat.png", png, "image/png") + "--" + kBoundary + "--\r\n"
        << E::None << QByteArray("cat.png") << png;
    QTest::newRow("browser form: other fields first, a part without head lines")
        << curlType
        << "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nhello\r\n--" + kBoundary
            + "\r\n\r\nbare\r\n" + filePart(kBoundary, "a b.gif", "GIF89a...") + "--" + kBoundary + "--\r\n"
        << E::None << QByteArray("a b.gif") << QByteArray("GIF89a...");
    QTest::newRow("quoted boundary holding a comma and a space")
        << QByteArray("multipart/form-data; boundary=\"x, y\"") << filePart("x, y", "q.png", png) + "--x, y--"
        << E::None << QByteArray("q.png") << png;
    QTest::newRow("letter case of type and parameter names")
        << "Multipart/Form-Data; BOUNDARY=" + kBoundary << uploaderBody("c.jpg", "\xff\xd8\xff") << E::None
        << QByteArray("c.jpg") << QByteArray("\xff\xd8\xff");
    QTest::newRow("boundary text inside the file bytes")
        << uploaderType << uploaderBody("b.bin", "a--" + kBoundary + "b\r\n--" + kBoundary + "X\r\n" + kBoundary + "--")
        << E::None << QByteArray("b.bin") << "a--" + kBoundary + "b\r\n--" + kBoundary + "X\r\n" + kBoundary + "--";
    QTest::newRow("file bytes of CR LF only") << uploaderType << uploaderBody("n.txt", "\r\n\r\n") << E::None
                                              << QByteArray("n.txt") << QByteArray("\r\n\r\n");
    QTest::newRow("unescaped quote in the name")
        << uploaderType << uploaderBody("my\"cat.png", png) << E::None << QByteArray("my\"cat.png") << png;
    QTest::newRow("empty name") << uploaderType << uploaderBody("", png) << E::None << QByteArray() << png;
    QTest::newRow("a field of the same name without a file comes first") << curlType
                                                                         << "--" + kBoundary
            + "\r\nContent-Disposition: form-data; name=\"fileupload\"\r\n\r\ntext\r\n" + uploaderBody("real.png", png)
                                                                         << E::None << QByteArray("real.png") << png;

    QTest::newRow("not multipart") << QByteArray("application/x-www-form-urlencoded") << QByteArray("fileupload=abc")
                                   << E::NotMultipart << QByteArray() << QByteArray();
    QTest::newRow("no content type") << QByteArray() << uploaderBody("a.png", png) << E::NotMultipart << QByteArray()
                                     << QByteArray();
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << uploaderBody("a.png", png) << E::NoBoundary
                                 << QByteArray() << QByteArray();
    QTest::newRow("boundary not in the body")
        << curlType << QByteArray("just some bytes") << E::Malformed << QByteArray() << QByteArray();
    QTest::newRow("a preamble before the first delimiter")
        << curlType << "preamble\r\n" + uploaderBody("a.png", png) << E::Malformed << QByteArray() << QByteArray();
    QTest::newRow("no closing delimiter")
        << uploaderType << filePart(kBoundary, "a.png", png).chopped(2) << E::Malformed << QByteArray() << QByteArray();
    QTest::newRow("part headers never end")
        << uploaderType << "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"fileupload\"" << E::Malformed
        << QByteArray() << QByteArray();
    QTest::newRow("missing file part") << curlType
                                       << "--" + kBoundary
            + "\r\nContent-Disposition: form-data; name=\"other\"; filename=\"a.png\"\r\n\r\nxyz\r\n--" + kBoundary
            + "--" << E::NoFilePart << QByteArray()
                                       << QByteArray();
    QTest::newRow("only the closing delimiter")
        << uploaderType << "--" + kBoundary + "--" << E::NoFilePart << QByteArray() << QByteArray();
    QTest::newRow("empty file") << uploaderType << uploaderBody("a.png", QByteArray()) << E::EmptyFile << QByteArray()
                                << QByteArray();
}

void tst_MultipartUpload::parse()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(MultipartUpload::Error, error);
    QFETCH(QByteArray, fileName);
    QFETCH(QByteArray, fileBytes);

    const MultipartUpload upload = MultipartUpload::parse(contentType, body);
    QCOMPARE(upload.error(), error);
    QCOMPARE(upload.fileName(), fileName);
    QCOMPARE(upload.fileBytes().toByteArray(), fileBytes);
    QVERIFY(!MultipartUpload::describe(upload.error()).isEmpty());
}

void tst_MultipartUpload::boundaryOf_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("multipart");
    QTest::addColumn<QByteArray>("boundary");

    QTest::newRow("comma") << QByteArray("multipart/form-data, boundary=AbC") << true << QByteArray("AbC");
    QTest::newRow("a quote inside a quoted value")
        << QByteArray("multipart/form-data; boundary=\"a\"b\" ; x=1") << true << QByteArray("a\"b");
    QTest::newRow("a quote that never closes")
        << QByteArray("multipart/form-data; boundary=\"ab; x=1") << true << QByteArray("\"ab");
    QTest::newRow("a parameter without a value first")
        << QByteArray("multipart/form-data; x; boundary=AbC") << true << QByteArray("AbC");
    QTest::newRow("the first of two") << QByteArray("multipart/form-data; boundary=a, BOUNDARY=b") << true
                                      << QByteArray("a");
    QTest::newRow("semicolon, spaces") << QByteArray("multipart/form-data ;  boundary=AbC ") << true
                                       << QByteArray("AbC");
    QTest::newRow("quoted") << QByteArray("multipart/form-data; boundary=\"a;b\"") << true << QByteArray("a;b");
    QTest::newRow("after another parameter")
        << QByteArray("multipart/form-data; charset=utf-8; boundary=z") << true << QByteArray("z");
    QTest::newRow("empty boundary") << QByteArray("multipart/form-data; boundary=") << true << QByteArray();
    QTest::newRow("boundary far too long")
        << "multipart/form-data; boundary=" + QByteArray(300, 'a') << true << QByteArray();
    QTest::newRow("other multipart type") << QByteArray("multipart/mixed; boundary=AbC") << false << QByteArray();
}

void tst_MultipartUpload::boundaryOf()
{
    QFETCH(QByteArray, contentType);
    QFETCH(bool, multipart);
    QFETCH(QByteArray, boundary);

    bool isMultipart = !multipart;
    QCOMPARE(MultipartUpload::boundaryOf(contentType, &isMultipart), boundary);
    QCOMPARE(isMultipart, multipart);
}

void tst_MultipartUpload::sizeLimit()
{
    const QByteArray type = "multipart/form-data, boundary=" + kBoundary;
    const QByteArray largest(MultipartUpload::kMaxFileBytes, '\x5a');
    const MultipartUpload accepted = MultipartUpload::parse(type, uploaderBody("big.png", largest));
    QCOMPARE(accepted.error(), MultipartUpload::Error::None);
    QCOMPARE(accepted.fileBytes().size(), MultipartUpload::kMaxFileBytes);

    const MultipartUpload refused = MultipartUpload::parse(type, uploaderBody("big.png", largest + 'x'));
    QCOMPARE(refused.error(), MultipartUpload::Error::FileTooLarge);
}

QTEST_GUILESS_MAIN(tst_MultipartUpload)
#include "tst_MultipartUpload.moc"
