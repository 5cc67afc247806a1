#pragma once

// Helpers shared by the window and transport tests: a message-box recorder
// and the controls, found by the names they carry on screen.

#include "Toolkit.h"
#include "frmMain.h"

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QList>

// While it lives, every message box is recorded (and answered with OK) instead of shown.
struct MessageRecorder
{
    MessageRecorder()
    {
        QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
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

// A file of exactly length bytes (sparse, so large ones cost nothing).
inline bool MakeFile(const QString& path, qint64 length)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(length);
}

// Message boxes without a title of their own carry the application's name.
inline void UseApplicationTitle()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
}
