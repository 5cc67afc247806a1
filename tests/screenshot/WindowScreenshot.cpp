// Drives the real window through one upload against a running local service,
// then photographs it with its links filled in, for the README. The image is
// pasted, as a screenshot tool's copy would be: the path box tells what it is.
//
//   WindowScreenshot PORT IMAGE OUTPUT.png      (run under an X server)

#include "frmMain.h"

#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    const QStringList args = QApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: WindowScreenshot PORT IMAGE OUTPUT.png\n");
        return 2;
    }

    ServiceEndpoint endpoint;
    endpoint.host = QStringLiteral("127.0.0.1");
    endpoint.port = quint16(args.at(1).toUInt());
    endpoint.homePageUrl = QStringLiteral("http://127.0.0.1:%1").arg(endpoint.port);

    frmMain window(endpoint);
    window.show();

    const QImage image(args.at(2));
    if (image.isNull()) {
        std::fprintf(stderr, "WindowScreenshot: cannot read %s\n", qPrintable(args.at(2)));
        return 1;
    }
    QApplication::clipboard()->setImage(image);
    auto* pathBox = window.findChild<QLineEdit*>(QStringLiteral("txtImagePath"));
    QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
    QApplication::sendEvent(pathBox, &paste);
    if (!pathBox->text().startsWith(QLatin1String("Pasted image"))) {
        std::fprintf(stderr, "WindowScreenshot: the image was not pasted\n");
        return 1;
    }
    window.findChild<QPushButton*>(QStringLiteral("cmdInet"))->click();

    auto* lastRow = window.findChild<QLineEdit*>(QStringLiteral("txtResult7"));
    const QDeadlineTimer deadline(20000);
    while (lastRow->text().isEmpty() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (lastRow->text().isEmpty()) {
        std::fprintf(stderr, "WindowScreenshot: no links arrived\n");
        return 1;
    }
    // Show the start of every link, as a user sees it after the upload.
    for (auto* row : window.findChildren<QLineEdit*>())
        row->setCursorPosition(0);
    window.activateWindow();
    const QDeadlineTimer settle(500);
    while (!settle.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);

    // The window renders itself: a grab of the X server's screen came out
    // black on some Xvfb set-ups (the build machine's among them).
    const QPixmap shot = window.grab();
    if (!shot.save(args.at(3))) {
        std::fprintf(stderr, "WindowScreenshot: cannot write %s\n", qPrintable(args.at(3)));
        return 1;
    }
    return 0;
}
