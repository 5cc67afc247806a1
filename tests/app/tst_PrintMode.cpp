// The print mode in-process against a scripted loopback peer: links on
// standard output, one line per failed file on standard error, and the exit
// status. A GUI-less application: anything that reached for a widget, a font
// or the clipboard would fail here.

#include "CommandLine.h"
#include "FixtureServer.h"
#include "UploadLimits.h"
#include "UploadTestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <memory>

using namespace std::chrono_literals;

namespace {

// Long enough never to end a healthy exchange on a busy machine.
constexpr std::chrono::milliseconds kLimit = 5s;
// For the cases that must run into it.
constexpr std::chrono::milliseconds kShortLimit = 400ms;

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// input: what "-" reads as standard input.
Run PrintMode(const QStringList& options, const QStringList& files, quint16 port,
              std::chrono::milliseconds limit = kLimit, QByteArray input = {},
              std::chrono::milliseconds answerDeadline = UploadLimits::AnswerDeadline)
{
    const CommandLine command = CommandLine::Parse(
        QStringList { QStringLiteral("tarnwick-uploader"), QStringLiteral("--print") } + options + files);
    Run run;
    if (command.mode != CommandLine::Mode::Print) {
        run.err = command.error.toUtf8();
        return run;
    }
    QBuffer out(&run.out);
    QBuffer err(&run.err);
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    QBuffer in(&input);
    run.status = command.RunWithoutWindow(out, err, LoopbackEndpoint(port), limit, answerDeadline, &in);
    return run;
}

// Every request gets the same whole answer; a socket client reads it to its
// closing tag, the HTTP client to the end of the connection.
void AnswerEveryRequest(FixtureServer& server, const QByteArray& answer)
{
    server.SetAnswer([answer](QTcpSocket* socket, const QByteArray&) { FixtureServer::SendAndClose(socket, answer); });
}

QByteArray EveryByteValue(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 256) & 0xFF);
    return bytes;
}

// Bytes that tell one file's upload from another's.
QByteArray ImageBytes(char tag)
{
    QByteArray bytes(4000, tag);
    bytes.prepend("\x89PNG\r\n\x1a\n");
    return bytes;
}

QByteArray Lines(const QStringList& lines)
{
    QByteArray text;
    for (const QString& line : lines)
        text += line.toUtf8() + '\n';
    return text;
}

} // namespace

class tst_PrintMode : public QObject
{
    Q_OBJECT

private slots:
    void links_data();
    void links();
    void failures_data();
    void failures();
    void standardInput_data();
    void standardInput();
    void standardInputRefused_data();
    void standardInputRefused();
    void hostileAnswers_data();
    void hostileAnswers();
};

void tst_PrintMode::links_data()
{
    QTest::addColumn<bool>("socket");
    QTest::addColumn<bool>("randomName");
    QTest::addColumn<int>("fileCount");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QStringList>("printed");

    const QByteArray page = FixtureServer::ResultPage();
    const QStringList links(FixtureServer::ExpectedLinks());
    // Without the first section its three rows are "n.a": Copy All leaves them out.
    const QByteArray detailsOnly = "<html><body>" + page.mid(page.indexOf("<p>Include details"));

    QTest::newRow("http client") << false << false << 1 << page << links;
    QTest::newRow("socket") << true << false << 1 << page << links;
    QTest::newRow("http client, random name") << false << true << 1 << page << links;
    QTest::newRow("socket, random name") << true << true << 1 << page << links;
    QTest::newRow("http client, two files") << false << false << 2 << page << links;
    QTest::newRow("socket, two files") << true << false << 2 << page << links;
    QTest::newRow("socket, one section") << true << false << 1 << detailsOnly << links.mid(3);
}

void tst_PrintMode::links()
{
    QFETCH(bool, socket);
    QFETCH(bool, randomName);
    QFETCH(int, fileCount);
    QFETCH(QByteArray, page);
    QFETCH(QStringList, printed);

    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerEveryRequest(server, FixtureServer::HttpAnswer(200, page));
    const TemporaryImage first(ImageBytes('a'), QStringLiteral("first.png"));
    const TemporaryImage second(ImageBytes('b'), QStringLiteral("second.gif"));
    const QList<const TemporaryImage*> images = QList { &first, &second }.mid(0, fileCount);
    QStringList options;
    if (socket)
        options << QStringLiteral("--socket");
    if (randomName)
        options << QStringLiteral("--random-name");
    QStringList files;
    for (const TemporaryImage* image : images)
        files << image->Path();

    const Run run = PrintMode(options, files, server.Port());
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, Lines(printed).repeated(fileCount));
    QCOMPARE(run.status, 0);

    // Each file went up in turn, whole, over the transport asked for, on a
    // connection of its own.
    QList<QByteArray> requests;
    for (int i = 0; i < server.Connections(); ++i)
        requests.append(server.Received(i));
    QCOMPARE(requests.size(), fileCount);
    for (int i = 0; i < fileCount; ++i) {
        const QByteArray& request = requests[i];
        QVERIFY(request.startsWith(socket ? "POST /? HTTP/1.0\r\n" : "POST / HTTP/1.1\r\n"));
        QVERIFY(FixtureServer::BodyOf(request).contains(ImageBytes(i == 0 ? 'a' : 'b')));
        const QString name = QFileInfo(files[i]).fileName();
        const QString uploadName = randomName ? QStringLiteral("[A-Za-z0-9]{8}\\.") + QFileInfo(name).suffix()
                                              : QRegularExpression::escape(name);
        QVERIFY2(QRegularExpression(QStringLiteral("filename=\"%1\"\r\n").arg(uploadName))
                     .match(QString::fromLatin1(request))
                     .hasMatch(),
                 FixtureServer::HeadersOf(FixtureServer::BodyOf(request)).constData());
    }
}

void tst_PrintMode::failures_data()
{
    QTest::addColumn<bool>("socket");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QStringList>("files"); // "good", "over" (3145728 bytes), "missing", "folder", "unreadable"
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("text"); // empty: any description

    const QString tooBig = QStringLiteral("This image is too big. Maximum file size is 3mb.");
    const QString noLinks = QStringLiteral("The service answered 500 Internal Server Error and sent no links");
    for (const bool socket : { false, true }) {
        const char* name = socket ? "socket" : "http client";
        QTest::addRow("%s: too big, nothing sent", name)
            << socket << "answers" << QStringList { "over" } << int(EFBIG) << tooBig;
        QTest::addRow("%s: missing file", name) << socket << "answers" << QStringList { "missing" } << int(ENOENT)
                                                << QStringLiteral("No such file or directory");
        QTest::addRow("%s: refused", name)
            << socket << "refused" << QStringList { "good" } << int(ECONNREFUSED) << QString();
        QTest::addRow("%s: silence", name)
            << socket << "silence" << QStringList { "good" } << int(ETIMEDOUT) << QString();
        QTest::addRow("%s: 500 without links", name) << socket << "500" << QStringList { "good" } << 500 << noLinks;
        QTest::addRow("%s: unparsable page", name)
            << socket << "unparsable" << QStringList { "good" } << 5 << QString();
        QTest::addRow("%s: redirect without a page", name)
            << socket << "302" << QStringList { "good" } << 302
            << QStringLiteral("The service answered 302 Found and sent no links; it points to http://elsewhere.test/");
    }
    QTest::newRow("folder") << false << "answers" << QStringList { "folder" } << int(EISDIR)
                            << QStringLiteral("Is a directory");
    QTest::newRow("unreadable file") << true << "answers" << QStringList { "unreadable" } << int(EACCES) << QString();
    QTest::newRow("second of two missing")
        << false << "answers" << QStringList { "good", "missing" } << int(ENOENT) << QString();
    QTest::newRow("first of two too big")
        << true << "answers" << QStringList { "over", "good" } << int(EFBIG) << tooBig;
}

void tst_PrintMode::failures()
{
    QFETCH(bool, socket);
    QFETCH(QString, peer);
    QFETCH(QStringList, files);
    QFETCH(int, number);
    QFETCH(QString, text);

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile good(dir.filePath(QStringLiteral("good.png")));
    QVERIFY(good.open(QIODevice::WriteOnly) && good.write(ImageBytes('g')) > 0);
    good.close();
    QVERIFY(MakeFile(dir.filePath(QStringLiteral("over.png")), 3145728));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.png")));
    QVERIFY(MakeFile(dir.filePath(QStringLiteral("unreadable.png")), 100));
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("unreadable.png")), QFileDevice::Permissions()));
    if (files.contains(QLatin1String("unreadable"))
        && QFile(dir.filePath(QStringLiteral("unreadable.png"))).open(QIODevice::ReadOnly))
        QSKIP("This user reads files whatever their permissions");

    FixtureServer server;
    quint16 port = RefusingPort();
    if (peer != QLatin1String("refused")) {
        QVERIFY(server.Listen());
        port = server.Port();
    }
    if (peer == QLatin1String("answers"))
        AnswerEveryRequest(server, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    else if (peer == QLatin1String("500"))
        AnswerEveryRequest(server, "HTTP/1.0 500 Internal Server Error\r\n\r\n<html><body>Broken.</body></html>");
    else if (peer == QLatin1String("302"))
        AnswerEveryRequest(server,
                           "HTTP/1.0 302 Found\r\nLocation: http://elsewhere.test/\r\nContent-Length: 0\r\n\r\n");
    else if (peer == QLatin1String("unparsable"))
        AnswerEveryRequest(server,
                           FixtureServer::HttpAnswer(200, "<html><body>Please use clickable thumbnail</body></html>"));

    QStringList paths;
    for (const QString& file : files)
        paths << dir.filePath(file + QStringLiteral(".png"));
    const Run run =
        PrintMode(socket ? QStringList { QStringLiteral("--socket") } : QStringList(), paths, port, kShortLimit);

    QCOMPARE(run.status, 1);
    // One file fails: the only one, or the one of two that is not "good".
    const qsizetype failed = files.size() > 1 && files.constFirst() == QLatin1String("good") ? 1 : 0;
    const QByteArray start = '"' + QFile::encodeName(paths[failed]) + "\": " + QByteArray::number(number) + " - ";
    if (text.isEmpty()) {
        QVERIFY2(run.err.startsWith(start) && run.err.size() > start.size() + 1, run.err.constData());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY(run.err.endsWith('\n'));
    } else {
        QCOMPARE(run.err, start + text.toLocal8Bit() + '\n');
    }
    // The other file of two still went up and gave its links.
    QCOMPARE(run.out, files.size() > 1 ? Lines(QStringList(FixtureServer::ExpectedLinks())) : QByteArray());

    // Only the good file reached the peer.
    const bool sent = files.contains(QLatin1String("good")) && peer != QLatin1String("refused");
    QCOMPARE(server.CompleteRequests(), sent ? 1 : 0);
    // A file refused here opens no connection at all.
    if (files.size() == 1 && !sent && peer != QLatin1String("refused")) {
        QCoreApplication::processEvents();
        QCOMPARE(server.Connections(), 0);
    }
}

void tst_PrintMode::standardInput_data()
{
    QTest::addColumn<bool>("socket");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("uploadName"); // a pattern

    const QByteArray png = ImageBytes('p');
    QByteArray gif = QByteArray(5000, 'g').prepend("GIF89a");
    QTest::newRow("http client, a PNG") << false << QStringList {} << png << QStringLiteral("stdin\\.png");
    QTest::newRow("socket, a PNG") << true << QStringList {} << png << QStringLiteral("stdin\\.png");
    QTest::newRow("a GIF") << false << QStringList {} << gif << QStringLiteral("stdin\\.gif");
    QTest::newRow("bytes of no known kind")
        << true << QStringList {} << QByteArray(300, 'x') << QStringLiteral("stdin");
    QTest::newRow("named") << false << QStringList { "--name", "harbour.jpg" } << png
                           << QStringLiteral("harbour\\.jpg");
    QTest::newRow("named, socket, random name") << true << QStringList { "--name", "harbour.jpg", "--random-name" }
                                                << png << QStringLiteral("[A-Za-z0-9]{8}\\.jpg");
    QTest::newRow("random name, the extension sniffed")
        << false << QStringList { "--random-name" } << gif << QStringLiteral("[A-Za-z0-9]{8}\\.gif");
    QTest::newRow("3145727 bytes, the largest")
        << true << QStringList {} << EveryByteValue(3145727 - 8).prepend("\x89PNG\r\n\x1a\n")
        << QStringLiteral("stdin\\.png");
}

// The image on standard input goes up as a file of the same bytes would,
// under its own name, and its links are printed.
void tst_PrintMode::standardInput()
{
    QFETCH(bool, socket);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, input);
    QFETCH(QString, uploadName);

    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerEveryRequest(server, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    if (socket)
        options << QStringLiteral("--socket");

    const Run run = PrintMode(options, { QStringLiteral("-") }, server.Port(), kLimit, input);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, Lines(QStringList(FixtureServer::ExpectedLinks())));
    QCOMPARE(run.status, 0);

    QCOMPARE(server.CompleteRequests(), 1);
    const QByteArray request = server.Received();
    QVERIFY(request.startsWith(socket ? "POST /? HTTP/1.0\r\n" : "POST / HTTP/1.1\r\n"));
    const QByteArray body = FixtureServer::BodyOf(request);
    const QRegularExpression part(
        QStringLiteral("^--([A-Za-z0-9]{32})\r\nContent-Disposition: form-data; name=\"fileupload\"; "
                       "filename=\"%1\"\r\nContent-Type: multipart/form-data\r\n\r\n$")
            .arg(uploadName));
    const qsizetype headEnd = body.indexOf("\r\n\r\n") + 4;
    const QRegularExpressionMatch head = part.match(QString::fromLatin1(body.left(headEnd)));
    QVERIFY2(head.hasMatch(), body.left(headEnd).constData());
    QCOMPARE(body.mid(headEnd), input + "\r\n--" + head.captured(1).toLatin1() + "--");
}

void tst_PrintMode::standardInputRefused_data()
{
    QTest::addColumn<bool>("socket");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("told");

    const QByteArray empty = "\"-\": 22 - Standard input was empty: there is no image to upload\n";
    const QByteArray tooBig = "\"-\": 27 - This image is too big. Maximum file size is 3mb.\n";
    QTest::newRow("empty, http client") << false << QByteArray() << empty;
    QTest::newRow("empty, socket") << true << QByteArray() << empty;
    QTest::newRow("3145728 bytes, http client")
        << false << QByteArray(3145728, 'x').prepend("\x89PNG\r\n\x1a\n").left(3145728) << tooBig;
    QTest::newRow("far more, socket") << true << QByteArray(8 * 1024 * 1024, 'x') << tooBig;
}

// Nothing is sent: the input is refused before any connection, and the
// files around it still go up.
void tst_PrintMode::standardInputRefused()
{
    QFETCH(bool, socket);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, told);

    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerEveryRequest(server, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    const TemporaryImage file(ImageBytes('f'), QStringLiteral("after.png"));

    const Run run = PrintMode(socket ? QStringList { QStringLiteral("--socket") } : QStringList(),
                              { QStringLiteral("-"), file.Path() }, server.Port(), kLimit, input);
    QCOMPARE(run.err, told);
    QCOMPARE(run.out, Lines(QStringList(FixtureServer::ExpectedLinks())));
    QCOMPARE(run.status, 1);
    QCOMPARE(server.Connections(), 1);
    QVERIFY(FixtureServer::BodyOf(server.Received()).contains(ImageBytes('f')));
}

void tst_PrintMode::hostileAnswers_data()
{
    QTest::addColumn<bool>("socket");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("trickle"); // then a byte every 50 ms, without end
    QTest::addColumn<QByteArray>("told");

    const QByteArray start = "http://pics.test/";
    const QByteArray unshowable = "74 - The service's page holds a link that cannot be shown: link 8 ";
    const auto pageWith = [](const QByteArray& link) {
        return FixtureServer::HttpAnswer(200, FixtureServer::ResultPageWithLastLink(link));
    };
    for (const bool socket : { false, true }) {
        const char* name = socket ? "socket" : "http client";
        QTest::addRow("%s: a link with a line feed", name)
            << socket << pageWith(start + "i/7.png\nhttp://evil.test/x.png") << false
            << unshowable + "holds U+000A, which is not printable";
        QTest::addRow("%s: a link with an escape sequence", name)
            << socket << pageWith("\x1b]52;c;ZXZpbA==\x07" + start + "i/7.png") << false
            << unshowable + "holds U+001B, which is not printable";
        QTest::addRow("%s: a link with a NUL", name) << socket
                                                     << pageWith(start
                                                                 + QByteArray("i/\0"
                                                                              "7.png",
                                                                              8))
                                                     << false << unshowable + "holds U+0000, which is not printable";
        QTest::addRow("%s: a link with a C1 control", name)
            << socket
            << pageWith(start
                        + "\xc2\x85"
                          "i/7.png")
            << false << unshowable + "holds U+0085, which is not printable";
        QTest::addRow("%s: a link too long for a row", name)
            << socket << pageWith(start + QByteArray(40000, 'a')) << false
            << unshowable + "has 40017 characters, more than a row holds (32767)";
        QTest::addRow("%s: a flood of header lines", name)
            << socket << "HTTP/1.1 200 OK\r\n" + QByteArray("X-Flood: x\r\n").repeated(10000) << false
            << QByteArray("71 - The service's answer is malformed: its status line and headers run past 64 KiB");
        QTest::addRow("%s: a byte now and then", name)
            << socket << QByteArray("HTTP/1.0 200 OK\r\n\r\n<html>") << true
            << QByteArray("110 - The service was too slow to answer: its answer was not complete within 1.5 seconds");
    }
}

// What a hostile service answers never reaches standard output: the file's
// failure is told on standard error, on one line, and the run ends.
void tst_PrintMode::hostileAnswers()
{
    QFETCH(bool, socket);
    QFETCH(QByteArray, answer);
    QFETCH(bool, trickle);
    QFETCH(QByteArray, told);

    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([&](QTcpSocket* peer, const QByteArray&) {
        if (!trickle) {
            FixtureServer::SendAndClose(peer, answer);
            return;
        }
        peer->write(answer);
        FixtureServer::TrickleForever(peer, 'x', 50ms);
    });
    const TemporaryImage image(ImageBytes('h'), QStringLiteral("hostile.png"));

    const Run run = PrintMode(socket ? QStringList { QStringLiteral("--socket") } : QStringList(), { image.Path() },
                              server.Port(), 1s, {}, 1500ms);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, '"' + QFile::encodeName(image.Path()) + "\": " + told + '\n');
    QCOMPARE(run.status, 1);
}

QTEST_GUILESS_MAIN(tst_PrintMode)
#include "tst_PrintMode.moc"
