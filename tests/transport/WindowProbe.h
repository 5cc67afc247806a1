#pragma once

// What the transport tests need of the window: its controls by name, and the
// message boxes it would have shown, recorded instead of shown.

#include "Toolkit.h"
#include "frmMain.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QList>
#include <QString>

class MessageRecorder
{
public:
    MessageRecorder()
    {
        Toolkit::SetMsgBoxHandler([this](const Toolkit::ShownMessage& message) { shown.append(message); });
    }
    ~MessageRecorder() { Toolkit::SetMsgBoxHandler({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QList<Toolkit::ShownMessage> shown;
};

template <class Control = QWidget>
Control* ControlOf(const frmMain& window, const QString& name)
{
    return window.findChild<Control*>(name, Qt::FindChildrenRecursively);
}

inline QLineEdit* ResultRow(const frmMain& window, int i)
{
    return ControlOf<QLineEdit>(window, QStringLiteral("txtResult%1").arg(i));
}

// Message boxes without a title of their own carry the application's name.
inline void UseApplicationTitle()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
}
