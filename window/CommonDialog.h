#pragma once

// The window's open-file dialog, over QFileDialog. Settings are made as
// members before ShowOpen, which is modal and, with CancelError set, throws
// Toolkit::Failure when the user cancels.

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

class CommonDialog : public QObject
{
    Q_OBJECT

public:
    static constexpr int cdlOFNHideReadOnly = 0x4;
    static constexpr int cdlOFNFileMustExist = 0x1000;
    static constexpr int cdlOFNExplorer = 0x80000;
    // Number of the failure thrown by a cancelled dialog.
    static constexpr int cdlCancel = 32755;

    explicit CommonDialog(QWidget* parent = nullptr); // parent: the dialog's owner window

    int Flags = 0;
    // "description|patterns;patterns", entries joined by '|'.
    QString Filter;
    QString DialogTitle;
    bool CancelError = false;

    void ShowOpen();
    QString FileName() const { return m_fileName; }

    // Filter in Qt's form: "Images (*.jpg;*.png)|*.jpg;*.png" -> "Images (*.jpg *.png)".
    QStringList QtNameFilters() const;

    // Test seam: the next ShowOpen (of any CommonDialog) returns this name without
    // showing anything, or behaves as a cancel when given std::nullopt.
    static void SetNextFileName(std::optional<QString> fileName);

private:
    QWidget* m_parent;
    QString m_fileName;
};
