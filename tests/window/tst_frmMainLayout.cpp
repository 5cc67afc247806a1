// The window's layout: every control in its container, place, size and
// caption; the window's size, buttons, position, icon and tab order.

#include "WindowTestSupport.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QtTest>

class TestFrmMainLayout : public QObject
{
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void window();
    void tabOrder();
};

void TestFrmMainLayout::controls_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips"); // relative to the container

    QTest::newRow("Frame1") << "frmMain"
                            << "Select Image" << QRect(120, 120, 8295, 855);
    QTest::newRow("Picture3") << "Frame1"
                              << "" << QRect(120, 340, 1065, 375);
    QTest::newRow("cmdBrowse") << "Picture3"
                               << "Browse" << QRect(0, 0, 975, 315);
    QTest::newRow("Picture1") << "Frame1"
                              << "" << QRect(1200, 370, 6915, 375);
    QTest::newRow("txtImagePath") << "Picture1"
                                  << "" << QRect(0, 0, 6855, 285);
    QTest::newRow("Frame2") << "frmMain"
                            << "Upload Results" << QRect(120, 1080, 8295, 3375);
    QTest::newRow("Picture2") << "Frame2"
                              << "" << QRect(180, 360, 8000, 2895);
    QTest::newRow("cmdWinsock") << "frmMain"
                                << "Upload (Winsock)" << QRect(120, 4560, 1695, 315);
    QTest::newRow("cmdInet") << "frmMain"
                             << "Upload" << QRect(2040, 4560, 1695, 315);
    QTest::newRow("chkRandomName") << "frmMain"
                                   << "Give online image a random name" << QRect(3840, 4600, 2895, 255);
    QTest::newRow("cmdCopyAll") << "frmMain"
                                << "Copy All" << QRect(7200, 4560, 1215, 315);

    const struct
    {
        const char* caption;
        int top;
        int width;
    } labels[8] = {
        { "Thumbnail for Websites", 40, 1665 },    { "Thumbnail for forums (1)", 400, 1695 },
        { "Thumbnail for forums (2)", 760, 1695 }, { "Hotlink for forums (1)", 1120, 1455 },
        { "Hotlink for forums (2)", 1480, 1455 },  { "Hotlink for Websites", 1840, 1425 },
        { "Show image to friends", 2200, 1560 },   { "Direct link to image", 2540, 1350 },
    };
    for (int i = 0; i < 8; ++i) {
        QTest::addRow("cmdCopy%d", i) << "Picture2"
                                      << "Copy" << QRect(0, 20 + 360 * i, 615, 255);
        QTest::addRow("txtResult%d", i) << "Picture2"
                                        << "" << QRect(720, 360 * i, 5295, 285);
        QTest::addRow("Label%d", i) << "Picture2" << labels[i].caption
                                    << QRect(6120, labels[i].top, labels[i].width, 195);
    }
}

void TestFrmMainLayout::controls()
{
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);

    frmMain window;
    const QWidget* control = ControlOf(window, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), container);
    const auto pixels = [](int t) { return qRound(t / 15.0); };
    const QRect expected(pixels(twips.x()), pixels(twips.y()), pixels(twips.width()), pixels(twips.height()));
    if (auto* label = qobject_cast<const QLabel*>(control)) {
        // Labels are sized to their caption: at least the laid-out width, and
        // wide enough for the whole text, without leaving their container.
        QCOMPARE(label->pos(), expected.topLeft());
        QCOMPARE(label->height(), expected.height());
        QVERIFY(label->width() >= expected.width());
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
        QVERIFY(label->geometry().right() <= label->parentWidget()->rect().right());
    } else {
        QCOMPARE(control->geometry(), expected);
    }
    QVERIFY(control->isVisibleTo(&window));
    // Every control in the window's face and size, the result rows too,
    // whose font differs only in how it lays out text.
    QCOMPARE(control->font().family(), window.font().family());
    QCOMPARE(control->font().pointSizeF(), window.font().pointSizeF());

    QString shown;
    if (auto* button = qobject_cast<const QAbstractButton*>(control))
        shown = button->text();
    else if (auto* frame = qobject_cast<const QGroupBox*>(control))
        shown = frame->title();
    else if (auto* label = qobject_cast<const QLabel*>(control))
        shown = label->text();
    else if (auto* box = qobject_cast<const QLineEdit*>(control))
        shown = box->text();
    QCOMPARE(shown, caption);
}

void TestFrmMainLayout::window()
{
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.windowTitle(), QStringLiteral("Tarnwick Uploader"));
    QCOMPARE(window.minimumSize(), QSize(569, 331));
    QCOMPARE(window.maximumSize(), QSize(569, 331));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY((window.geometry().center() - window.screen()->availableGeometry().center()).manhattanLength() <= 2);

    for (const int size : { 16, 24, 32, 48, 128 }) {
        QVERIFY(window.windowIcon().availableSizes().contains(QSize(size, size)));
        const QImage palette(QStringLiteral(":/icons/tarnwick-%1-8bit.png").arg(size));
        QCOMPARE(palette.size(), QSize(size, size));
        QCOMPARE(palette.format(), QImage::Format_Indexed8);
    }
}

void TestFrmMainLayout::tabOrder()
{
    // Top to bottom, left to right: Browse and the path, each row's Copy
    // button and its link, then the bottom line.
    QStringList expected { QStringLiteral("cmdBrowse"), QStringLiteral("txtImagePath") };
    for (int i = 0; i < 8; ++i)
        expected << QStringLiteral("cmdCopy%1").arg(i) << QStringLiteral("txtResult%1").arg(i);
    expected << "cmdWinsock"
             << "cmdInet"
             << "chkRandomName"
             << "cmdCopyAll";

    frmMain window;
    QWidget* const first = ControlOf(window, expected.first());
    QStringList order;
    QWidget* control = first;
    do {
        if (control->focusPolicy() & Qt::TabFocus)
            order << control->objectName();
        control = control->nextInFocusChain();
    } while (control != first);
    QCOMPARE(order, expected);
}

QTEST_MAIN(TestFrmMainLayout)
#include "tst_frmMainLayout.moc"
