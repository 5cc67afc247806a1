#pragma once

// The thin layer through which the window reaches the desktop: message boxes,
// the clipboard, file lengths, colours and the
// failure that a handler's trap catches. File lengths and the failure come
// from ToolkitCore.h, which needs no display. Tests replace the message box
// with a recorder so that nothing modal ever blocks them.

#include "ToolkitCore.h"

#include <QString>
#include <QtGlobal>

#include <functional>

class QWidget;

namespace Toolkit {

// Message box styles the window uses.
enum MsgBoxStyle : int {
    vbOKOnly = 0,
    vbExclamation = 48,
};

// The application's title, used when a message box is given none.
QString ApplicationTitle();

// Modal; returns after OK. An empty title means the application's title.
void MsgBox(QWidget* parent, const QString& text, int style = vbOKOnly, const QString& title = QString());

// Test seam: while a handler is installed, MsgBox calls it with what it would
// have shown (title already resolved) instead of showing anything. The handler
// is the "answer": when it returns, MsgBox returns.
struct ShownMessage
{
    QString text;
    QString title;
    int style = vbOKOnly;
};
using MsgBoxHandler = std::function<void(const ShownMessage&)>;
void SetMsgBoxHandler(MsgBoxHandler handler);

// The clipboard: Clear empties it; SetText puts text on it as plain text only.
void ClipboardClear();
void ClipboardSetText(const QString& text);

// 0x00BBGGRR, or 0x80000000 + a system-colour index (0x8000000F: button face).
void SetBackColor(QWidget* widget, quint32 colour);
// One background while the widget is enabled and another while it is
// disabled; the widget then changes colour with its state, at no cost.
void SetBackColor(QWidget* widget, quint32 enabledColour, quint32 disabledColour);

} // namespace Toolkit
