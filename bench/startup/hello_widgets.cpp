// The smallest Qt Widgets program that shows a window: what the uploader's
// start is measured against.

#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Hello"));
    label.setWindowTitle(QStringLiteral("Hello"));
    label.show();
    return QApplication::exec();
}
