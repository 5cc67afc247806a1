#pragma once

// The uploader's one window: the layout, its three states (Idle, Busy,
// Results shown), choosing the image, both upload transports and the
// clipboard commands. Every piece of work is an event handler of this class.

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "ServiceEndpoint.h"
#include "UploadLimits.h"
#include "modTarnwick.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

class CommonDialog;
class InetControl;
class WinsockControl;

class frmMain : public QWidget
{
    Q_OBJECT

public:
    // The limits every upload keeps, under the window's names.
    static constexpr qint64 MaxImageBytes = UploadLimits::MaxImageBytes;
    static constexpr qint64 MaxResponseBytes = UploadLimits::MaxResponseBytes;
    static constexpr const char* IdleCaption = "Tarnwick Uploader";
    static constexpr const char* BusyCaption = "Tarnwick Uploader - Uploading. Please wait...";
    static constexpr const char* TooBigText = UploadLimits::TooBigText;
    static constexpr std::chrono::seconds ResponseTimeout = UploadLimits::ResponseTimeout;

    // responseTimeout: ResponseTimeout, or shorter for tests.
    explicit frmMain(const ServiceEndpoint& endpoint = ServiceEndpoint::CompiledIn(),
                     std::chrono::milliseconds responseTimeout = ResponseTimeout,
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

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void Form_Initialize();
    void CreateControls();
    void Form_Load();
    void Form_Unload();
    void Form_Terminate();

    // Image selection.
    void cmdBrowse_Click();

    // Results and clipboard.
    void cmdCopy_Click(int index);
    void cmdCopyAll_Click();

    // ---- Transports: handlers and their state --------------------------------
    void cmdInet_Click();
    void Inet_StateChanged(int state);
    void cmdWinsock_Click();
    void Winsock_Connect();
    void Winsock_DataArrival(qint64 bytesTotal);
    void Winsock_Error(int number, const QString& description);
    void SetupTransports();
    // The request for one transport, from the path and the check box as they are now.
    // The request for the chosen image, read while it is sent; null after a
    // failure the window has already shown.
    std::unique_ptr<modTarnwick::RequestStream> OpenRequest(std::int32_t transportMode);
    // Both transports end a complete answer the same way: the links, or,
    // when the answer held none, a failure. head: the answer's status line
    // and headers (the page may follow them).
    void ShowAnswer(const std::string& page, const std::string& head);
    // The one way back to Idle after an upload that brought no links: inputs
    // enabled, idle caption, rows disabled and empty.
    void ReturnToIdle();
    // Every upload failure that has not been shown yet ends here: back to
    // Idle, then the one message.
    void EndUploadWithFailure(int number, const QString& description);
    // "N - description" in a message box: how this window shows a failure.
    void ShowFailure(int number, const QString& description);

    // The progress strip: shown empty when an upload starts (total 0: not
    // known yet), then fed by either transport's progress signal at most
    // every few dozen milliseconds; busy once all is sent, hidden at the end.
    void StartUploadProgress(qint64 total);
    void UploadProgress(qint64 sent, qint64 total);
    void ApplyUploadProgress();
    void HideUploadProgress();
    // An upload has begun: painting held, inputs locked, the busy caption,
    // the progress strip for total bytes (0 while not yet known).
    void ShowBusy(qint64 total);
    // Painting the busy window costs about as long as a whole upload to a
    // near host, so it waits one frame behind the connection and the request;
    // a state that lasts less than a frame never reaches the screen anyway.
    void HoldPainting();
    void ReleasePainting();
    // A socket upload's click leaves the last upload's rows to be emptied and
    // disabled once the request is on its way, or when painting resumes if
    // that comes first: nobody sees the window before then, and the request
    // need not wait for it. The inputs are locked at the click itself. (The
    // HTTP client's request runs on a thread of its own: its click empties
    // the rows at once, while the request goes out.)
    void DisableResultsOnceSent();

    ServiceEndpoint m_endpoint;
    std::chrono::milliseconds m_responseTimeout;
    // Where the protocol module's failures go while this window calls it.
    modTarnwick::ErrorReporter m_reportError;
    std::string ResponseBuffer;
    // True from cmdWinsock_Click until that upload has ended, one way or another.
    bool m_socketUploading = false;
    // True while Winsock_Connect builds its request, whose failure report is modal.
    bool m_buildingRequest = false;
    QTimer* m_progressTimer = nullptr;
    QTimer* m_paintHold = nullptr;
    // Set by a click until DisableResultsOnceSent has emptied the rows.
    bool m_rowsToEmpty = false;
    QElapsedTimer m_progressShown;
    qint64 m_progressSent = 0;
    qint64 m_progressTotal = 0;
    // ---- end of transports ----------------------------------------------------

    // Controls, named as on screen.
    QGroupBox* Frame1 = nullptr;
    QWidget* Picture3 = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QWidget* Picture1 = nullptr;
    QLineEdit* txtImagePath = nullptr;
    QGroupBox* Frame2 = nullptr;
    QWidget* Picture2 = nullptr;
    QPushButton* cmdWinsock = nullptr;
    QPushButton* cmdInet = nullptr;
    QCheckBox* chkRandomName = nullptr;
    QPushButton* cmdCopyAll = nullptr;
    QProgressBar* prgUpload = nullptr;
    std::array<QPushButton*, 8> cmdCopy{};
    std::array<QLineEdit*, 8> txtResult{};
    std::array<QLabel*, 8> Label{};

    // Non-visual components.
    CommonDialog* CDlg = nullptr;
    InetControl* Inet = nullptr;
    WinsockControl* Winsock = nullptr;
};
