// The window as a screen reader and a keyboard meet it: the accessible tree
// names every row's box and Copy button after the row's label, the other
// controls carry names and descriptions, and Tab walks the layout.

#include "WindowTestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <algorithm>

namespace {

const QStringList kRows = { "Thumbnail for Websites", "Thumbnail for forums (1)", "Thumbnail for forums (2)",
                            "Hotlink for forums (1)", "Hotlink for forums (2)",   "Hotlink for Websites",
                            "Show image to friends",  "Direct link to image" };

struct Node
{
    QAccessible::Role role;
    QString name;
    QString description;
    QObject* object;
};

// Every interface below root, depth first, in the tree's own order.
void Walk(QAccessibleInterface* root, QList<Node>& nodes)
{
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface* child = root->child(i);
        if (!child)
            continue;
        nodes.append(
            { child->role(), child->text(QAccessible::Name), child->text(QAccessible::Description), child->object() });
        Walk(child, nodes);
    }
}

QList<Node> AccessibleTree(frmMain& window)
{
    QList<Node> nodes;
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&window);
    if (root)
        Walk(root, nodes);
    return nodes;
}

QStringList NamesOf(const QList<Node>& nodes, QAccessible::Role role)
{
    QStringList names;
    for (const Node& node : nodes) {
        if (node.role == role)
            names << node.name;
    }
    return names;
}

} // namespace

class TestFrmMainAccessibility : public QObject
{
    Q_OBJECT

private slots:
    void rowsNamedAfterTheirLabels();
    void commandsNamedAndDescribed_data();
    void commandsNamedAndDescribed();
    void tabWalksTheLayout();
};

void TestFrmMainAccessibility::rowsNamedAfterTheirLabels()
{
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // With links shown, as a user meets the rows.
    window.EnableResults();
    const QList<Node> nodes = AccessibleTree(window);

    QStringList copyButtons;
    for (const QString& row : kRows)
        copyButtons << QStringLiteral("Copy ") + row;
    QStringList boxes = NamesOf(nodes, QAccessible::EditableText);
    QCOMPARE(boxes.takeFirst(), QStringLiteral("Image to upload"));
    QCOMPARE(boxes, kRows);
    const QStringList buttons = NamesOf(nodes, QAccessible::Button);
    QCOMPARE(buttons.mid(1, 8), copyButtons);
    QCOMPARE(buttons.count(QStringLiteral("Copy")), 0);

    for (int i = 0; i < 8; ++i) {
        const QLabel* label = ControlOf<QLabel>(window, QStringLiteral("Label%1").arg(i));
        QCOMPARE(label->buddy(), ResultRow(window, i));
        QCOMPARE(label->text(), kRows[i]); // the caption itself unchanged
        QCOMPARE(ControlOf<QPushButton>(window, QStringLiteral("cmdCopy%1").arg(i))->text(), QStringLiteral("Copy"));
        // The label is the box's, for a screen reader too.
        QAccessibleInterface* box = QAccessible::queryAccessibleInterface(ResultRow(window, i));
        const auto labelled = box->relations(QAccessible::Label);
        QVERIFY(std::any_of(labelled.begin(), labelled.end(),
                            [label](const auto& relation) { return relation.first->object() == label; }));
    }
}

void TestFrmMainAccessibility::commandsNamedAndDescribed_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("name");

    QTest::newRow("cmdBrowse") << "cmdBrowse"
                               << "Browse"
                               << "Browse";
    QTest::newRow("cmdWinsock") << "cmdWinsock"
                                << "Upload (Winsock)"
                                << "Upload (Winsock) over a plain socket";
    QTest::newRow("cmdInet") << "cmdInet"
                             << "Upload"
                             << "Upload";
    QTest::newRow("chkRandomName") << "chkRandomName"
                                   << "Give online image a random name"
                                   << "Give online image a random name";
    QTest::newRow("cmdCopyAll") << "cmdCopyAll"
                                << "Copy All"
                                << "Copy all links";
}

void TestFrmMainAccessibility::commandsNamedAndDescribed()
{
    QFETCH(QString, control);
    QFETCH(QString, caption);
    QFETCH(QString, name);

    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* button = ControlOf<QAbstractButton>(window, control);
    QVERIFY(button);
    QCOMPARE(button->text(), caption);

    const QList<Node> nodes = AccessibleTree(window);
    const auto node = std::find_if(nodes.begin(), nodes.end(), [button](const Node& n) { return n.object == button; });
    QVERIFY(node != nodes.end());
    QCOMPARE(node->name, name);
    // What is seen is what is said: the caption, without its mnemonic marks, is in the name.
    QVERIFY(node->name.contains(QString(caption).remove(u'&'), Qt::CaseInsensitive));
    QVERIFY2(node->description.size() > 20, qPrintable(node->description));
}

// Tab from the first control reaches every one that takes the focus, in the
// layout's reading order, with results shown; each shows that it has it.
void TestFrmMainAccessibility::tabWalksTheLayout()
{
    frmMain window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.EnableResults();

    QStringList expected { QStringLiteral("cmdBrowse"), QStringLiteral("txtImagePath") };
    for (int i = 0; i < 8; ++i)
        expected << QStringLiteral("cmdCopy%1").arg(i) << QStringLiteral("txtResult%1").arg(i);
    expected << "cmdWinsock"
             << "cmdInet"
             << "chkRandomName"
             << "cmdCopyAll";

    ControlOf(window, expected.first())->setFocus(Qt::TabFocusReason);
    QStringList walked;
    for (int i = 0; i < expected.size(); ++i) {
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused);
        walked << focused->objectName();
        QVERIFY(focused->hasFocus());
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    QCOMPARE(walked, expected);
    // Round again to the start.
    QCOMPARE(QApplication::focusWidget()->objectName(), expected.first());

    // Shift+Tab walks back.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget()->objectName(), expected.last());
}

QTEST_MAIN(TestFrmMainAccessibility)
#include "tst_frmMainAccessibility.moc"
