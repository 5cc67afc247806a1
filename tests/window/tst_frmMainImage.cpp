// Choosing the image: through the Browse dialog and by dropping a file.

#include "WindowTestSupport.h"

#include "CommonDialog.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

class TestFrmMainImage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void browse_data();
    void browse();
    void drop_data();
    void drop();

private:
    // "small", "limit" (3145727 bytes), "over" (3145728 bytes), "missing", "folder"; "" none.
    QString PathOf(const QString& key) const { return key.isEmpty() ? QString() : m_dir.filePath(key + ".png"); }
    static QString Path(const frmMain& window) { return ControlOf<QLineEdit>(window, "txtImagePath")->text(); }
    static void Browse(const frmMain& window, std::optional<QString> answer)
    {
        CommonDialog::SetNextFileName(std::move(answer));
        QTest::mouseClick(ControlOf<QPushButton>(window, "cmdBrowse"), Qt::LeftButton);
    }
    static void VerifyRefusals(const MessageRecorder& messages, bool refused);

    QTemporaryDir m_dir;
};

void TestFrmMainImage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(MakeFile(PathOf("small"), 2048));
    QVERIFY(MakeFile(PathOf("limit"), 3145727));
    QVERIFY(MakeFile(PathOf("over"), 3145728));
    QVERIFY(QDir().mkdir(PathOf("folder")));
}

void TestFrmMainImage::VerifyRefusals(const MessageRecorder& messages, bool refused)
{
    QCOMPARE(messages.shown.size(), refused ? 1 : 0);
    if (refused) {
        QCOMPARE(messages.shown[0].text, QStringLiteral("This image is too big. Maximum file size is 3mb. "));
        QCOMPARE(messages.shown[0].title, QStringLiteral("Image too big"));
        QCOMPARE(messages.shown[0].style, int(Toolkit::vbExclamation));
    }
}

void TestFrmMainImage::browse_data()
{
    QTest::addColumn<QString>("before"); // accepted earlier
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("answer"); // named in the dialog
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("refused");

    QTest::newRow("3145727 bytes accepted") << "small" << false << "limit"
                                            << "limit" << false;
    QTest::newRow("3145728 bytes refused, earlier path kept") << "small" << false << "over"
                                                              << "small" << true;
    QTest::newRow("3145728 bytes refused, nothing chosen yet") << "" << false << "over"
                                                               << "" << true;
    QTest::newRow("cancel keeps the path") << "small" << true << ""
                                           << "small" << false;
    QTest::newRow("missing file is silent") << "small" << false << "missing"
                                            << "small" << false;
}

void TestFrmMainImage::browse()
{
    QFETCH(QString, before);
    QFETCH(bool, cancel);
    QFETCH(QString, answer);
    QFETCH(QString, after);
    QFETCH(bool, refused);

    MessageRecorder messages;
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (!before.isEmpty())
        Browse(window, PathOf(before));
    QCOMPARE(Path(window), PathOf(before));

    Browse(window, cancel ? std::nullopt : std::optional<QString>(PathOf(answer)));
    QCOMPARE(Path(window), PathOf(after));
    VerifyRefusals(messages, refused);
}

void TestFrmMainImage::drop_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("refused");

    const auto file = [this](const char* key) { return QUrl::fromLocalFile(PathOf(key)); };
    QTest::newRow("one file") << QList { file("limit") } << false << true << "limit" << false;
    QTest::newRow("too big, refused") << QList { file("over") } << false << true << "small" << true;
    QTest::newRow("missing file, silent") << QList { file("missing") } << false << true << "small" << false;
    QTest::newRow("two files ignored") << QList { file("limit"), file("small") } << false << false << "small" << false;
    QTest::newRow("folder ignored") << QList { file("folder") } << false << false << "small" << false;
    QTest::newRow("text ignored") << QList<QUrl> {} << false << false << "small" << false;
    QTest::newRow("remote URL ignored") << QList { QUrl("http://127.0.0.1/cat.png") } << false << false << "small"
                                        << false;
    QTest::newRow("ignored while busy") << QList { file("limit") } << true << false << "small" << false;
}

void TestFrmMainImage::drop()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, locked);
    QFETCH(bool, accepted);
    QFETCH(QString, after);
    QFETCH(bool, refused);

    MessageRecorder messages;
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Browse(window, PathOf("small"));
    if (locked)
        window.LockInputs();

    QMimeData data;
    data.setText(PathOf("limit"));
    if (!urls.isEmpty())
        data.setUrls(urls);

    const QPoint where = window.rect().center();
    QDragEnterEvent enter(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    QCOMPARE(enter.isAccepted(), accepted);
    QDropEvent dropped(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &dropped);
    QCOMPARE(dropped.isAccepted(), accepted);

    // The file is checked once the drop has returned.
    QCoreApplication::processEvents();
    QCOMPARE(Path(window), PathOf(after));
    VerifyRefusals(messages, refused);
}

QTEST_MAIN(TestFrmMainImage)
#include "tst_frmMainImage.moc"
