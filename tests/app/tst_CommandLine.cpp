// What the arguments ask for, and the real program run as a process with no
// display at all: help, version, wrong usage and files refused before any
// traffic, each with its exit status and its words on the right stream; and
// the same program opening its window with a file.

#include "CommandLine.h"
#include "FixtureServer.h"
#include "TlsTestSupport.h"
#include "UploadTestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(CommandLine::Mode)

class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parse_data();
    void parse();
    void process_data();
    void process();
    void processReadsStandardInput_data();
    void processReadsStandardInput();
    void failureLineQuotesTheName_data();
    void failureLineQuotesTheName();
    void failureLineCleansTheReason_data();
    void failureLineCleansTheReason();
    void windowWithAFile();
    void serviceOfTheRun_data();
    void serviceOfTheRun();

private:
    QTemporaryDir m_dir;
};

void tst_CommandLine::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(MakeFile(m_dir.filePath(QStringLiteral("over.png")), 3145728));
}

void tst_CommandLine::parse_data()
{
    using Mode = CommandLine::Mode;
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("socket");
    QTest::addColumn<bool>("randomName");

    QTest::newRow("nothing: the window as ever") << QStringList {} << Mode::Window << QStringList {} << false << false;
    QTest::newRow("a file for the window")
        << QStringList { "shot.png" } << Mode::Window << QStringList { "shot.png" } << false << false;
    QTest::newRow("print") << QStringList { "--print", "a.png", "b.png" } << Mode::Print
                           << QStringList { "a.png", "b.png" } << false << false;
    QTest::newRow("print over the socket, random names")
        << QStringList { "--random-name", "a.png", "--socket", "--print" } << Mode::Print << QStringList { "a.png" }
        << true << true;
    QTest::newRow("a file that looks like an option")
        << QStringList { "--print", "--", "-x.png" } << Mode::Print << QStringList { "-x.png" } << false << false;
    QTest::newRow("help wins") << QStringList { "--print", "a.png", "--help" } << Mode::Help << QStringList {} << false
                               << false;
    QTest::newRow("version") << QStringList { "-v" } << Mode::Version << QStringList {} << false << false;
    QTest::newRow("unknown option") << QStringList { "--bogus", "a.png" } << Mode::Usage << QStringList {} << false
                                    << false;
    QTest::newRow("print without a file")
        << QStringList { "--print" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("socket without print")
        << QStringList { "--socket", "a.png" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("random name without print")
        << QStringList { "--random-name", "a.png" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("two files for the window")
        << QStringList { "a.png", "b.png" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("standard input among files") << QStringList { "--print", "a.png", "-", "--name", "shot.png" }
                                                << Mode::Print << QStringList { "a.png", "-" } << false << false;
    QTest::newRow("standard input twice")
        << QStringList { "--print", "-", "-" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("a name without standard input")
        << QStringList { "--print", "a.png", "--name", "b.png" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("an empty name") << QStringList { "--print", "-", "--name", "" } << Mode::Usage << QStringList {}
                                   << false << false;
    QTest::newRow("standard input for the window")
        << QStringList { "-" } << Mode::Usage << QStringList {} << false << false;
    QTest::newRow("a service for print") << QStringList { "--service", "https://img.example.org:8443/up", "--print",
                                                          "a.png" }
                                         << Mode::Print << QStringList { "a.png" } << false << false;
    QTest::newRow("a service for the window")
        << QStringList { "--service=http://img.example.org" } << Mode::Window << QStringList {} << false << false;
    QTest::newRow("a service that cannot be used")
        << QStringList { "--service", "ftp://img.example.org", "--print", "a.png" } << Mode::Usage << QStringList {}
        << false << false;
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Mode, mode);
    QFETCH(QStringList, files);
    QFETCH(bool, socket);
    QFETCH(bool, randomName);

    const CommandLine command = CommandLine::Parse(QStringList { QStringLiteral("tarnwick-uploader") } + arguments);
    QCOMPARE(command.mode, mode);
    QCOMPARE(command.error.isEmpty(), mode != CommandLine::Mode::Usage);
    if (mode == CommandLine::Mode::Usage || mode == CommandLine::Mode::Help || mode == CommandLine::Mode::Version)
        return;
    QCOMPARE(command.files, files);
    QCOMPARE(command.socket, socket);
    QCOMPARE(command.randomName, randomName);
    QCOMPARE(command.inputName, arguments.contains(QLatin1String("--name")) ? QStringLiteral("shot.png") : QString());
    QCOMPARE(command.service.has_value(), arguments.join(u' ').contains(QLatin1String("--service")));
}

void tst_CommandLine::process_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // a pattern for the whole of standard output
    QTest::addColumn<QString>("err"); // and for the whole of standard error

    const QString over = m_dir.filePath(QStringLiteral("over.png"));
    const QString missing = m_dir.filePath(QStringLiteral("missing.png"));
    const QString tooBig = QRegularExpression::escape(
        u'"' + over + QStringLiteral("\": 27 - This image is too big. Maximum file size is 3mb.\n"));
    const QString noFile =
        QRegularExpression::escape(u'"' + missing + QStringLiteral("\": 2 - No such file or directory\n"));
    const QString usage =
        QStringLiteral("tarnwick-uploader: .+\nTry 'tarnwick-uploader --help' for more information.\n");

    QTest::newRow("help") << QStringList { "--help" } << 0
                          << QStringLiteral(
                                 "Usage: .*--print.*--socket.*--random-name.*--name <NAME>.*standard input.*")
                          << QString();
    QTest::newRow("version") << QStringList { "--version" } << 0
                             << QStringLiteral("tarnwick-uploader \\d+\\.\\d+\\.\\d+\n") << QString();
    QTest::newRow("unknown option") << QStringList { "--bogus" } << 2 << QString() << usage;
    QTest::newRow("print without a file") << QStringList { "--print" } << 2 << QString() << usage;
    QTest::newRow("socket without print") << QStringList { "--socket", over } << 2 << QString() << usage;
    QTest::newRow("too big") << QStringList { "--print", over } << 1 << QString() << tooBig;
    QTest::newRow("missing, over the socket")
        << QStringList { "--print", "--socket", missing } << 1 << QString() << noFile;
    QTest::newRow("both, in order") << QStringList { "--print", missing, over } << 1 << QString() << noFile + tooBig;
}

void tst_CommandLine::process()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);

    // No display of any kind: a window, or anything that needs one, would abort the run.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        environment.remove(QLatin1String(name));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(TARNWICK_UPLOADER_PATH), arguments);
    QVERIFY2(program.waitForFinished(30000), qPrintable(program.errorString()));

    const QString printed = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString told = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    const auto whole = [](const QString& pattern) {
        return QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                                  QRegularExpression::DotMatchesEverythingOption);
    };
    QVERIFY2(whole(out).match(printed).hasMatch(), qPrintable(printed));
    QVERIFY2(whole(err).match(told).hasMatch(), qPrintable(told));
}

void tst_CommandLine::processReadsStandardInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("err");

    QTest::newRow("empty") << QStringList { "--print", "-" } << QByteArray()
                           << QByteArray("\"-\": 22 - Standard input was empty: there is no image to upload\n");
    QTest::newRow("3145728 bytes, over the socket")
        << QStringList { "--print", "--socket", "-", "--name", "a.png" } << QByteArray(3145728, '\x89')
        << QByteArray("\"-\": 27 - This image is too big. Maximum file size is 3mb.\n");
}

// Refused before any connection, so the compiled-in service is never reached.
void tst_CommandLine::processReadsStandardInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, err);

    QProcess program;
    program.start(QStringLiteral(TARNWICK_UPLOADER_PATH), arguments);
    QVERIFY(program.waitForStarted());
    // Written as the pipe takes it: the program stops reading one byte past the limit.
    program.write(input);
    program.closeWriteChannel();
    QVERIFY2(program.waitForFinished(30000), qPrintable(program.errorString()));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    QCOMPARE(program.readAllStandardError(), err);
}

void tst_CommandLine::failureLineQuotesTheName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("quoted");

    QTest::newRow("plain") << QByteArray("shot.png") << QByteArray("\"shot.png\"");
    QTest::newRow("a line of its own") << QByteArray("a.png\n2 - forged.png")
                                       << QByteArray("\"a.png\\n2 - forged.png\"");
    QTest::newRow("carriage return") << QByteArray("a\rb.png") << QByteArray("\"a\\rb.png\"");
    QTest::newRow("terminal escape") << QByteArray("\x1b[2Ka.png") << QByteArray("\"\\033[2Ka.png\"");
    QTest::newRow("quote and backslash") << QByteArray("a\"b\\c.png") << QByteArray("\"a\\\"b\\\\c.png\"");
    QTest::newRow("letters beyond ASCII kept")
        << QByteArray("Bild-\xc3\xa4\xc3\x9f.png") << QByteArray("\"Bild-\xc3\xa4\xc3\x9f.png\"");
    QTest::newRow("next line, a control beyond ASCII")
        << QByteArray("a\xc2\x85.png") << QByteArray("\"a\\302\\205.png\"");
    QTest::newRow("right-to-left override")
        << QByteArray("\xe2\x80\xaegnp.exe") << QByteArray("\"\\342\\200\\256gnp.exe\"");
}

// Standard error carries one line per failed file: whatever a name holds, it
// cannot start a line, or a message, of its own.
void tst_CommandLine::failureLineQuotesTheName()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, quoted);

    const QByteArray line = CommandLine::FailureLine(QString::fromUtf8(name), { 2, QStringLiteral("No such\nfile") });
    QCOMPARE(line, quoted + ": 2 - No such file\n");
}

void tst_CommandLine::failureLineCleansTheReason_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<QByteArray>("told");

    QTest::newRow("C0 controls") << QStringLiteral("a\x1b]0;title\x07\rb") << QByteArray("a ]0;title  b");
    QTest::newRow("C1 controls") << QStringLiteral("a\u009b2Jb\u0085c") << QByteArray("a 2Jb c");
    QTest::newRow("direction override") << QStringLiteral("a\u202eb") << QByteArray("a b");
    QTest::newRow("line separator") << QStringLiteral("a\u2028b") << QByteArray("a b");
    QTest::newRow("letters beyond ASCII kept") << QStringLiteral("Gr\u00f6\u00dfe")
                                               << QByteArray("Gr\xc3\xb6\xc3\x9f"
                                                             "e");
}

// A reason may quote the service: nothing in it acts on the terminal.
void tst_CommandLine::failureLineCleansTheReason()
{
    QFETCH(QString, description);
    QFETCH(QByteArray, told);

    QCOMPARE(CommandLine::FailureLine(QStringLiteral("a.png"), { 61, description }), "\"a.png\": 61 - " + told + '\n');
}

void tst_CommandLine::windowWithAFile()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess window;
    window.setProcessEnvironment(environment);
    // A file that cannot be measured: only the window's running event loop
    // tries it, and tells of it on standard error.
    const QString missing = m_dir.filePath(QStringLiteral("missing.png"));
    window.start(QStringLiteral(TARNWICK_UPLOADER_PATH), { missing });
    QVERIFY2(window.waitForStarted(), qPrintable(window.errorString()));

    // Qt may warn about the environment on the same stream.
    const QByteArray name = '"' + QFile::encodeName(missing) + '"';
    QByteArray told;
    QByteArray line;
    const auto lineArrived = [&] {
        told += window.readAllStandardError();
        const qsizetype at = told.indexOf(name);
        const qsizetype end = at < 0 ? -1 : told.indexOf('\n', at);
        if (end >= 0)
            line = told.mid(at, end + 1 - at);
        return end >= 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(lineArrived() || window.state() == QProcess::NotRunning, 60000);
    QVERIFY2(window.state() == QProcess::Running, told.constData());
    QCOMPARE(line, name + ": 2 - No such file or directory\n");

    window.kill();
    QVERIFY(window.waitForFinished(30000));
}

// --print with the service from each source, to a TLS peer of the test's
// own: the links, or a refusal before any traffic (2), or a certificate
// that stops the upload (1).
void tst_CommandLine::serviceOfTheRun_data()
{
    QTest::addColumn<QStringList>("arguments"); // before --print FILE; %1 is the peer's https URL
    QTest::addColumn<QString>("variable"); // TARNWICK_SERVICE, null for unset
    QTest::addColumn<QByteArray>("configFile"); // null for none
    QTest::addColumn<bool>("trusted"); // SSL_CERT_FILE names the peer's CA
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("err"); // a pattern for the whole of standard error

    const QString none;
    QTest::newRow("--service") << QStringList { "--service", "%1" } << "ftp://env.test" << QByteArray("service=bad")
                               << true << 0 << none;
    QTest::newRow("the environment") << QStringList {} << "%1" << QByteArray("service=bad") << true << 0 << none;
    QTest::newRow("the file") << QStringList {} << none << QByteArray("# mine\nservice=%1\n") << true << 0 << none;
    QTest::newRow("--service that cannot be used")
        << QStringList { "--service", "https://img.test:8443/a b" } << none << QByteArray() << true << 2
        << QStringLiteral("tarnwick-uploader: The service address \"https://img\\.test:8443/a b\" cannot be used: it "
                          "holds a space "
                          "or a control character\nTry 'tarnwick-uploader --help' for more information\\.\n");
    QTest::newRow("a variable that cannot be used stops the run, though the file is good")
        << QStringList {} << "img.test" << QByteArray("service=%1\n") << true << 2
        << QStringLiteral("tarnwick-uploader: TARNWICK_SERVICE: The service address \"img\\.test\" cannot be used: "
                          "only http:// and "
                          "https:// addresses are supported\n");
    QTest::newRow("a file line that cannot be used")
        << QStringList {} << none << QByteArray("service=gopher://img.test\n") << true << 2
        << QStringLiteral(
               "tarnwick-uploader: .*/tarnwick/uploader\\.conf: The service address \"gopher://img\\.test\" cannot be "
               "used: only http:// and https:// addresses are supported\n");
    QTest::newRow("a certificate that is not trusted")
        << QStringList { "--service", "%1" } << none << QByteArray() << false << 1
        << QStringLiteral(
               "\".*\": 71 - The service's certificate is not trusted: no CA certificate in .* \\(SSL_CERT_FILE\\) "
               "vouches for it\n");
}

void tst_CommandLine::serviceOfTheRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(QByteArray, configFile);
    QFETCH(bool, trusted);
    QFETCH(int, status);
    QFETCH(QString, err);

    TestAuthority authority;
    TestAuthority stranger(QStringLiteral("Stranger CA"));
    QVERIFY2(authority.IsValid() && stranger.IsValid(), qPrintable(authority.Error()));
    const std::optional<QSslConfiguration> tls =
        authority.Issue(QStringLiteral("localhost"), { QStringLiteral("localhost") });
    QVERIFY(tls);
    FixtureServer server;
    server.UseTls(*tls);
    QVERIFY(server.Listen());
    server.SetAnswer([](QTcpSocket* socket, const QByteArray&) {
        FixtureServer::SendAndClose(socket, FixtureServer::HttpAnswer(200, FixtureServer::ResultPage()));
    });
    const QString url = QStringLiteral("https://localhost:%1/up").arg(server.Port());
    const TemporaryImage image(MakePng(20, 20));
    const auto filled = [&url](QString text) { return text.replace(QLatin1String("%1"), url); };

    QTemporaryDir config;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TARNWICK_SERVICE" })
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    environment.insert(QStringLiteral("SSL_CERT_FILE"), (trusted ? authority : stranger).CertificateFile());
    if (!variable.isNull())
        environment.insert(QStringLiteral("TARNWICK_SERVICE"), filled(variable));
    if (!configFile.isNull()) {
        QVERIFY(QDir().mkpath(config.filePath(QStringLiteral("tarnwick"))));
        QFile file(config.filePath(QStringLiteral("tarnwick/uploader.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(filled(QString::fromUtf8(configFile)).toUtf8());
    }
    for (QString& argument : arguments)
        argument = filled(argument);

    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(TARNWICK_UPLOADER_PATH),
                  arguments + QStringList { QStringLiteral("--print"), image.Path() });
    // The peer answers on this event loop while the program runs.
    QTRY_VERIFY_WITH_TIMEOUT(program.state() == QProcess::NotRunning, 30000);
    const QString printed = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString told = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitCode(), status);
    if (status == 0) {
        QVERIFY2(told.isEmpty(), qPrintable(told));
        QCOMPARE(printed.count(u'\n'), 8);
        QVERIFY(server.Received().startsWith("POST /up HTTP/1.1\r\n"));
        return;
    }
    QVERIFY2(printed.isEmpty(), qPrintable(printed));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err)).match(told).hasMatch(), qPrintable(told));
    if (status == 2)
        QCOMPARE(server.Connections(), 0);
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_CommandLine.moc"
