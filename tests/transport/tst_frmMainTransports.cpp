// Both upload transports of the real window, against a scripted loopback peer.

#include "CommonDialog.h"
#include "FixtureServer.h"
#include "InetControl.h"
#include "StreamTestSupport.h"
#include "UploadLimits.h"
#include "WindowTestSupport.h"
#include "WinsockControl.h"
#include "modTarnwick.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

using namespace std::chrono_literals;

enum class Transport { Socket, Inet };
Q_DECLARE_METATYPE(Transport)

namespace {

constexpr std::chrono::milliseconds kShortLimit = 400ms;
constexpr qint64 kAnswerLimit = 16 * 1024 * 1024;

QPushButton* ButtonOf(const frmMain& window, Transport transport)
{
    return ControlOf<QPushButton>(
        window, transport == Transport::Socket ? QStringLiteral("cmdWinsock") : QStringLiteral("cmdInet"));
}

void Click(frmMain& window, Transport transport)
{
    auto* button = ButtonOf(window, transport);
    QVERIFY(button);
    QVERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
}

void SetImage(frmMain& window, const QString& path, bool randomName = false)
{
    ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->setText(path);
    ControlOf<QCheckBox>(window, QStringLiteral("chkRandomName"))->setChecked(randomName);
}

QStringList Rows(const frmMain& window)
{
    QStringList rows;
    for (int i = 0; i < 8; ++i)
        rows << ResultRow(window, i)->text();
    return rows;
}

// Inputs enabled and the idle caption; rows enabled (results shown) or not.
void VerifyIdle(const frmMain& window, bool rowsEnabled)
{
    QCOMPARE(window.windowTitle(), QStringLiteral("Tarnwick Uploader"));
    for (const char* input : { "cmdBrowse", "cmdWinsock", "cmdInet", "chkRandomName" })
        QVERIFY2(ControlOf(window, QLatin1String(input))->isEnabled(), input);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(ResultRow(window, i)->isEnabled(), rowsEnabled);
    QCOMPARE(ControlOf(window, QStringLiteral("cmdCopyAll"))->isEnabled(), rowsEnabled);
}

QStringList ExpectedRows()
{
    return QStringList(FixtureServer::ExpectedLinks());
}

// Answers the next request with the full result page, as the transport expects it.
void AnswerWithPage(FixtureServer& server, Transport transport)
{
    server.SetAnswer([transport](QTcpSocket* socket, const QByteArray&) {
        if (transport == Transport::Socket)
            socket->write(kSocketHead + FixtureServer::ResultPage()); // left open: the window closes it
        else
            FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    });
}

// Answers the next request with page, and closes.
void AnswerWith(FixtureServer& server, Transport transport, const QByteArray& page)
{
    server.SetAnswer([transport, page](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(
            socket, transport == Transport::Socket ? kSocketHead + page : FixtureServer::HttpAnswer(200, page));
    });
}

// Lets every limit armed by the upload run out, so a late second message would show.
void OutlastLimit()
{
    bool done = false;
    QTimer::singleShot(kShortLimit + 150ms, [&done] { done = true; });
    QTRY_VERIFY(done);
}

// Uploads to a server that answers with page: the upload fails with message
// alone, and neither the rows nor copyRow and Copy All give anything.
void VerifyPageRefused(Transport transport, const QByteArray& page, const QString& message, const QString& copyRow)
{
    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWith(server, transport, page);
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), kShortLimit);
    SetImage(*window, image.Path());
    QGuiApplication::clipboard()->setText(QStringLiteral("the user's own text"));

    Click(*window, transport);
    QTRY_COMPARE(messages.shown.size(), 1);
    QCOMPARE(messages.shown.first().text, message);
    VerifyIdle(*window, false);
    QCOMPARE(Rows(*window), QStringList(8, QString()));
    for (const QString& copy : { copyRow, QStringLiteral("cmdCopyAll") })
        QTest::mouseClick(ControlOf<QPushButton>(*window, copy), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("the user's own text"));
    OutlastLimit();
    QCOMPARE(messages.shown.size(), 1);
}

QByteArray BoundaryOf(const QByteArray& request)
{
    const QByteArray type = FixtureServer::HeaderValues(request, "Content-Type").value(0);
    const QByteArray prefix = "multipart/form-data, boundary=";
    return type.startsWith(prefix) ? type.mid(prefix.size()) : QByteArray();
}

QByteArray UploadNameOf(const QByteArray& request)
{
    const QByteArray marker = "filename=\"";
    const qsizetype start = request.indexOf(marker);
    if (start < 0)
        return {};
    const qsizetype end = request.indexOf('"', start + marker.size());
    return request.mid(start + marker.size(), end - start - marker.size());
}

// The builder's output for the same file, with the boundary and upload name
// that this build drew replaced by those seen on the wire.
QByteArray AsSent(QByteArray built, const QByteArray& sentBoundary, const QByteArray& sentName)
{
    // A body starts with "--" and the boundary; a whole request names it in its header.
    const QByteArray builtBoundary = built.startsWith("--") ? built.mid(2, 32) : BoundaryOf(built);
    const QByteArray builtName = UploadNameOf(built);
    built.replace(builtBoundary, sentBoundary);
    return built.replace("filename=\"" + builtName + '"', "filename=\"" + sentName + '"');
}

// One row for each transport.
void TransportRows()
{
    QTest::addColumn<Transport>("transport");
    QTest::newRow("socket") << Transport::Socket;
    QTest::newRow("http client") << Transport::Inet;
}

QByteArray EveryByteValue(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i & 0xFF);
    return bytes;
}

} // namespace

class tst_frmMainTransports : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestOnTheWire_data();
    void requestOnTheWire();
    void pastedImageOnTheWire_data();
    void pastedImageOnTheWire();
    void pastedImageGivesWay_data();
    void pastedImageGivesWay();
    void keyboardAlone_data();
    void keyboardAlone();
    void answers_data();
    void answers();
    void unreadablePage_data();
    void unreadablePage();
    void answersWithoutLinks_data();
    void answersWithoutLinks();
    void failures_data();
    void failures();
    void slowLink_data();
    void slowLink();
    void answerTrickles_data();
    void answerTrickles();
    void closeDuringUpload_data();
    void closeDuringUpload();
    void linksReachTheScreen_data();
    void linksReachTheScreen();
    void lastLinksNeverShownDuringAnUpload_data();
    void lastLinksNeverShownDuringAnUpload();
    void unshowableLinks_data();
    void unshowableLinks();
    void longestLink_data();
    void longestLink();
    void malformedAnswers_data();
    void malformedAnswers();
    void answerDeadline_data();
    void answerDeadline();
};

void tst_frmMainTransports::initTestCase()
{
    UseApplicationTitle();
}

void tst_frmMainTransports::requestOnTheWire_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("randomName");

    QTest::newRow("socket") << Transport::Socket << QStringLiteral("picture.png") << false;
    QTest::newRow("socket, random name") << Transport::Socket << QStringLiteral("picture.png") << true;
    QTest::newRow("socket, non-ASCII name") << Transport::Socket << QStringLiteral("Bild-\u00e4\u00df.png") << false;
    QTest::newRow("http client") << Transport::Inet << QStringLiteral("picture.png") << false;
    QTest::newRow("http client, random name") << Transport::Inet << QStringLiteral("picture.png") << true;
}

void tst_frmMainTransports::requestOnTheWire()
{
    QFETCH(Transport, transport);
    QFETCH(QString, fileName);
    QFETCH(bool, randomName);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWithPage(server, transport);
    TemporaryImage image(EveryByteValue(70000), fileName);
    auto window = OpenWindowAt(server.Port(), kShortLimit);
    SetImage(*window, QString(), randomName);
    // Typed, as a user would, rather than chosen: the box takes any path. The
    // test's keyboard knows ASCII only; a name beyond it is pasted.
    auto* pathBox = ControlOf<QLineEdit>(*window, QStringLiteral("txtImagePath"));
    QTest::keyClicks(pathBox, QFileInfo(image.Path()).path() + QLatin1Char('/'));
    pathBox->insert(fileName);
    QCOMPARE(pathBox->text(), image.Path());

    Click(*window, transport);
    QTRY_COMPARE(Rows(*window), ExpectedRows());
    VerifyIdle(*window, true);
    QCOMPARE(messages.shown.size(), 0);
    // Each box shows the start of its code, where "<a href=" or "[url=" tells what it is.
    for (int i = 0; i < 8; ++i)
        QCOMPARE(ResultRow(*window, i)->cursorPosition(), 0);

    const QByteArray received = server.Received();
    const QByteArray boundary = BoundaryOf(received);
    QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9]{32}$")).match(QString::fromLatin1(boundary)).hasMatch());
    const QByteArray name = UploadNameOf(received);
    if (randomName)
        QVERIFY2(
            QRegularExpression(QStringLiteral("^[A-Za-z0-9]{8}\\.png$")).match(QString::fromLatin1(name)).hasMatch(),
            name.constData());
    else
        QCOMPARE(name, fileName.toUtf8());

    const std::string path = QFile::encodeName(image.Path()).toStdString();
    if (transport == Transport::Socket) {
        const modTarnwick::UploadRequest built = modTarnwick::BuildUploadRequest(path, 1, randomName);
        QCOMPARE(built.size(), std::size_t(1));
        QCOMPARE(received, AsSent(QByteArray::fromStdString(built[0]), boundary, name));
        // The window closed the connection once the answer was complete.
        QVERIFY(!window->findChild<WinsockControl*>(QStringLiteral("Winsock"))->IsConnected());
        QTRY_VERIFY(!server.LastSocket());
    } else {
        const modTarnwick::UploadRequest built = modTarnwick::BuildUploadRequest(path, 0, randomName);
        QCOMPARE(built.size(), std::size_t(2));
        QVERIFY(received.startsWith("POST / HTTP/1.1\r\n"));
        QCOMPARE(FixtureServer::BodyOf(received), AsSent(QByteArray::fromStdString(built[0]), boundary, name));
        QCOMPARE(FixtureServer::HeaderValues(received, "Content-Length"),
                 QList<QByteArray> { QByteArray::number(qsizetype(FixtureServer::BodyOf(received).size())) });
        QCOMPARE(FixtureServer::HeaderValues(received, "Host").size(), 1);
    }
}

// The image's bytes in a request's form part: after the part's blank line,
// before the closing boundary.
QByteArray PartBytesOf(const QByteArray& request)
{
    const QByteArray body = FixtureServer::BodyOf(request);
    const qsizetype start = body.indexOf("\r\n\r\n") + 4;
    const qsizetype end = body.lastIndexOf("\r\n--");
    return start >= 4 && end >= start ? body.mid(start, end - start) : QByteArray();
}

// Pasted with Ctrl+V in the path box, as a user does.
void PasteInto(frmMain& window)
{
    QLineEdit* box = ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"));
    box->setFocus();
    QTest::keySequence(box, QKeySequence(QKeySequence::Paste));
}

void tst_frmMainTransports::pastedImageOnTheWire_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<int>("edge");
    QTest::addColumn<bool>("randomName");
    QTest::addColumn<QByteArray>("format");

    for (const Transport transport : { Transport::Socket, Transport::Inet }) {
        const char* name = transport == Transport::Socket ? "socket" : "http client";
        QTest::addRow("%s: PNG", name) << transport << 300 << false << QByteArray("png");
        QTest::addRow("%s: PNG, random name", name) << transport << 300 << true << QByteArray("png");
        QTest::addRow("%s: too big for PNG, a JPEG", name) << transport << 1500 << false << QByteArray("jpeg");
    }
}

// A pasted image goes up as a file of the same bytes and name would, byte
// for byte, boundary apart: the window's request is compared with its own
// upload of that file.
void tst_frmMainTransports::pastedImageOnTheWire()
{
    QFETCH(Transport, transport);
    QFETCH(int, edge);
    QFETCH(bool, randomName);
    QFETCH(QByteArray, format);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWithPage(server, transport);
    auto window = OpenWindowAt(server.Port(), 5s);
    SetImage(*window, QString(), randomName);
    const QImage screenshot = NoiseImage(edge, edge);
    CopyImage(screenshot);
    PasteInto(*window);
    const QString described = ControlOf<QLineEdit>(*window, QStringLiteral("txtImagePath"))->text();

    Click(*window, transport);
    QTRY_COMPARE(Rows(*window), ExpectedRows());
    QCOMPARE(messages.shown.size(), 0);
    const QByteArray pasted = server.Received(0);
    const QByteArray name = UploadNameOf(pasted);
    const QString extension = format == "png" ? QStringLiteral("png") : QStringLiteral("jpg");
    if (randomName)
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9]{8}\\.") + extension)
                     .match(QString::fromLatin1(name))
                     .hasMatch(),
                 name.constData());
    else
        QCOMPARE(name, "pasted." + extension.toLatin1());

    // What went up: the image itself, at its own size, of the kind and size the box told.
    const QByteArray bytes = PartBytesOf(pasted);
    QVERIFY(bytes.size() <= 3145727);
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer);
    QCOMPARE(reader.format(), format);
    const QImage decoded = reader.read();
    QCOMPARE(decoded.size(), screenshot.size());
    if (format == "png")
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), screenshot);
    QCOMPARE(described,
             QStringLiteral("Pasted image, %1, %2 KB")
                 .arg(QString::fromLatin1(format.toUpper()))
                 .arg((bytes.size() + 512) / 1024));

    // The same bytes as a file of that name, chosen with Browse.
    const TemporaryImage file(bytes, QStringLiteral("pasted.") + extension);
    CommonDialog::SetNextFileName(file.Path());
    QTest::mouseClick(ControlOf<QPushButton>(*window, QStringLiteral("cmdBrowse")), Qt::LeftButton);
    QCOMPARE(ControlOf<QLineEdit>(*window, QStringLiteral("txtImagePath"))->text(), file.Path());
    Click(*window, transport);
    QTRY_COMPARE(server.CompleteRequests(), 2);
    QTRY_COMPARE(Rows(*window), ExpectedRows());
    const QByteArray fromFile = server.Received(1);
    QCOMPARE(pasted, AsSent(fromFile, BoundaryOf(pasted), name));
}

void tst_frmMainTransports::pastedImageGivesWay_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("how");

    QTest::newRow("socket: the path typed over it") << Transport::Socket << "typed";
    QTest::newRow("http client: the path typed over it") << Transport::Inet << "typed";
    QTest::newRow("http client: a file dropped") << Transport::Inet << "dropped";
    QTest::newRow("socket: a file copied and pasted") << Transport::Socket << "pasted";
}

// Once the path box is edited, or a file chosen, the pasted image is gone:
// the file goes up.
void tst_frmMainTransports::pastedImageGivesWay()
{
    QFETCH(Transport, transport);
    QFETCH(QString, how);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWithPage(server, transport);
    const TemporaryImage file(EveryByteValue(5000), QStringLiteral("harbour.png"));
    auto window = OpenWindowAt(server.Port(), 5s);
    CopyImage(NoiseImage(50, 50));
    PasteInto(*window);
    QLineEdit* box = ControlOf<QLineEdit>(*window, QStringLiteral("txtImagePath"));
    QVERIFY(box->text().startsWith(QLatin1String("Pasted image, PNG, ")));

    if (how == QLatin1String("typed")) {
        box->selectAll();
        QTest::keyClicks(box, file.Path());
    } else {
        QMimeData* data = new QMimeData;
        data->setUrls({ QUrl::fromLocalFile(file.Path()) });
        if (how == QLatin1String("pasted")) {
            QGuiApplication::clipboard()->setMimeData(data);
            PasteInto(*window);
        } else {
            const QPoint where = window->rect().center();
            QDragEnterEvent enter(where, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &enter);
            QDropEvent dropped(where, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &dropped);
            QVERIFY(dropped.isAccepted());
            delete data;
        }
    }
    QTRY_COMPARE(box->text(), file.Path());

    Click(*window, transport);
    QTRY_COMPARE(Rows(*window), ExpectedRows());
    QCOMPARE(UploadNameOf(server.Received()), QByteArray("harbour.png"));
    QCOMPARE(PartBytesOf(server.Received()), EveryByteValue(5000));
    QCOMPARE(messages.shown.size(), 0);
}

void tst_frmMainTransports::keyboardAlone_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<bool>("answered");

    QTest::newRow("socket") << Transport::Socket << true;
    QTest::newRow("http client") << Transport::Inet << true;
    QTest::newRow("socket, refused") << Transport::Socket << false;
    QTest::newRow("http client, refused") << Transport::Inet << false;
}

// Paste, upload and copy with the keyboard alone. The upload button, which
// loses the focus while it is disabled, has it back at the end, so that
// Space pressed again cannot land in the path box.
void tst_frmMainTransports::keyboardAlone()
{
    QFETCH(Transport, transport);
    QFETCH(bool, answered);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWithPage(server, transport);
    auto window = OpenWindowAt(answered ? server.Port() : RefusingPort(), 5s);
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    CopyImage(NoiseImage(64, 48));
    QTest::keySequence(window.get(), QKeySequence(QKeySequence::Paste));
    QVERIFY(ControlOf<QLineEdit>(*window, QStringLiteral("txtImagePath"))
                ->text()
                .startsWith(QLatin1String("Pasted image")));

    QPushButton* button = ButtonOf(*window, transport);
    QWidget* focused = QApplication::focusWidget();
    for (int tabs = 0; focused != button && tabs < 10; ++tabs) {
        QTest::keyClick(focused, Qt::Key_Tab);
        focused = QApplication::focusWidget();
    }
    QCOMPARE(focused, button);
    QTest::keyClick(button, Qt::Key_Space);
    if (answered) {
        QTRY_COMPARE(Rows(*window), ExpectedRows());
    } else {
        QTRY_COMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].text, QStringLiteral("111 - Connection refused"));
    }
    QCOMPARE(QApplication::focusWidget(), button);
    if (!answered)
        return;

    // Back round to the first row's Copy button, and press it.
    focused = button;
    for (int tabs = 0; focused != ControlOf(*window, QStringLiteral("cmdCopy0")) && tabs < 10; ++tabs) {
        QTest::keyClick(focused, Qt::Key_Tab);
        focused = QApplication::focusWidget();
    }
    QCOMPARE(focused->objectName(), QStringLiteral("cmdCopy0"));
    QTest::keyClick(focused, Qt::Key_Space);
    QCOMPARE(QGuiApplication::clipboard()->text(), ExpectedRows().constFirst());
}

void tst_frmMainTransports::answers_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QStringList>("rows");

    const QByteArray page = FixtureServer::ResultPage();
    const qsizetype tag = page.indexOf("</html>");
    const QStringList links = ExpectedRows();

    QTest::newRow("socket: closing tag in capitals")
        << Transport::Socket << QList<QByteArray> { kSocketHead + FixtureServer::ResultPage("</HTML>") } << links;
    QTest::newRow("socket: closing tag in mixed case")
        << Transport::Socket << QList<QByteArray> { kSocketHead + FixtureServer::ResultPage("</Html>") } << links;
    QTest::newRow("socket: tag split across two arrivals")
        << Transport::Socket << QList<QByteArray> { kSocketHead + page.left(tag + 4), page.mid(tag + 4) } << links;
    QTest::newRow("socket: tag split after its first character")
        << Transport::Socket << QList<QByteArray> { kSocketHead + page.left(tag + 1), page.mid(tag + 1) } << links;
    QTest::newRow("socket: page in many arrivals")
        << Transport::Socket << QList<QByteArray> { kSocketHead, page.left(200), page.mid(200, 300), page.mid(500) }
        << links;
    QTest::newRow("socket: text after the tag")
        << Transport::Socket << QList<QByteArray> { kSocketHead + page + "<!-- trailing -->" } << links;
    QTest::newRow("socket: status line not examined")
        << Transport::Socket << QList<QByteArray> { "HTTP/1.0 500 Broken\r\n\r\n" + page } << links;
    QTest::newRow("http client: page") << Transport::Inet << QList<QByteArray> { FixtureServer::HttpAnswer(200, page) }
                                       << links;
    QTest::newRow("http client: error status with the page")
        << Transport::Inet << QList<QByteArray> { FixtureServer::HttpAnswer(404, page) } << links;
}

void tst_frmMainTransports::answers()
{
    QFETCH(Transport, transport);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QStringList, rows);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), kShortLimit);
    SetImage(*window, image.Path());
    auto* winsock = window->findChild<WinsockControl*>(QStringLiteral("Winsock"));
    QVERIFY(winsock);
    QSignalSpy arrivals(winsock, &WinsockControl::DataArrival);

    Click(*window, transport);
    QTRY_COMPARE(server.CompleteRequests(), 1);
    QCOMPARE(window->windowTitle(), QStringLiteral("Tarnwick Uploader - Uploading. Please wait..."));

    QTcpSocket* peer = server.LastSocket();
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        if (transport == Transport::Inet && last) {
            FixtureServer::SendAndClose(peer, pieces[i]);
            break;
        }
        peer->write(pieces[i]);
        // Each piece is its own arrival: the next goes out once the window has taken this one.
        if (!last)
            QTRY_COMPARE(arrivals.size(), i + 1);
    }

    QTRY_COMPARE(Rows(*window), rows);
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("Tarnwick Uploader"));
    QCOMPARE(Rows(*window), rows);
    VerifyIdle(*window, true);

    if (transport == Transport::Socket) {
        // Closed as soon as the answer was complete, not by some later limit.
        QVERIFY(!winsock->IsConnected());
        QTRY_VERIFY(!server.LastSocket());
    }
    OutlastLimit();
    QCOMPARE(messages.shown.size(), 0);
}

void tst_frmMainTransports::unreadablePage_data()
{
    TransportRows();
}

// A section marker, then a field whose value lost its closing quote: the
// cutter cannot read the page. One message, and nothing a Copy could take.
void tst_frmMainTransports::unreadablePage()
{
    QFETCH(Transport, transport);

    const QByteArray page = "<html><body><p>Please use clickable thumbnail</p>\n"
                            "<input value=\"&lt;a href=&quot;http://x.test/&quot;&gt;\" /> Thumbnail for Websites\n"
                            "<input value=\" /> Thumbnail for forums (1)\n</body></html>";
    VerifyPageRefused(transport, page, QStringLiteral("5 - Invalid procedure call or argument"),
                      QStringLiteral("cmdCopy1"));
}

void tst_frmMainTransports::answersWithoutLinks_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("message");

    const QByteArray noMarkers = "<html><body><p>Nothing to see here.</p></body></html>";
    // The page's second section alone: its rows filled, the first section's "n.a".
    QByteArray detailsOnly = FixtureServer::ResultPage();
    detailsOnly.remove(0, detailsOnly.indexOf("<p>Include details"));
    detailsOnly.prepend("<html><body>");
    const QStringList detailRows = QStringList(3, QStringLiteral("n.a")) + ExpectedRows().mid(3);

    const auto head = [](const QByteArray& statusLine, const QByteArray& headers = {}) {
        return statusLine + "\r\nContent-Type: text/html\r\n" + headers + "\r\n";
    };
    for (const Transport transport : { Transport::Socket, Transport::Inet }) {
        const char* name = transport == Transport::Socket ? "socket" : "http client";
        QTest::addRow("%s: 500 without links", name)
            << transport << head("HTTP/1.0 500 Internal Server Error") + noMarkers << QStringList()
            << QStringLiteral("500 - The service answered 500 Internal Server Error and sent no links");
        QTest::addRow("%s: 302 without links", name)
            << transport << head("HTTP/1.0 302 Found", "Location: http://elsewhere.test/upload\r\n") + noMarkers
            << QStringList()
            << QStringLiteral(
                   "302 - The service answered 302 Found and sent no links; it points to http://elsewhere.test/upload");
        QTest::addRow("%s: 302 without a page", name)
            << transport
            << head("HTTP/1.0 302 Found", "Location: http://elsewhere.test/upload\r\nContent-Length: 0\r\n")
            << QStringList()
            << QStringLiteral(
                   "302 - The service answered 302 Found and sent no links; it points to http://elsewhere.test/upload");
        QTest::addRow("%s: 200 page without links", name)
            << transport << head("HTTP/1.0 200 OK") + noMarkers << QStringList()
            << QStringLiteral("61 - The service answered 200 OK, but its page held no links");
        QTest::addRow("%s: one section", name)
            << transport << head("HTTP/1.0 200 OK") + detailsOnly << detailRows << QString();
        QTest::addRow("%s: all links", name)
            << transport << head("HTTP/1.0 200 OK") + FixtureServer::ResultPage() << ExpectedRows() << QString();
    }
    const QByteArray titled =
        "<html><head><title>The file you sent is empty</title></head><body><h1>Upload refused</h1></body></html>";
    for (const Transport transport : { Transport::Socket, Transport::Inet }) {
        const char* name = transport == Transport::Socket ? "socket" : "http client";
        QTest::addRow("%s: 400, the reason in the page's title", name)
            << transport << head("HTTP/1.0 400 Bad Request") + titled << QStringList()
            << QStringLiteral("400 - The service answered 400 Bad Request: The file you sent is empty");
        QTest::addRow("%s: 413, whose heading only repeats the status", name)
            << transport
            << head("HTTP/1.1 413 Payload Too Large") + "<html><body><h1>413 Payload Too Large</h1></body></html>"
            << QStringList() << QStringLiteral("413 - The service answered 413 Payload Too Large and sent no links");
    }
    QTest::newRow("http client: 200 without links, a heading that says why")
        << Transport::Inet
        << head("HTTP/1.0 200 OK") + "<html><body><h2>Quota &amp;\r\n<i>limits</i>\x1b[2J reached</h2></body></html>"
        << QStringList()
        << QStringLiteral("61 - The service answered 200 OK, but its page held no links: Quota & limits [2J reached");
    QTest::newRow("socket: no status line, no links")
        << Transport::Socket << noMarkers << QStringList() << QStringLiteral("61 - The service's answer held no links");
    QTest::newRow("http client: empty 200 page")
        << Transport::Inet << head("HTTP/1.0 200 OK") << QStringList()
        << QStringLiteral("61 - The service answered 200 OK, but its page held no links");
    QTest::newRow("http client: 404 status, no reason")
        << Transport::Inet << head("HTTP/1.0 404") + noMarkers << QStringList()
        << QStringLiteral("404 - The service answered 404 and sent no links");
}

// An answer that brings no links is a failure, said once, and leaves nothing
// on screen that could be taken for a result.
void tst_frmMainTransports::answersWithoutLinks()
{
    QFETCH(Transport, transport);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, rows);
    QFETCH(QString, message);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([&answer](QTcpSocket* socket, const QByteArray&) { FixtureServer::SendAndClose(socket, answer); });
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), kShortLimit);
    SetImage(*window, image.Path());

    Click(*window, transport);
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("Tarnwick Uploader"));
    OutlastLimit();
    if (message.isEmpty()) {
        QCOMPARE(messages.shown.size(), 0);
        QCOMPARE(Rows(*window), rows);
        VerifyIdle(*window, true);
        return;
    }
    QCOMPARE(messages.shown.size(), 1);
    QCOMPARE(messages.shown.first().text, message);
    QCOMPARE(messages.shown.first().style, int(Toolkit::vbOKOnly));
    QCOMPARE(messages.shown.first().title, QStringLiteral("Tarnwick"));
    VerifyIdle(*window, false);
    QCOMPARE(Rows(*window), QStringList(8, QString()));
    QVERIFY(!ControlOf<QWidget>(*window, QStringLiteral("prgUpload"))->isVisible());
}

void tst_frmMainTransports::failures_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("number");

    QTest::newRow("socket: refused") << Transport::Socket << QStringLiteral("refused") << int(ECONNREFUSED);
    QTest::newRow("socket: connection never made")
        << Transport::Socket << QStringLiteral("unanswered") << int(ETIMEDOUT);
    QTest::newRow("socket: reset mid-answer") << Transport::Socket << QStringLiteral("reset") << int(ECONNRESET);
    QTest::newRow("socket: closed before the tag") << Transport::Socket << QStringLiteral("close") << int(ECONNRESET);
    QTest::newRow("socket: silence") << Transport::Socket << QStringLiteral("silence") << int(ETIMEDOUT);
    QTest::newRow("socket: answer over 16 MiB") << Transport::Socket << QStringLiteral("oversize") << int(EMSGSIZE);
    QTest::newRow("socket: unreadable image") << Transport::Socket << QStringLiteral("no image") << int(ENOENT);
    QTest::newRow("http client: refused") << Transport::Inet << QStringLiteral("refused") << int(ECONNREFUSED);
    QTest::newRow("http client: reset mid-answer") << Transport::Inet << QStringLiteral("reset") << int(ECONNRESET);
    QTest::newRow("http client: silence") << Transport::Inet << QStringLiteral("silence") << int(ETIMEDOUT);
    QTest::newRow("http client: answer over 16 MiB") << Transport::Inet << QStringLiteral("oversize") << int(EMSGSIZE);
    QTest::newRow("http client: unreadable image") << Transport::Inet << QStringLiteral("no image") << int(ENOENT);
}

void tst_frmMainTransports::failures()
{
    QFETCH(Transport, transport);
    QFETCH(QString, peer);
    QFETCH(int, number);

    MessageRecorder messages;
    FixtureServer server;
    UnansweredPort blackHole;
    quint16 port = 0;
    if (peer == QLatin1String("refused")) {
        port = RefusingPort();
    } else if (peer == QLatin1String("unanswered")) {
        QVERIFY(blackHole.IsReady());
        port = blackHole.Port();
    } else {
        QVERIFY(server.Listen());
        port = server.Port();
    }
    TemporaryImage image(MakePng(16, 16));
    // An oversize answer's 16 MiB pass through this one thread, which a busy
    // machine can hold up for longer than the short limit: there the limit
    // only catches a hang.
    const bool oversize = peer == QLatin1String("oversize");
    auto window = OpenWindowAt(port, oversize ? std::chrono::milliseconds(UploadLimits::ResponseTimeout) : kShortLimit);
    const bool noImage = peer == QLatin1String("no image");
    SetImage(*window, noImage ? image.Path() + QStringLiteral(".missing") : image.Path());
    auto* winsock = window->findChild<WinsockControl*>(QStringLiteral("Winsock"));
    QSignalSpy arrivals(winsock, &WinsockControl::DataArrival);
    Click(*window, transport);
    const bool answers = peer != QLatin1String("refused") && peer != QLatin1String("unanswered") && !noImage;
    if (answers) {
        QTRY_COMPARE(server.CompleteRequests(), 1);
        QTcpSocket* socket = server.LastSocket();
        // A partial answer that would spoil the next one if it were kept: its
        // slot-0 closing comes before any opening.
        const QByteArray partial = "<html><body>Please use clickable thumbnail\" /> Thumbnail for Websites";
        const QByteArray head =
            transport == Transport::Socket ? kSocketHead : "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n";
        if (peer == QLatin1String("reset") || peer == QLatin1String("close")) {
            socket->write(head + partial);
            socket->flush();
            QVERIFY(WaitForAnswerHead(transport == Transport::Socket, arrivals));
            if (peer == QLatin1String("reset"))
                FixtureServer::Reset(socket);
            else
                socket->disconnectFromHost();
        } else if (oversize) {
            // No length and no closing tag: only the size limit can end it.
            const QByteArray oversizeHead =
                transport == Transport::Socket ? kSocketHead : QByteArray("HTTP/1.0 200 OK\r\n\r\n");
            socket->write(oversizeHead + QByteArray(kAnswerLimit + 1, 'x'));
        }
    }

    QTRY_COMPARE_WITH_TIMEOUT(messages.shown.size(), 1, 10000);
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("Tarnwick Uploader"));
    OutlastLimit();
    QCOMPARE(messages.shown.size(), 1);
    const Toolkit::ShownMessage shown = messages.shown.first();
    QVERIFY2(shown.text.startsWith(QString::number(number) + QStringLiteral(" - ")), qPrintable(shown.text));
    QVERIFY(shown.text.size() > QString::number(number).size() + 3);
    QCOMPARE(shown.style, int(Toolkit::vbOKOnly));
    QCOMPARE(shown.title, QStringLiteral("Tarnwick"));
    VerifyIdle(*window, false);
    QCOMPARE(Rows(*window), QStringList(8, QString()));
    if (noImage) {
        QCOMPARE(server.Received(), QByteArray());
        // Nothing will be sent: no connection is left open to bring a late message.
        QTRY_VERIFY(!server.LastSocket());
    }
    if (peer == QLatin1String("unanswered"))
        return; // nothing to retry against

    // The user can retry at once, and nothing of the failed attempt spoils it.
    if (peer == QLatin1String("refused"))
        QVERIFY(server.Listen(port));
    SetImage(*window, image.Path());
    AnswerWithPage(server, transport);
    Click(*window, transport);
    QTRY_COMPARE(Rows(*window), ExpectedRows());
    VerifyIdle(*window, true);
    QCOMPARE(messages.shown.size(), 1);
}

void tst_frmMainTransports::slowLink_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<int>("readRate");

    // 200 KB at 100 KB/s: the upload lasts about seven times the limit.
    QTest::newRow("socket: slow uplink") << Transport::Socket << 100 * 1000;
    QTest::newRow("http client: slow uplink") << Transport::Inet << 100 * 1000;
    QTest::newRow("socket: peer stops reading") << Transport::Socket << 0;
    QTest::newRow("http client: peer stops reading") << Transport::Inet << 0;
}

// A link slower than the time limit still gets the upload through, and the
// strip shows what the peer has taken, not what the system has buffered; a
// peer that takes nothing for the limit ends the upload.
void tst_frmMainTransports::slowLink()
{
    QFETCH(Transport, transport);
    QFETCH(int, readRate);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    if (readRate > 0)
        server.SetReadRate(readRate);
    else
        server.HoldReading(true);
    AnswerWithPage(server, transport);
    TemporaryImage image(EveryByteValue(readRate > 0 ? 200 * 1000 : 2 * 1000 * 1000));
    constexpr std::chrono::milliseconds kLimit = 300ms;
    auto window = OpenWindowAt(server.Port(), kLimit);
    SetImage(*window, image.Path());
    const auto* strip = ControlOf<QProgressBar>(*window, QStringLiteral("prgUpload"));

    QElapsedTimer clock;
    clock.start();
    Click(*window, transport);
    if (readRate == 0) {
        QTRY_COMPARE_WITH_TIMEOUT(messages.shown.size(), 1, 5000);
        QVERIFY2(messages.shown.first().text.startsWith(QStringLiteral("110 - ")),
                 qPrintable(messages.shown.first().text));
        VerifyIdle(*window, false);
        return;
    }

    QVERIFY(!ControlOf(*window, QStringLiteral("cmdInet"))->isEnabled());

    // A third of the way through, the strip may run ahead of the peer by the
    // few kilobytes its small buffers hold, not by the whole request.
    const qint64 total = QFileInfo(image.Path()).size();
    QTRY_VERIFY_WITH_TIMEOUT(server.Received().size() > total / 3, 5000);
    const double shown = strip->maximum() > 0 ? double(strip->value()) / strip->maximum() : 1.0;
    const double taken = double(server.Received().size() + 64 * 1024) / double(total);
    QVERIFY2(shown <= taken, qPrintable(QStringLiteral("strip %1, peer %2").arg(shown).arg(taken)));

    QTRY_COMPARE_WITH_TIMEOUT(Rows(*window), ExpectedRows(), 10000);
    QVERIFY2(clock.elapsed() > 3 * kLimit.count(), "the link was meant to be slower than the limit");
    QCOMPARE(messages.shown.size(), 0);
}

void tst_frmMainTransports::answerTrickles_data()
{
    TransportRows();
}

// An answer that comes a little at a time, for far longer than the limit but
// never pausing that long, is an answer in progress, not a stall.
void tst_frmMainTransports::answerTrickles()
{
    QFETCH(Transport, transport);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    static constexpr std::chrono::milliseconds kLimit = 600ms;
    static constexpr int kPieces = 16;
    server.SetAnswer([transport](QTcpSocket* socket, const QByteArray&) {
        const QByteArray answer = transport == Transport::Socket
            ? kSocketHead + FixtureServer::ResultPage()
            : FixtureServer::HttpAnswer(200, FixtureServer::ResultPage());
        // The head at once, then the page in pieces, each kLimit / 6 after the last.
        const qsizetype head = answer.indexOf("\r\n\r\n") + 4;
        socket->write(answer.left(head));
        FixtureServer::Trickle(socket, answer.mid(head), kLimit / 6, (answer.size() - head) / kPieces + 1);
    });
    TemporaryImage image(MakePng(16, 16));
    // The whole answer comes well within its own limit.
    auto window = OpenWindowAt(server.Port(), kLimit, 10 * kLimit);
    SetImage(*window, image.Path());

    QElapsedTimer clock;
    clock.start();
    Click(*window, transport);
    QTRY_COMPARE_WITH_TIMEOUT(Rows(*window), ExpectedRows(), 10000);
    QCOMPARE(messages.shown.size(), 0);
    QVERIFY2(clock.elapsed() > 2 * kLimit.count(), "the answer was meant to take longer than the limit");
    VerifyIdle(*window, true);
}

void tst_frmMainTransports::closeDuringUpload_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<bool>("sending");
    QTest::newRow("socket, while sending") << Transport::Socket << true;
    QTest::newRow("socket, awaiting the answer") << Transport::Socket << false;
    QTest::newRow("http client, while sending") << Transport::Inet << true;
    QTest::newRow("http client, awaiting the answer") << Transport::Inet << false;
}

// Closing the window ends its upload there and then: the connection goes,
// nothing is reported, and no thread is left behind.
void tst_frmMainTransports::closeDuringUpload()
{
    QFETCH(Transport, transport);
    QFETCH(bool, sending);

    MessageRecorder messages;
    FixtureServer server; // never answers
    QVERIFY(server.Listen());
    server.HoldReading(sending);
    // Larger than the socket buffers: a held peer keeps it sending.
    TemporaryImage image(sending ? QByteArray(3 * 1024 * 1024, 'x') : MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), 10s);
    SetImage(*window, image.Path());
    const int threads = ThreadCount();

    Click(*window, transport);
    if (sending)
        QTRY_VERIFY(ControlOf<QProgressBar>(*window, QStringLiteral("prgUpload"))->value() > 0);
    else
        QTRY_COMPARE(server.CompleteRequests(), 1);
    QVERIFY(window->close());
    window.reset();
    QCOMPARE(ThreadCount(), threads);

    server.HoldReading(false);
    QTRY_VERIFY(!server.LastSocket());
    DrainPostedEvents(&server);
    QCOMPARE(messages.shown.size(), 0);
}

namespace {

// Counts the paints a widget receives.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    // What the watched row showed at each paint: enabled, and its text.
    QStringList shown;
    // Paints before this is set are not counted.
    bool armed = true;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (armed && event->type() == QEvent::Paint) {
            ++paints;
            if (const auto* row = qobject_cast<QLineEdit*>(watched))
                shown << QStringLiteral("%1 '%2'").arg(row->isEnabled()).arg(row->text());
        }
        return false;
    }
};

} // namespace

void tst_frmMainTransports::linksReachTheScreen_data()
{
    TransportRows();
}

// The links are painted once they are there, even when a repaint was already
// on its way at the click (the pressed button's).
void tst_frmMainTransports::linksReachTheScreen()
{
    QFETCH(Transport, transport);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWithPage(server, transport);
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), kShortLimit);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    PaintCounter counter;
    QLineEdit* lastRow = ResultRow(*window, 7);
    lastRow->installEventFilter(&counter);
    int paintsWhenFilled = -1;
    connect(lastRow, &QLineEdit::textChanged, lastRow, [&](const QString& text) {
        if (!text.isEmpty())
            paintsWhenFilled = counter.paints;
    });

    // The path's repaint is still to come when the upload starts.
    SetImage(*window, image.Path());
    ButtonOf(*window, transport)->click();
    QTRY_VERIFY(paintsWhenFilled >= 0);
    QTRY_VERIFY(counter.paints > paintsWhenFilled);
}

void tst_frmMainTransports::lastLinksNeverShownDuringAnUpload_data()
{
    TransportRows();
}

// The rows of the last upload are never painted once a new upload has begun.
void tst_frmMainTransports::lastLinksNeverShownDuringAnUpload()
{
    QFETCH(Transport, transport);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    AnswerWithPage(server, transport);
    TemporaryImage small(MakePng(16, 16));
    // Larger than the socket buffers: a held peer keeps this upload under way.
    TemporaryImage large(QByteArray(8 * 1024 * 1024, 'x'));
    auto window = OpenWindowAt(server.Port(), 10s);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    SetImage(*window, small.Path());
    Click(*window, transport);
    QTRY_COMPARE(Rows(*window), ExpectedRows());

    // Counted from the moment the click has been handled: until then the
    // idle window may still paint the links it shows.
    PaintCounter counter;
    counter.armed = false;
    ResultRow(*window, 7)->installEventFilter(&counter);
    connect(ButtonOf(*window, transport), &QPushButton::clicked, &counter, [&counter] { counter.armed = true; });
    server.HoldReading(true);
    server.SetAnswer({});
    SetImage(*window, large.Path());
    Click(*window, transport);
    QVERIFY(counter.armed);
    QTRY_VERIFY(counter.paints > 0);
    QCOMPARE(window->windowTitle(), QStringLiteral("Tarnwick Uploader - Uploading. Please wait..."));
    for (const QString& paint : std::as_const(counter.shown))
        QCOMPARE(paint, QStringLiteral("0 ''"));
    QCOMPARE(messages.shown.size(), 0);
}

void tst_frmMainTransports::unshowableLinks_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QString>("why");

    const QByteArray start = "http://pics.test/";
    for (const Transport transport : { Transport::Socket, Transport::Inet }) {
        const char* name = transport == Transport::Socket ? "socket" : "http client";
        // A second line that `tail -n 1` would take for the direct link.
        QTest::addRow("%s: line feed", name) << transport << start + "i/7.png\nhttp://evil.test/x.png"
                                             << QStringLiteral("holds U+000A, which is not printable");
        // A window title, a clipboard write (OSC 52) and a cleared screen.
        QTest::addRow("%s: escape sequences", name)
            << transport << "\x1b]0;owned\x07\x1b]52;c;ZXZpbA==\x07\x1b[2J" + start + "i/7.png"
            << QStringLiteral("holds U+001B, which is not printable");
        QTest::addRow("%s: NUL", name) << transport
                                       << start
                + QByteArray("i/\0"
                             "7.png",
                             8) << QStringLiteral("holds U+0000, which is not printable");
        QTest::addRow("%s: C1 control in UTF-8", name) << transport
                                                       << start
                + "\xc2\x9b"
                  "2Ji/7.png" << QStringLiteral("holds U+009B, which is not printable");
        QTest::addRow("%s: C1 control as a byte", name) << transport
                                                        << start
                + "\x9b"
                  "2Ji/7.png" << QStringLiteral("is not UTF-8 text");
        QTest::addRow("%s: right-to-left override", name) << transport
                                                          << start
                + "\xe2\x80\xae"
                  "gnp.7/i" << QStringLiteral("holds U+202E, which is not printable");
        QTest::addRow("%s: line separator", name) << transport
                                                  << start
                + "\xe2\x80\xa8"
                  "i/7.png" << QStringLiteral("holds U+2028, which is not printable");
        // A decoder that drops a leading byte order mark would pass what --print writes.
        QTest::addRow("%s: byte order mark first", name) << transport << "\xef\xbb\xbf" + start + "i/7.png"
                                                         << QStringLiteral("holds U+FEFF, which is not printable");
        QTest::addRow("%s: NUL written long", name) << transport
                                                    << start
                + "i/\xc0\x80"
                  "7.png" << QStringLiteral("is not UTF-8 text");
        QTest::addRow("%s: too long for its row", name)
            << transport << start + QByteArray(32767, 'a')
            << QStringLiteral("has 32784 characters, more than a row holds (32767)");
    }
}

// A page whose link would put a character on screen, the clipboard or a
// terminal that is not there to be read, or would be cut by its row, gives
// no links at all: one message, and nothing a Copy could take.
void tst_frmMainTransports::unshowableLinks()
{
    QFETCH(Transport, transport);
    QFETCH(QByteArray, link);
    QFETCH(QString, why);

    const QByteArray page = FixtureServer::ResultPageWithLastLink(link);
    QVERIFY(page.contains(link));
    VerifyPageRefused(transport, page,
                      QStringLiteral("74 - The service's page holds a link that cannot be shown: link 8 ") + why,
                      QStringLiteral("cmdCopy7"));
}

void tst_frmMainTransports::longestLink_data()
{
    TransportRows();
}

// A link as long as a row holds is shown and copied whole.
void tst_frmMainTransports::longestLink()
{
    QFETCH(Transport, transport);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    const QByteArray start = "http://pics.test/";
    const QByteArray link = start + QByteArray(UploadLimits::MaxLinkChars - start.size(), 'a');
    const QByteArray page = FixtureServer::ResultPageWithLastLink(link);
    AnswerWith(server, transport, page);
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), kShortLimit);
    SetImage(*window, image.Path());
    QCOMPARE(ResultRow(*window, 7)->maxLength(), UploadLimits::MaxLinkChars);

    Click(*window, transport);
    QTRY_COMPARE(ResultRow(*window, 7)->text(), QString::fromLatin1(link));
    QCOMPARE(messages.shown.size(), 0);
    QTest::mouseClick(ControlOf<QPushButton>(*window, QStringLiteral("cmdCopy7")), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromLatin1(link));
    QTest::mouseClick(ControlOf<QPushButton>(*window, QStringLiteral("cmdCopyAll")), Qt::LeftButton);
    QVERIFY(QGuiApplication::clipboard()->text().endsWith(QString::fromLatin1("\r\n" + link + "\r\n")));
}

void tst_frmMainTransports::malformedAnswers_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("message");

    const QString malformed =
        QStringLiteral("71 - The service's answer is malformed: its status line and headers run past 64 KiB");
    const QByteArray page = FixtureServer::ResultPage();
    const QByteArray gzipped = FixtureServer::Gzipped(page);
    for (const Transport transport : { Transport::Socket, Transport::Inet }) {
        const char* name = transport == Transport::Socket ? "socket" : "http client";
        // Within the HTTP client's own limit for a line (100 KiB), and past it.
        QTest::addRow("%s: status line of 80 KiB", name)
            << transport << "HTTP/1.1 200 " + QByteArray(80 * 1024, 'O') + "\r\n\r\n" + page << malformed;
        QTest::addRow("%s: status line of 1 MiB", name)
            << transport << "HTTP/1.1 200 " + QByteArray(1024 * 1024, 'O') + "\r\n\r\n" + page << malformed;
        QTest::addRow("%s: header lines without end", name)
            << transport
            << "HTTP/1.1 200 OK\r\n" + QByteArray("X-Flood: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n").repeated(5000)
            << malformed;
        QTest::addRow("%s: a flood of 100 Continue", name)
            << transport << QByteArray("HTTP/1.1 100 Continue\r\n\r\n").repeated(10000) << malformed;
        // Stored blocks: the page and its closing tag stand in clear in it,
        // and still it is not read as a page.
        QTest::addRow("%s: gzip page", name)
            << transport
            << "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: "
                + QByteArray::number(gzipped.size()) + "\r\n\r\n" + gzipped
            << QStringLiteral("71 - The service sent its page encoded (gzip), which cannot be read");
    }
}

// Answers that are no answer a client can read: one message that says so,
// while the service still holds the connection open.
void tst_frmMainTransports::malformedAnswers()
{
    QFETCH(Transport, transport);
    QFETCH(QByteArray, answer);
    QFETCH(QString, message);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([&answer](QTcpSocket* socket, const QByteArray&) { socket->write(answer); });
    TemporaryImage image(MakePng(16, 16));
    auto window = OpenWindowAt(server.Port(), 5s);
    SetImage(*window, image.Path());

    Click(*window, transport);
    QTRY_COMPARE_WITH_TIMEOUT(messages.shown.size(), 1, 10000);
    QCOMPARE(messages.shown.first().text, message);
    VerifyIdle(*window, false);
    QCOMPARE(Rows(*window), QStringList(8, QString()));
    // The uploader ended the connection, not the service.
    QTRY_VERIFY(!server.LastSocket());
    QCOMPARE(messages.shown.size(), 1);
}

void tst_frmMainTransports::answerDeadline_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QByteArray>("start");

    for (const Transport transport : { Transport::Socket, Transport::Inet }) {
        const char* name = transport == Transport::Socket ? "socket" : "http client";
        QTest::addRow("%s: page without end", name) << transport << QByteArray("HTTP/1.0 200 OK\r\n\r\n<html><body>");
        QTest::addRow("%s: status line without end", name) << transport << QByteArray("HTTP/1.1 200 ");
    }
}

// A service that keeps sending a byte now and then, never pausing for the
// no-progress limit, is given up at the answer's own limit.
void tst_frmMainTransports::answerDeadline()
{
    QFETCH(Transport, transport);
    QFETCH(QByteArray, start);

    MessageRecorder messages;
    FixtureServer server;
    QVERIFY(server.Listen());
    server.SetAnswer([&start](QTcpSocket* socket, const QByteArray&) {
        socket->write(start);
        FixtureServer::TrickleForever(socket, 'x', 50ms);
    });
    TemporaryImage image(MakePng(16, 16));
    constexpr std::chrono::milliseconds kDeadline = 1500ms;
    auto window = OpenWindowAt(server.Port(), 1s, kDeadline);
    SetImage(*window, image.Path());

    QElapsedTimer clock;
    clock.start();
    Click(*window, transport);
    QTRY_COMPARE_WITH_TIMEOUT(messages.shown.size(), 1, 15000);
    QVERIFY2(clock.elapsed() >= kDeadline.count(), qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(
        messages.shown.first().text,
        QStringLiteral("110 - The service was too slow to answer: its answer was not complete within 1.5 seconds"));
    VerifyIdle(*window, false);
    QTRY_VERIFY(!server.LastSocket());
    QCOMPARE(messages.shown.size(), 1);
}

QTEST_MAIN(tst_frmMainTransports)
#include "tst_frmMainTransports.moc"
