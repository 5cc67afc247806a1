#include "ImagePathBox.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

namespace {

bool ClipboardHoldsAnything()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data && !data->formats().isEmpty();
}

} // namespace

ImagePathBox::ImagePathBox(QWidget* parent)
    : QLineEdit(parent)
{ }

void ImagePathBox::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Paste) && !isReadOnly()) {
        event->accept();
        emit PasteRequested();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

// The line edit's own menu, made of its public slots: its standard menu's
// Paste would paste text only, and that menu gives no documented way to
// find its Paste and put ours in its place.
void ImagePathBox::contextMenuEvent(QContextMenuEvent* event)
{
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const bool editable = !isReadOnly();
    const auto add = [&](const QString& text, const char* icon, QKeySequence::StandardKey key, bool enabled,
                         auto slot) {
        QAction* action = menu->addAction(QIcon::fromTheme(QLatin1String(icon)), text, this, slot);
        action->setShortcut(key);
        action->setEnabled(enabled);
        return action;
    };
    add(tr("&Undo"), "edit-undo", QKeySequence::Undo, editable && isUndoAvailable(), &QLineEdit::undo);
    add(tr("&Redo"), "edit-redo", QKeySequence::Redo, editable && isRedoAvailable(), &QLineEdit::redo);
    menu->addSeparator();
    add(tr("Cu&t"), "edit-cut", QKeySequence::Cut, editable && hasSelectedText(), &QLineEdit::cut);
    add(tr("&Copy"), "edit-copy", QKeySequence::Copy, hasSelectedText(), &QLineEdit::copy);
    QAction* paste = add(tr("&Paste"), "edit-paste", QKeySequence::Paste, editable && ClipboardHoldsAnything(),
                         &ImagePathBox::PasteRequested);
    paste->setObjectName(QStringLiteral("pasteImageOrText"));
    add(tr("Delete"), "edit-delete", QKeySequence::Delete, editable && hasSelectedText(), &QLineEdit::del);
    menu->addSeparator();
    add(tr("Select All"), "edit-select-all", QKeySequence::SelectAll, !text().isEmpty() && selectedText() != text(),
        &QLineEdit::selectAll);
    menu->popup(event->globalPos());
}
