// Paste into the window (Ctrl+V anywhere, or Paste in the path box's menu)
// and image data dropped on it: image data is chosen as an image held in
// memory, a copied file as if dropped, anything else goes in as text.

#include "WindowTestSupport.h"

#include "CommonDialog.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

namespace {

const QString kTooBig = QStringLiteral("This image is too big. Maximum file size is 3mb. ");

QLineEdit* PathBox(const frmMain& window)
{
    return ControlOf<QLineEdit>(window, QStringLiteral("txtImagePath"));
}

// "key in box": Ctrl+V with the focus in the path box; "key on Browse":
// with the focus elsewhere; "key in a row": in a result row, which keeps
// pasted text for itself; "menu": the path box's context menu.
void Paste(frmMain& window, const QString& how)
{
    QLineEdit* box = PathBox(window);
    if (how == QLatin1String("menu")) {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, box->rect().center(),
                                box->mapToGlobal(box->rect().center()));
        QCoreApplication::sendEvent(box, &event);
        QMenu* menu = box->findChild<QMenu*>();
        QVERIFY(menu);
        QAction* paste = menu->findChild<QAction*>(QStringLiteral("pasteImageOrText"));
        QVERIFY(paste);
        QVERIFY(paste->isEnabled());
        // In the standard entry's place, under its caption: no other Paste is offered.
        int pastes = 0;
        for (const QAction* action : menu->actions())
            pastes += action->text().startsWith(QLineEdit::tr("&Paste")) ? 1 : 0;
        QCOMPARE(pastes, 1);
        paste->trigger();
        menu->close();
        return;
    }
    QWidget* target = ControlOf(window, QStringLiteral("cmdBrowse"));
    if (how == QLatin1String("key in box"))
        target = box;
    if (how == QLatin1String("key in a row")) {
        window.EnableResults();
        target = ResultRow(window, 0);
    }
    target->setFocus();
    QTRY_VERIFY(target->hasFocus());
    QTest::keySequence(target, QKeySequence(QKeySequence::Paste));
}

} // namespace

class TestFrmMainPaste : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void paste_data();
    void paste();
    void pastedImageGivesWayToText();
    void pasteWhileBusy();
    void dropImageData_data();
    void dropImageData();

private:
    QString PathOf(const QString& key) const { return m_dir.filePath(key + QStringLiteral(".png")); }
    std::unique_ptr<frmMain> OpenWindow() const;

    QTemporaryDir m_dir;
};

void TestFrmMainPaste::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(MakeFile(PathOf(QStringLiteral("earlier")), 2048));
    QVERIFY(MakeFile(PathOf(QStringLiteral("small")), 4096));
    QVERIFY(MakeFile(PathOf(QStringLiteral("over")), 3145728));
}

std::unique_ptr<frmMain> TestFrmMainPaste::OpenWindow() const
{
    auto window = std::make_unique<frmMain>();
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get()))
        return nullptr;
    CommonDialog::SetNextFileName(PathOf(QStringLiteral("earlier")));
    QTest::mouseClick(ControlOf<QPushButton>(*window, QStringLiteral("cmdBrowse")), Qt::LeftButton);
    return window;
}

void TestFrmMainPaste::paste_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("clipboard"); // "image", "file", "text", ...
    QTest::addColumn<QString>("after"); // a pattern for the whole path box
    QTest::addColumn<bool>("refused");

    const QString earlier = QRegularExpression::escape(PathOf(QStringLiteral("earlier")));
    for (const char* how : { "key in box", "key on Browse", "menu" }) {
        QTest::addRow("%s: a screenshot", how) << how << "image"
                                               << "Pasted image, PNG, \\d+ KB" << false;
        QTest::addRow("%s: a copied file", how)
            << how << "file" << QRegularExpression::escape(PathOf("small")) << false;
        QTest::addRow("%s: text", how) << how << "text" << earlier + "-copy" << false;
    }
    QTest::newRow("key in a row: a screenshot") << "key in a row"
                                                << "image"
                                                << "Pasted image, PNG, \\d+ KB" << false;
    QTest::newRow("key in a row: a copied file") << "key in a row"
                                                 << "file" << QRegularExpression::escape(PathOf("small")) << false;
    QTest::newRow("key in a row: text stays in the row") << "key in a row"
                                                         << "text" << earlier << false;
    // Too big as PNG: the best JPEG quality that fits, at the image's own size.
    QTest::newRow("a screenshot too big for PNG") << "key in box"
                                                  << "noise 1500"
                                                  << "Pasted image, JPEG, \\d+ KB" << false;
    QTest::newRow("a copied file too big") << "key on Browse"
                                           << "file over" << earlier << true;
    QTest::newRow("two copied files paste as text") << "key in box"
                                                    << "two files" << earlier + "(?s).+" << false;
    QTest::newRow("a copied web address pastes as text") << "menu"
                                                         << "remote" << earlier + "http://127.0.0.1/cat.png" << false;
    // Noise beyond what even the lowest JPEG quality brings under the limit.
    QTest::newRow("a screenshot nothing can fit") << "key on Browse"
                                                  << "noise 5500" << earlier << true;
    // Said to be an image, but not one the decoder could read (beyond its limit, say).
    QTest::newRow("image data that cannot be read") << "key in box"
                                                    << "unreadable" << earlier << true;
}

void TestFrmMainPaste::paste()
{
    QFETCH(QString, how);
    QFETCH(QString, clipboard);
    QFETCH(QString, after);
    QFETCH(bool, refused);

    MessageRecorder messages;
    const std::unique_ptr<frmMain> window = OpenWindow();
    QVERIFY(window);
    QLineEdit* box = PathBox(*window);
    box->end(false);

    auto* data = new QMimeData;
    if (clipboard == QLatin1String("image"))
        data->setImageData(NoiseImage(40, 30));
    else if (clipboard.startsWith(QLatin1String("noise ")))
        data->setImageData(NoiseImage(clipboard.mid(6).toInt(), clipboard.mid(6).toInt()));
    else if (clipboard == QLatin1String("file"))
        data->setUrls({ QUrl::fromLocalFile(PathOf(QStringLiteral("small"))) });
    else if (clipboard == QLatin1String("file over"))
        data->setUrls({ QUrl::fromLocalFile(PathOf(QStringLiteral("over"))) });
    else if (clipboard == QLatin1String("two files"))
        data->setUrls({ QUrl::fromLocalFile(PathOf(QStringLiteral("small"))),
                        QUrl::fromLocalFile(PathOf(QStringLiteral("over"))) });
    else if (clipboard == QLatin1String("unreadable"))
        data->setData(QStringLiteral("application/x-qt-image"), QByteArray(64, 'x'));
    else if (clipboard == QLatin1String("remote"))
        data->setUrls({ QUrl(QStringLiteral("http://127.0.0.1/cat.png")) });
    else
        data->setText(QStringLiteral("-copy"));
    QGuiApplication::clipboard()->setMimeData(data);

    Paste(*window, how);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(after)).match(box->text()).hasMatch(),
             qPrintable(box->text()));
    QCOMPARE(messages.shown.size(), refused ? 1 : 0);
    if (refused) {
        QCOMPARE(messages.shown[0].text, kTooBig);
        QCOMPARE(messages.shown[0].title, QStringLiteral("Image too big"));
        QCOMPARE(messages.shown[0].style, int(Toolkit::vbExclamation));
    }
}

// Text pasted over a pasted image's description replaces it whole.
void TestFrmMainPaste::pastedImageGivesWayToText()
{
    MessageRecorder messages;
    const std::unique_ptr<frmMain> window = OpenWindow();
    QVERIFY(window);
    CopyImage(NoiseImage(20, 20));
    Paste(*window, QStringLiteral("key in box"));
    QVERIFY(PathBox(*window)->text().startsWith(QLatin1String("Pasted image, PNG, ")));

    QGuiApplication::clipboard()->setText(PathOf(QStringLiteral("small")));
    Paste(*window, QStringLiteral("key on Browse"));
    QCOMPARE(PathBox(*window)->text(), PathOf(QStringLiteral("small")));
    QVERIFY(messages.shown.isEmpty());
}

// While an upload runs nothing is chosen, as Browse and a drop are locked.
void TestFrmMainPaste::pasteWhileBusy()
{
    MessageRecorder messages;
    const std::unique_ptr<frmMain> window = OpenWindow();
    QVERIFY(window);
    window->LockInputs();
    for (const QString& how : { QStringLiteral("key in box"), QStringLiteral("menu") }) {
        CopyImage(NoiseImage(20, 20));
        Paste(*window, how);
        auto* data = new QMimeData;
        data->setUrls({ QUrl::fromLocalFile(PathOf(QStringLiteral("small"))) });
        QGuiApplication::clipboard()->setMimeData(data);
        Paste(*window, how);
        QCOMPARE(PathBox(*window)->text(), PathOf(QStringLiteral("earlier")));
    }
    QVERIFY(messages.shown.isEmpty());
}

void TestFrmMainPaste::dropImageData_data()
{
    QTest::addColumn<bool>("withRemoteUrl");
    QTest::addColumn<int>("edge");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("after"); // a pattern; empty: the earlier path

    QTest::newRow("image data") << false << 30 << false << true << "Pasted image, PNG, \\d+ KB";
    QTest::newRow("from a browser, with its web address")
        << true << 30 << false << true << "Pasted image, PNG, \\d+ KB";
    QTest::newRow("too big for PNG") << false << 1500 << false << true << "Pasted image, JPEG, \\d+ KB";
    QTest::newRow("ignored while busy") << false << 30 << true << false << "";
    // Edge 0: data that says it is an image but cannot be read as one; refused as too big.
    QTest::newRow("unreadable image data") << false << 0 << false << true << "";
}

void TestFrmMainPaste::dropImageData()
{
    QFETCH(bool, withRemoteUrl);
    QFETCH(int, edge);
    QFETCH(bool, locked);
    QFETCH(bool, accepted);
    QFETCH(QString, after);

    MessageRecorder messages;
    const std::unique_ptr<frmMain> window = OpenWindow();
    QVERIFY(window);
    if (locked)
        window->LockInputs();

    QMimeData data;
    if (edge > 0)
        data.setImageData(NoiseImage(edge, edge));
    else
        data.setData(QStringLiteral("application/x-qt-image"), QByteArray(64, 'x'));
    if (withRemoteUrl)
        data.setUrls({ QUrl(QStringLiteral("http://127.0.0.1/cat.png")) });
    const QPoint where = window->rect().center();
    QDragEnterEvent enter(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &enter);
    QCOMPARE(enter.isAccepted(), accepted);
    QDropEvent dropped(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &dropped);
    QCOMPARE(dropped.isAccepted(), accepted);

    // Chosen once the drop has returned.
    const QString pattern = after.isEmpty() ? QRegularExpression::escape(PathOf(QStringLiteral("earlier"))) : after;
    const QRegularExpression expected(QRegularExpression::anchoredPattern(pattern));
    QTRY_VERIFY2(expected.match(PathBox(*window)->text()).hasMatch(), qPrintable(PathBox(*window)->text()));
    const bool refused = edge == 0;
    QTRY_COMPARE(messages.shown.size(), refused ? 1 : 0);
    if (refused)
        QCOMPARE(messages.shown[0].text, kTooBig);
}

QTEST_MAIN(TestFrmMainPaste)
#include "tst_frmMainPaste.moc"
