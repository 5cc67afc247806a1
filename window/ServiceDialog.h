#pragma once

// The small dialog in which a user sees and changes where uploads go. The
// address is read as --service reads it; a usable one is saved to the
// configuration file and handed to the window, an unusable one is refused
// in the dialog, which stays open. Opened window-modal without a nested
// event loop, so tests drive it with the keyboard like any widget.

#include "ServiceEndpoint.h"

#include <QDialog>

class QDialogButtonBox;
class QLabel;
class QLineEdit;

class ServiceDialog : public QDialog
{
    Q_OBJECT

public:
    ServiceDialog(const ServiceEndpoint& current, QWidget* parent = nullptr);

signals:
    // Saved: uploads go here from now on.
    void Chosen(const ServiceEndpoint& endpoint);

private:
    void cmdSave_Click();
    void cmdDefault_Click();
    void ShowRefusal(const QString& text);

    QLineEdit* txtServiceUrl = nullptr;
    QLabel* lblRefusal = nullptr;
    QDialogButtonBox* buttons = nullptr;
};
