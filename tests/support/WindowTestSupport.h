#pragma once

// Helpers shared by the window and transport tests: a message-box recorder
// and the controls, found by the names they carry on screen.

#include "Toolkit.h"
#include "UploadTestSupport.h"
#include "frmMain.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QList>
#include <QMimeData>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <chrono>
#include <memory>

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

// Message boxes without a title of their own carry the application's name.
inline void UseApplicationTitle()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
}

// A shown window whose uploads go to 127.0.0.1:port over either transport.
inline std::unique_ptr<frmMain> OpenWindowAt(quint16 port, std::chrono::milliseconds limit,
                                             std::chrono::milliseconds answerDeadline = UploadLimits::AnswerDeadline)
{
    auto window = std::make_unique<frmMain>(LoopbackEndpoint(port), limit, answerDeadline);
    window->show();
    return window;
}

// The status line and headers of a socket answer, before its page.
inline const QByteArray kSocketHead = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";

// Waits until the socket transport has taken the head of an answer (its first
// arrival), so that a broken connection counts as mid-answer. The HTTP client
// needs no wait: it never sends a request twice, so a connection broken
// before or after the head ends the same way.
inline bool WaitForAnswerHead(bool socket, const QSignalSpy& arrivals)
{
    return !socket || QTest::qWaitFor([&] { return arrivals.size() == 1; });
}

// An opaque image of random pixels: it compresses badly, as PNG and as JPEG.
inline QImage NoiseImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(quint32(width * 7919 + height));
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xFF000000u | (random.generate() & 0xFFFFFFu);
    }
    return image;
}

// Puts an image on the clipboard as a screenshot tool does: image data only.
inline void CopyImage(const QImage& image)
{
    auto* data = new QMimeData;
    data->setImageData(image);
    QGuiApplication::clipboard()->setMimeData(data);
}
