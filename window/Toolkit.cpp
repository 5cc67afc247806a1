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
    const ShownMessage message { text, title.isEmpty() ? ApplicationTitle() : title, style };

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

namespace {

// The brush a colour value stands for in one group of palette.
QBrush BrushFor(const QPalette& palette, QPalette::ColorGroup group, quint32 colour)
{
    constexpr quint32 kSystemColour = 0x80000000u;
    if (colour & kSystemColour)
        return palette.brush(group, RoleOfSystemColour(colour & ~kSystemColour));
    if (colour > 0xFFFFFFu)
        throw Failure(kInvalidPropertyValue, QString::fromLatin1(kInvalidPropertyValueText));
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

} // namespace

void SetBackColor(QWidget* widget, quint32 colour)
{
    SetBackColor(widget, colour, colour);
}

void SetBackColor(QWidget* widget, quint32 enabledColour, quint32 disabledColour)
{
    QPalette palette = widget->palette();
    // Line edits paint their background with Base; other widgets with Window.
    const QPalette::ColorRole role = widget->backgroundRole();

    // Every brush is worked out before the palette changes: a system colour is read from it.
    const QBrush active = BrushFor(palette, QPalette::Active, enabledColour);
    const QBrush inactive = BrushFor(palette, QPalette::Inactive, enabledColour);
    const QBrush disabled = BrushFor(palette, QPalette::Disabled, disabledColour);
    palette.setBrush(QPalette::Active, role, active);
    palette.setBrush(QPalette::Inactive, role, inactive);
    palette.setBrush(QPalette::Disabled, role, disabled);

    widget->setPalette(palette);
    if (role != QPalette::Base)
        widget->setAutoFillBackground(true);
}

} // namespace Toolkit
