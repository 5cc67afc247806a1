#pragma once

// The uploader's one window: the layout, its three states (Idle, Busy,
// Results shown), choosing the image, both upload transports and the
// clipboard commands. Every piece of work is an event handler of this class.

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <chrono>
#include <optional>

#include "ImageUpload.h"
#include "PastedImage.h"
#include "ServiceEndpoint.h"
#include "UploadLimits.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QImage;
class QLabel;
class QLineEdit;
class QMimeData;
class QProgressBar;
class QPushButton;
class QTimer;

class CommonDialog;
class ImagePathBox;

class frmMain : public QWidget
{
    Q_OBJECT

public:
    static constexpr const char* IdleCaption = "Tarnwick Uploader";
    static constexpr const char* BusyCaption = "Tarnwick Uploader - Uploading. Please wait...";

    // responseTimeout, answerDeadline: UploadLimits' values, or shorter for tests.
    explicit frmMain(const ServiceEndpoint& endpoint = ServiceEndpoint::CompiledIn(),
                     std::chrono::milliseconds responseTimeout = UploadLimits::ResponseTimeout,
                     std::chrono::milliseconds answerDeadline = UploadLimits::AnswerDeadline,
                     QWidget* parent = nullptr);
    ~frmMain() override;

    // State routines.
    void EnableResults();
    void DisableResults();
    void LockInputs();
    void UnlockInputs();

    // The checks of Browse, for the dialog, a dropped file and a file named
    // at start: too big, the refusal box and nothing chosen; otherwise the
    // path chosen. Throws Toolkit::Failure when the file cannot be measured.
    void ChooseImage(const QString& fileName);
    // An image that came as data (pasted, or dropped from a browser): kept in
    // memory as PNG, or as a JPEG when the PNG would be too big; when no JPEG
    // fits either, or the data could not be decoded (a null image), Browse's
    // refusal box and nothing chosen.
    void ChooseImageData(const QImage& image);

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // A result row takes Ctrl+V for itself, as a line edit does: an image or
    // a file on the clipboard is the window's paste all the same.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Initialize();
    void CreateControls();
    void Form_Load();
    void Form_Unload();
    void Form_Terminate();

    // Image selection.
    void cmdBrowse_Click();
    // Ctrl+V anywhere in the window, or Paste in the path box's menu: a
    // copied file as if dropped, image data as ChooseImageData, text into
    // the path box.
    void Form_Paste();
    // A pasted image is replaced by whatever the user types into the box.
    void txtImagePath_Edited();
    void ForgetPastedImage();

    // Ctrl+L, or the item in the window's context menu: the service address
    // dialog, whose saved choice the next upload goes to.
    void mnuService_Click();

    // Results and clipboard.
    void cmdCopy_Click(int index);
    void cmdCopyAll_Click();

    // ---- Transports: handlers and their state --------------------------------
    void cmdInet_Click();
    void cmdWinsock_Click();
    // Both transports start the same way: the window busy, then the upload.
    void StartUpload(ImageUpload::Transport transport);
    // The upload has ended: its links shown, or its failure.
    void Upload_Ended();
    // The one way back to Idle after an upload that brought no links: inputs
    // enabled, idle caption, rows disabled and empty; then the one message,
    // "N - description".
    void EndUploadWithFailure(int number, const QString& description);
    // The button pressed from the keyboard loses the focus while it is
    // disabled; it gets it back at the end unless the user moved on.
    void RestoreFocus();

    // The progress strip: shown empty when an upload starts (total 0: not
    // known yet), then fed by the upload's progress at most every few dozen
    // milliseconds; busy once all is sent, hidden at the end.
    void StartUploadProgress(qint64 total);
    void UploadProgress(qint64 sent, qint64 total);
    void ApplyUploadProgress();
    void HideUploadProgress();

    // Both transports, and what their answers mean: the same for the command line.
    ImageUpload* m_upload = nullptr;
    QTimer* m_progressTimer = nullptr;
    QElapsedTimer m_progressShown;
    qint64 m_progressSent = 0;
    qint64 m_progressTotal = 0;
    QPointer<QWidget> m_focusBeforeUpload;
    QPointer<QWidget> m_focusDuringUpload;
    // ---- end of transports ----------------------------------------------------

    // Controls, named as on screen.
    QGroupBox* Frame1 = nullptr;
    QWidget* Picture3 = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QWidget* Picture1 = nullptr;
    ImagePathBox* txtImagePath = nullptr;
    QGroupBox* Frame2 = nullptr;
    QWidget* Picture2 = nullptr;
    QPushButton* cmdWinsock = nullptr;
    QPushButton* cmdInet = nullptr;
    QCheckBox* chkRandomName = nullptr;
    QPushButton* cmdCopyAll = nullptr;
    QProgressBar* prgUpload = nullptr;
    QAction* mnuService = nullptr;
    std::array<QPushButton*, 8> cmdCopy {};
    std::array<QLineEdit*, 8> txtResult {};
    std::array<QLabel*, 8> Label {};

    // The image chosen as data, while the path box describes it.
    std::optional<PastedImage> m_pasted;

    // Non-visual components; the HTTP client and the socket are the upload's.
    CommonDialog* CDlg = nullptr;
};
