#pragma once

// The path box: a line edit whose paste, by key or from its context menu,
// is the window's to decide, since the clipboard may hold an image or a
// copied file rather than text.

#include <QLineEdit>

class ImagePathBox : public QLineEdit
{
    Q_OBJECT

public:
    explicit ImagePathBox(QWidget* parent = nullptr);

signals:
    // Ctrl+V (or the platform's other paste keys), or Paste in the context menu.
    void PasteRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};
