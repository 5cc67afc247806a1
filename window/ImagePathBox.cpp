#include "ImagePathBox.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPointer>

namespace {

// The standard menu's Paste, which would paste text only.
QAction* StandardPaste(const QMenu& menu)
{
    const QString caption = QLineEdit::tr("&Paste");
    for (QAction* action : menu.actions()) {
        if (action->objectName() == QLatin1String("edit-paste") || action->text().startsWith(caption))
            return action;
    }
    return nullptr;
}

bool ClipboardHoldsAnything()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data && !data->formats().isEmpty();
}

} // namespace

ImagePathBox::ImagePathBox(QWidget* parent) : QLineEdit(parent) {}

void ImagePathBox::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Paste) && !isReadOnly()) {
        event->accept();
        emit PasteRequested();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void ImagePathBox::contextMenuEvent(QContextMenuEvent* event)
{
    QPointer<QMenu> menu = createStandardContextMenu();
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (QAction* standard = StandardPaste(*menu)) {
        auto* paste = new QAction(standard->text(), menu);
        paste->setObjectName(QStringLiteral("pasteImageOrText"));
        paste->setIcon(standard->icon());
        paste->setEnabled(!isReadOnly() && ClipboardHoldsAnything());
        connect(paste, &QAction::triggered, this, &ImagePathBox::PasteRequested);
        menu->insertAction(standard, paste);
        menu->removeAction(standard);
    }
    menu->popup(event->globalPos());
}
