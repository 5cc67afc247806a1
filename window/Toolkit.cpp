#include "Toolkit.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPalette>
#include <QWidget>

#include <utility>

namespace Toolkit {

namespace {

MsgBoxHandler& InstalledMsgBoxHandler()
{
    static MsgBoxHandler handler;
    return handler;
}

QMessageBox::Icon IconOfStyle(int style)
{
    return (style & 0x70) == vbExclamation ? QMessageBox::Warning : QMessageBox::NoIcon;
}

// Number and text of the failure raised by an unusable property value.
constexpr int kInvalidPropertyValue = 380;
const char* const kInvalidPropertyValueText = "Invalid property value";

// The window uses one system colour, the button face (index 15).
QPalette::ColorRole RoleOfSystemColour(quint32 index)
{
    if (index != 0x0F)
        throw Failure(kInvalidPropertyValue, QString::fromLatin1(kInvalidPropertyValueText));
    return QPalette::Button;
}

} // namespace

QString ApplicationTitle()
{
    if (QCoreApplication::instance()) {
        const QString name = QCoreApplication::applicationName();
        if (!name.isEmpty())
            return name;
    }
    return QStringLiteral("Tarnwick");
}

void MsgBox(QWidget* parent, const QString& text, int style, const QString& title)
{
    const ShownMessage message{text, title.isEmpty() ? ApplicationTitle() : title, style};

    if (const MsgBoxHandler& handler = InstalledMsgBoxHandler()) {
        handler(message);
        return;
    }

    QMessageBox box(IconOfStyle(style), message.title, message.text, QMessageBox::Ok, parent);
    // Failure descriptions may quote a page; never let them be read as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void SetMsgBoxHandler(MsgBoxHandler handler)
{
    InstalledMsgBoxHandler() = std::move(handler);
}

void ClipboardClear()
{
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

void ClipboardSetText(const QString& text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

void DoEvents()
{
    QCoreApplication::processEvents();
}

void SetBackColor(QWidget* widget, quint32 colour)
{
    constexpr quint32 kSystemColour = 0x80000000u;

    QPalette palette = widget->palette();
    // Line edits paint their background with Base; other widgets with Window.
    const QPalette::ColorRole role = widget->backgroundRole();

    if (colour & kSystemColour) {
        const QPalette::ColorRole source = RoleOfSystemColour(colour & ~kSystemColour);
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setBrush(group, role, palette.brush(group, source));
    } else {
        if (colour > 0xFFFFFFu)
            throw Failure(kInvalidPropertyValue, QString::fromLatin1(kInvalidPropertyValueText));
        palette.setColor(role, QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF)));
    }

    widget->setPalette(palette);
    if (role != QPalette::Base)
        widget->setAutoFillBackground(true);
}

} // namespace Toolkit
