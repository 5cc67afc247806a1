// The two upload commands of the window, the HTTP client (cmdInet) and the
// plain socket (cmdWinsock), and what the window shows of an upload. What an
// answer or a failure means is the upload's own (ImageUpload), shared with
// the command line.

#include "frmMain.h"

#include "ImagePathBox.h"
#include "Toolkit.h"
#include "TransportFailure.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// The strip repaints at most this often; the transports report far more often.
constexpr std::chrono::milliseconds kProgressInterval { 30 };

} // namespace

void frmMain::StartUploadProgress(qint64 total)
{
    m_progressTimer->stop();
    m_progressShown.invalidate();
    m_progressSent = 0;
    m_progressTotal = std::max<qint64>(total, 0);
    ApplyUploadProgress();
    prgUpload->show();
}

void frmMain::UploadProgress(qint64 sent, qint64 total)
{
    // Late reports of an ended upload are not progress.
    if (prgUpload->isHidden() || total <= 0)
        return;
    m_progressSent = std::clamp<qint64>(sent, 0, total);
    m_progressTotal = total;

    const bool allSent = m_progressSent == m_progressTotal;
    const qint64 waited = m_progressShown.isValid() ? m_progressShown.elapsed() : kProgressInterval.count();
    if (allSent || waited >= kProgressInterval.count()) {
        m_progressTimer->stop();
        ApplyUploadProgress();
    } else if (!m_progressTimer->isActive()) {
        m_progressTimer->start(static_cast<int>(kProgressInterval.count() - waited));
    }
}

void frmMain::ApplyUploadProgress()
{
    m_progressShown.start();
    if (m_progressTotal > 0 && m_progressSent >= m_progressTotal) {
        // The service has taken everything: now its answer is awaited.
        prgUpload->setRange(0, 0);
        return;
    }
    // The bar counts in int; a total beyond that is counted in KiB.
    const int shift = m_progressTotal > std::numeric_limits<int>::max() ? 10 : 0;
    prgUpload->setRange(0, static_cast<int>(std::max<qint64>(m_progressTotal >> shift, 1)));
    prgUpload->setValue(static_cast<int>(m_progressSent >> shift));
}

void frmMain::HideUploadProgress()
{
    m_progressTimer->stop();
    prgUpload->hide();
}

void frmMain::cmdInet_Click()
{
    StartUpload(ImageUpload::Transport::HttpClient);
}

void frmMain::cmdWinsock_Click()
{
    StartUpload(ImageUpload::Transport::Socket);
}

void frmMain::StartUpload(ImageUpload::Transport transport)
{
    try {
        m_focusBeforeUpload = focusWidget();
        DisableResults();
        LockInputs();
        m_focusDuringUpload = focusWidget();
        setWindowTitle(QString::fromLatin1(BusyCaption));
        StartUploadProgress(0);
        const bool randomName = chkRandomName->checkState() != Qt::Unchecked;
        if (m_pasted)
            m_upload->Start(m_pasted->bytes, m_pasted->UploadName(), transport, randomName);
        else
            m_upload->Start(txtImagePath->text(), transport, randomName);
    } catch (const std::exception& trapped) {
        m_upload->Cancel();
        const TransportFailure::Failure failure = TransportFailure::FailureOf(trapped);
        EndUploadWithFailure(failure.number, failure.description);
    }
}

void frmMain::Upload_Ended()
{
    HideUploadProgress();
    if (const std::optional<TransportFailure::Failure>& failure = m_upload->Failure()) {
        EndUploadWithFailure(failure->number, failure->description);
        return;
    }
    const modTarnwick::LinkSet& links = m_upload->Links();
    EnableResults();
    UnlockInputs();
    RestoreFocus();
    const std::size_t rows = std::min(links.size(), txtResult.size());
    for (std::size_t i = 0; i < rows; ++i) {
        txtResult[i]->setText(QString::fromUtf8(links[i]));
        // A code is recognised by its start ("<a href=", "[url="), not its end.
        txtResult[i]->setCursorPosition(0);
    }
    setWindowTitle(QString::fromLatin1(IdleCaption));
}

void frmMain::RestoreFocus()
{
    if (m_focusBeforeUpload && m_focusBeforeUpload->isEnabled() && m_focusBeforeUpload != m_focusDuringUpload
        && focusWidget() == m_focusDuringUpload)
        m_focusBeforeUpload->setFocus(Qt::OtherFocusReason);
    m_focusBeforeUpload.clear();
    m_focusDuringUpload.clear();
}

void frmMain::EndUploadWithFailure(int number, const QString& description)
{
    try {
        HideUploadProgress();
        DisableResults();
        UnlockInputs();
        RestoreFocus();
        setWindowTitle(QString::fromLatin1(IdleCaption));
    } catch (...) {
        // The message below is what the user must see; a second failure adds nothing.
    }
    Toolkit::MsgBox(this, TransportFailure::MessageText(number, description));
}
