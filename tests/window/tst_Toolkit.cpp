// Parts of the toolkit layer that the window tests do not reach.

#include "CommonDialog.h"
#include "Toolkit.h"

#include <QLineEdit>
#include <QtTest>

class TestToolkit : public QObject
{
    Q_OBJECT

private slots:
    void nameFilters_data();
    void nameFilters();
    void backColorByteOrder();
    void backColorFollowsTheEnabledState();
};

void TestToolkit::nameFilters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("patterns also in the description")
        << "Image Files (*.jpg;*.jpeg;*.png;*.gif;*.bmp)|*.jpg;*.jpeg;*.png;*.gif;*.bmp"
        << QStringList { "Image Files (*.jpg *.jpeg *.png *.gif *.bmp)" };
    QTest::newRow("two entries") << "Pictures|*.png;*.gif|All files|*.*"
                                 << QStringList { "Pictures (*.png *.gif)", "All files (*.*)" };
    QTest::newRow("parentheses without patterns kept")
        << "Photos (large)|*.jpg" << QStringList { "Photos (large) (*.jpg)" };
    QTest::newRow("description without patterns dropped")
        << "Pictures|*.png|Broken" << QStringList { "Pictures (*.png)" };
}

void TestToolkit::nameFilters()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);

    CommonDialog dialog;
    dialog.Filter = filter;
    QCOMPARE(dialog.QtNameFilters(), expected);
}

// 0x00BBGGRR: red is the low byte.
void TestToolkit::backColorByteOrder()
{
    QLineEdit box;
    Toolkit::SetBackColor(&box, 0x0000FF);
    QCOMPARE(box.palette().color(QPalette::Base), QColor(255, 0, 0));
    Toolkit::SetBackColor(&box, 0xFF8000);
    QCOMPARE(box.palette().color(QPalette::Base), QColor(0, 128, 255));
    QVERIFY_THROWS_EXCEPTION(Toolkit::Failure, Toolkit::SetBackColor(&box, 0x01000000));
}

// A background for each state: the widget changes colour as it is enabled
// and disabled, with no call in between.
void TestToolkit::backColorFollowsTheEnabledState()
{
    QLineEdit box;
    Toolkit::SetBackColor(&box, 0xFFFFFF, 0x8000000F);
    QCOMPARE(box.palette().color(QPalette::Base), QColor(Qt::white));
    box.setEnabled(false);
    QCOMPARE(box.palette().color(QPalette::Base), box.palette().color(QPalette::Disabled, QPalette::Button));
    box.setEnabled(true);
    QCOMPARE(box.palette().color(QPalette::Base), QColor(Qt::white));
    // A bad value leaves the palette as it was.
    QVERIFY_THROWS_EXCEPTION(Toolkit::Failure, Toolkit::SetBackColor(&box, 0x0000FF, 0x01000000));
    QCOMPARE(box.palette().color(QPalette::Base), QColor(Qt::white));
}

QTEST_MAIN(TestToolkit)
#include "tst_Toolkit.moc"
