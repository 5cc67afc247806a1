// The Copy buttons of the result rows and Copy All.

#include "WindowTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPushButton>
#include <QtTest>

class TestFrmMainClipboard : public QObject
{
    Q_OBJECT

private slots:
    void copy_data();
    void copy();
};

void TestFrmMainClipboard::copy_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("expected");

    const QStringList links = { "[URL=http://x/0][IMG]http://x/t0.jpg[/IMG][/URL]",
                                "t1",
                                "n.a",
                                "",
                                "N.A",
                                "t5",
                                "t6",
                                "http://127.0.0.1/i/cat.png" };
    QTest::newRow("Copy: the row unchanged") << links << "cmdCopy0" << links[0];
    QTest::newRow("Copy: last row") << links << "cmdCopy7" << links[7];
    QTest::newRow("Copy: n.a as it stands") << links << "cmdCopy2"
                                            << "n.a";
    // Nothing to copy: the clipboard keeps what the user had there.
    QTest::newRow("Copy: empty row, clipboard kept") << links << "cmdCopy3"
                                                     << "earlier";

    QTest::newRow("Copy All: rows 0 to 2 n.a")
        << QStringList { "n.a", "n.a", "n.a", "t3", "t4", "t5", "t6", "t7" } << "cmdCopyAll"
        << "t3\r\nt4\r\nt5\r\nt6\r\nt7\r\n";
    QTest::newRow("Copy All: N.A and N.a left out, empty row an empty line")
        << links << "cmdCopyAll" << links[0] + "\r\nt1\r\n\r\nt5\r\nt6\r\n" + links[7] + "\r\n";
    QTest::newRow("Copy All: blanks around n.a make a link")
        << QStringList { " n.a", "n.A ", "n.a", "n.a", "n.a", "n.a", "n.a", "N.a" } << "cmdCopyAll"
        << " n.a\r\nn.A \r\n";
    QTest::newRow("Copy All: all n.a, clipboard kept") << QStringList(8, "n.a") << "cmdCopyAll"
                                                       << "earlier";
}

void TestFrmMainClipboard::copy()
{
    QFETCH(QStringList, rows);
    QFETCH(QString, button);
    QFETCH(QString, expected);

    // Something richer than plain text, which the copy must replace entirely.
    auto* earlier = new QMimeData;
    earlier->setHtml(QStringLiteral("<b>earlier</b>"));
    earlier->setText(QStringLiteral("earlier"));
    QGuiApplication::clipboard()->setMimeData(earlier);

    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.EnableResults();
    for (int i = 0; i < 8; ++i)
        ResultRow(window, i)->setText(rows[i]);
    QTest::mouseClick(ControlOf<QPushButton>(window, button), Qt::LeftButton);

    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    QCOMPARE(QGuiApplication::clipboard()->mimeData()->hasHtml(), expected == QLatin1String("earlier"));
}

QTEST_MAIN(TestFrmMainClipboard)
#include "tst_frmMainClipboard.moc"
