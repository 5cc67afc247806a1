// The real program asked for the window: it loads the window's module, from
// beside it as in the build tree or from where an install puts it, and runs
// the window; with no module to load it says so in one line and fails.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kProgram = QStringLiteral(TARNWICK_UPLOADER_PATH);
const QString kModule = QStringLiteral(TARNWICK_WINDOW_MODULE_PATH);

// The module in the folder where (relative to the program's folder bin).
QString ModuleIn(const QString& bin, const QString& where)
{
    return QDir::cleanPath(bin + u'/' + where + u'/' + QFileInfo(kModule).fileName());
}

// The program copied alone into folder/bin, with the module at where (empty:
// nowhere). Returns the copied program.
QString CopyProgram(const QString& folder, const QString& where)
{
    const QDir bin(folder + QStringLiteral("/bin"));
    const QString program = bin.filePath(QFileInfo(kProgram).fileName());
    if (!bin.mkpath(QStringLiteral(".")) || !QFile::copy(kProgram, program))
        return {};
    if (!where.isEmpty()) {
        const QString module = ModuleIn(bin.path(), where);
        if (!QDir().mkpath(QFileInfo(module).path()) || !QFile::copy(kModule, module))
            return {};
    }
    return program;
}

// The files the process has mapped, as the kernel lists them.
QString MappedBy(const QProcess& process)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(process.processId()));
    return maps.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(maps.readAll()) : QString();
}

} // namespace

class tst_WindowModule : public QObject
{
    Q_OBJECT

private slots:
    void opens_data();
    void opens();
    void unloadable_data();
    void unloadable();
};

void tst_WindowModule::opens_data()
{
    QTest::addColumn<QString>("layout"); // empty: the build tree; otherwise the module's folder from bin

    QTest::newRow("build tree, module beside the program") << QString();
    QTest::newRow("installed, module under the libraries") << QStringLiteral(TARNWICK_WINDOW_MODULE_FROM_BIN);
}

void tst_WindowModule::opens()
{
    QFETCH(QString, layout);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString program = layout.isEmpty() ? kProgram : CopyProgram(folder.path(), layout);
    QVERIFY(!program.isEmpty());
    const QString module = layout.isEmpty() ? kModule : ModuleIn(QFileInfo(program).path(), layout);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess window;
    window.setProcessEnvironment(environment);
    // A file that cannot be measured: only the window's running event loop
    // tries it, and tells of it on standard error.
    const QString missing = folder.filePath(QStringLiteral("missing.png"));
    window.start(program, {missing});
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
    QVERIFY2(MappedBy(window).contains(module), qPrintable(module));

    window.kill();
    QVERIFY(window.waitForFinished(30000));
}

void tst_WindowModule::unloadable_data()
{
    QTest::addColumn<bool>("brokenModule");

    QTest::newRow("no module anywhere") << false;
    QTest::newRow("a module that is no library") << true;
}

void tst_WindowModule::unloadable()
{
    QFETCH(bool, brokenModule);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString program = CopyProgram(folder.path(), QString());
    QVERIFY(!program.isEmpty());
    if (brokenModule) {
        QFile module(QFileInfo(program).dir().filePath(QFileInfo(kModule).fileName()));
        QVERIFY(module.open(QIODevice::WriteOnly));
        QVERIFY(module.write("not a library\n") > 0);
    }

    QProcess process;
    process.start(program, {});
    QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));

    const QString told = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    const QRegularExpression oneLine(QRegularExpression::anchoredPattern(
        QStringLiteral("tarnwick-uploader: cannot open the window: [^\n]*%1[^\n]*\n")
            .arg(QRegularExpression::escape(QFileInfo(kModule).fileName()))));
    QVERIFY2(oneLine.match(told).hasMatch(), qPrintable(told));
}

QTEST_GUILESS_MAIN(tst_WindowModule)
#include "tst_WindowModule.moc"
