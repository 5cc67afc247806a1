// Start-up, the four state routines, error reports and closing.

#include "WindowTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

QColor ButtonFace()
{
    return QApplication::palette().color(QPalette::Button);
}

// One line per result row: its three controls' enabled state, text, background.
QStringList Rows(const frmMain& window)
{
    QStringList rows;
    for (int i = 0; i < 8; ++i) {
        const QLineEdit* box = ResultRow(window, i);
        rows << QStringLiteral("%1%2%3 '%4' %5")
                    .arg(ControlOf(window, QStringLiteral("cmdCopy%1").arg(i))->isEnabled())
                    .arg(box->isEnabled())
                    .arg(ControlOf(window, QStringLiteral("Label%1").arg(i))->isEnabled())
                    .arg(box->text(), box->palette().color(QPalette::Base).name());
    }
    rows << QStringLiteral("Copy All %1").arg(ControlOf(window, QStringLiteral("cmdCopyAll"))->isEnabled());
    return rows;
}

QStringList RowsAs(bool enabled, const QStringList& texts)
{
    QStringList rows;
    for (int i = 0; i < 8; ++i)
        rows << QStringLiteral("%1%1%1 '%2' %3")
                    .arg(enabled)
                    .arg(texts[i], (enabled ? QColor(Qt::white) : ButtonFace()).name());
    rows << QStringLiteral("Copy All %1").arg(enabled);
    return rows;
}

QString Inputs(const frmMain& window)
{
    QString flags;
    for (const char* name : { "cmdBrowse", "cmdWinsock", "cmdInet", "chkRandomName" })
        flags += ControlOf(window, QString::fromLatin1(name))->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    return flags;
}

// What none of the routines may change.
QString Untouched(const frmMain& window)
{
    return QStringLiteral("path '%1' checked %2 caption '%3'")
        .arg(ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->text())
        .arg(ControlOf<QCheckBox>(window, QStringLiteral("chkRandomName"))->isChecked())
        .arg(window.windowTitle());
}

const QStringList kEmpty(8, QString());
const QStringList kEdited = { "a", "b", "n.a", "", "e", "f", "g", "typed by the user" };

} // namespace

class TestFrmMainStates : public QObject
{
    Q_OBJECT

private slots:
    void idleAfterStart();
    void routines_data();
    void routines();
    void backgroundReachesTheScreen();
    void showsOnlyItsOwnReportsAndClosesQuietly();
};

void TestFrmMainStates::idleAfterStart()
{
    MessageRecorder messages;
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(Rows(window), RowsAs(false, kEmpty));
    QCOMPARE(Inputs(window), QStringLiteral("1111"));
    QCOMPARE(Untouched(window), QStringLiteral("path '' checked 0 caption 'Tarnwick Uploader'"));
    QVERIFY(messages.shown.isEmpty());
}

void TestFrmMainStates::routines_data()
{
    QTest::addColumn<bool>("rowsBefore");
    QTest::addColumn<bool>("inputsBefore");
    QTest::addColumn<bool>("rowsAfter");
    QTest::addColumn<bool>("inputsAfter");
    QTest::addColumn<bool>("emptied");

    QTest::newRow("EnableResults") << false << false << true << false << true;
    QTest::newRow("DisableResults") << true << true << false << true << true;
    QTest::newRow("LockInputs") << true << true << true << false << false;
    QTest::newRow("UnlockInputs") << false << false << false << true << false;
}

// Called twice: the second call leaves everything as the first did.
void TestFrmMainStates::routines()
{
    QFETCH(bool, rowsBefore);
    QFETCH(bool, inputsBefore);
    QFETCH(bool, rowsAfter);
    QFETCH(bool, inputsAfter);
    QFETCH(bool, emptied);

    frmMain window;
    rowsBefore ? window.EnableResults() : window.DisableResults();
    inputsBefore ? window.UnlockInputs() : window.LockInputs();
    for (int i = 0; i < 8; ++i)
        ResultRow(window, i)->setText(kEdited[i]);
    ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"))->setText(QStringLiteral("/pictures/cat.png"));
    ControlOf<QCheckBox>(window, QStringLiteral("chkRandomName"))->setChecked(true);
    const QString untouched = Untouched(window);

    const QByteArray routine = QTest::currentDataTag();
    for (int call = 1; call <= 2; ++call) {
        if (routine == "EnableResults")
            window.EnableResults();
        else if (routine == "DisableResults")
            window.DisableResults();
        else if (routine == "LockInputs")
            window.LockInputs();
        else
            window.UnlockInputs();
        QCOMPARE(Rows(window), RowsAs(rowsAfter, emptied ? kEmpty : kEdited));
        QCOMPARE(Inputs(window), inputsAfter ? QStringLiteral("1111") : QStringLiteral("0000"));
        QCOMPARE(Untouched(window), untouched);
    }
}

void TestFrmMainStates::backgroundReachesTheScreen()
{
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QLineEdit* row = ResultRow(window, 3);
    const QPoint inside(row->width() - 6, row->height() / 2);

    window.EnableResults();
    QCOMPARE(row->grab().toImage().pixelColor(inside), QColor(Qt::white));
    window.DisableResults();
    QCOMPARE(row->grab().toImage().pixelColor(inside), ButtonFace());
}

void TestFrmMainStates::showsOnlyItsOwnReportsAndClosesQuietly()
{
    MessageRecorder messages;
    auto window = std::make_unique<frmMain>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    // A report of the protocol module that no call of this window made is not its to show.
    modTarnwick::ReportError(53, "reported outside the window");
    QCOMPARE(messages.shown.size(), 0);

    // Its own request, built from an empty path, reports in its message box.
    QTest::mouseClick(ControlOf<QPushButton>(*window, QStringLiteral("cmdInet")), Qt::LeftButton);
    QTRY_COMPARE(messages.shown.size(), 1);
    QCOMPARE(messages.shown[0].text, QStringLiteral("2 - No such file or directory"));
    QCOMPARE(messages.shown[0].title, QStringLiteral("Tarnwick"));
    QCOMPARE(messages.shown[0].style, int(Toolkit::vbOKOnly));

    // Closing a socket that was never opened says nothing.
    QVERIFY(window->close());
    window.reset();
    QCOMPARE(messages.shown.size(), 1);
}

QTEST_MAIN(TestFrmMainStates)
#include "tst_frmMainStates.moc"
