// The two upload transports of the window: the HTTP client (cmdInet) and the
// plain socket (cmdWinsock).

#include "frmMain.h"

#include "AnswerPage.h"
#include "InetControl.h"
#include "Toolkit.h"
#include "TransportFailure.h"
#include "WinsockControl.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace {

const char* const kPostOperation = "POST";

constexpr int kChunkSize = 1024;
constexpr int icString = 0;

constexpr std::int32_t kHttpTransport = 0;
constexpr std::int32_t kSocketTransport = 1;

// The strip repaints at most this often; the transports report far more often.
constexpr std::chrono::milliseconds kProgressInterval{30};
// One frame of a 60 Hz display.
constexpr std::chrono::milliseconds kFrame{16};

bool IsChecked(const QCheckBox* box)
{
    return box->checkState() != Qt::Unchecked;
}

std::string ImagePathOf(const QLineEdit* box)
{
    return QFile::encodeName(box->text()).toStdString();
}

double SecondsOf(std::chrono::milliseconds limit)
{
    return static_cast<double>(limit.count()) / 1000.0;
}

} // namespace

void frmMain::SetupTransports()
{
    Inet = new InetControl(this);
    Inet->setObjectName(QStringLiteral("Inet"));
    Inet->MaxResponseBytes = MaxResponseBytes;
    connect(Inet, &InetControl::StateChanged, this, &frmMain::Inet_StateChanged);

    Winsock = new WinsockControl(this);
    Winsock->setObjectName(QStringLiteral("Winsock"));
    Winsock->SetConnectTimeout(m_responseTimeout);
    Winsock->SetIdleTimeout(m_responseTimeout);
    Winsock->SetMaxReceiveBytes(MaxResponseBytes);
    connect(Winsock, &WinsockControl::Connected, this, &frmMain::Winsock_Connect);
    connect(Winsock, &WinsockControl::DataArrival, this, &frmMain::Winsock_DataArrival);
    connect(Winsock, &WinsockControl::Error, this, &frmMain::Winsock_Error);

    m_paintHold = new QTimer(this);
    m_paintHold->setSingleShot(true);
    m_paintHold->setInterval(kFrame);
    connect(m_paintHold, &QTimer::timeout, this, [this] {
        // Nothing sent yet (a slow connection): the busy window is shown all the same.
        DisableResultsOnceSent();
        ReleasePainting();
    });

    m_progressTimer = new QTimer(this);
    m_progressTimer->setSingleShot(true);
    connect(m_progressTimer, &QTimer::timeout, this, &frmMain::ApplyUploadProgress);
    connect(Inet, &InetControl::UploadProgress, this, &frmMain::UploadProgress);
    connect(Winsock, &WinsockControl::SendProgress, this, &frmMain::UploadProgress);
}

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
    // Late reports of an ended upload, and the HTTP client's closing (0, 0), are not progress.
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
    ReleasePainting();
}

void frmMain::ShowBusy(qint64 total)
{
    HoldPainting();
    LockInputs();
    setWindowTitle(QString::fromLatin1(BusyCaption));
    StartUploadProgress(total);
}

void frmMain::HoldPainting()
{
    setUpdatesEnabled(false);
    m_paintHold->start();
}

void frmMain::DisableResultsOnceSent()
{
    if (std::exchange(m_rowsToEmpty, false))
        DisableResults();
}

void frmMain::ReleasePainting()
{
    m_paintHold->stop();
    if (updatesEnabled())
        return;
    setUpdatesEnabled(true);
    // A repaint that was already requested when painting was held (a text
    // set just before the click) was dropped, and Qt waits for it before it
    // asks again: this request stands in for it.
    QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

std::unique_ptr<modTarnwick::RequestStream> frmMain::OpenRequest(std::int32_t transportMode)
{
    const bool randomName = IsChecked(chkRandomName);
    const std::string imagePath = ImagePathOf(txtImagePath);
    const modTarnwick::ErrorReportScope reportHere(m_reportError);
    return modTarnwick::OpenUploadRequest(imagePath, transportMode, randomName);
}

void frmMain::ShowAnswer(const std::string& page, const std::string& head)
{
    m_rowsToEmpty = false;
    HideUploadProgress();
    modTarnwick::LinkSet links;
    {
        const modTarnwick::ErrorReportScope reportHere(m_reportError);
        links = modTarnwick::ParseResultPage(page);
    }
    // Neither section on the page: whatever the service said, it gave no links.
    if (TransportFailure::HoldsNoLinks(links)) {
        const TransportFailure::Failure failure = TransportFailure::NoLinks(head);
        EndUploadWithFailure(failure.number, failure.description);
        return;
    }

    EnableResults();
    UnlockInputs();
    const std::size_t rows = std::min(links.size(), txtResult.size());
    for (std::size_t i = 0; i < rows; ++i) {
        txtResult[i]->setText(QString::fromUtf8(links[i]));
        // A code is recognised by its start ("<a href=", "[url="), not its end.
        txtResult[i]->setCursorPosition(0);
    }
    setWindowTitle(QString::fromLatin1(IdleCaption));
}

void frmMain::ReturnToIdle()
{
    m_rowsToEmpty = false;
    HideUploadProgress();
    DisableResults();
    UnlockInputs();
    setWindowTitle(QString::fromLatin1(IdleCaption));
}

void frmMain::EndUploadWithFailure(int number, const QString& description)
{
    try {
        ReturnToIdle();
    } catch (...) {
        // The message below is what the user must see; a second failure adds nothing.
    }
    ShowFailure(number, description);
}

void frmMain::ShowFailure(int number, const QString& description)
{
    Toolkit::MsgBox(this, TransportFailure::MessageText(number, description));
}

// ---- Upload through the HTTP client ------------------------------------------

void frmMain::cmdInet_Click()
{
    try {
        // Opened before the window changes: a file that cannot be read reports while idle.
        std::unique_ptr<modTarnwick::RequestStream> request = OpenRequest(kHttpTransport);
        if (!request) {
            ShowBusy(0);
            ReturnToIdle();
            return;
        }
        // The request starts first, on the client's own thread: the window
        // changes while it connects, and nobody sees the window before the
        // next frame anyway.
        const qint64 size = static_cast<qint64>(request->Size());
        Inet->RequestTimeout = SecondsOf(m_responseTimeout);
        const std::string headerBlock = request->HeaderBlock();
        Inet->Execute(m_endpoint.homePageUrl, QString::fromLatin1(kPostOperation), std::move(request), headerBlock);

        ShowBusy(size);
        DisableResults();
    } catch (const std::exception& trapped) {
        const TransportFailure::Failure failure = TransportFailure::FailureOf(trapped);
        EndUploadWithFailure(failure.number, failure.description);
    }
}

void frmMain::Inet_StateChanged(int state)
{
    if (state == InetControl::icError) {
        EndUploadWithFailure(Inet->ResponseCode(), Inet->ResponseInfo());
        return;
    }
    if (state != InetControl::icResponseCompleted)
        return;

    std::string page;
    std::string piece = Inet->GetChunk(kChunkSize, icString);
    Toolkit::DoEvents();
    do {
        page += piece;
        piece = Inet->GetChunk(kChunkSize, icString);
        Toolkit::DoEvents();
    } while (!piece.empty());

    ShowAnswer(page, Inet->GetHeader());
}

// ---- Upload through the socket -----------------------------------------------

void frmMain::cmdWinsock_Click()
{
    try {
        // Whatever the previous connection left must not reach this answer.
        Winsock->Close();
        std::string().swap(ResponseBuffer);

        // The connection is asked for first, and the rows change once the
        // request is on its way (Winsock_Connect): nobody sees the window
        // before the next frame anyway.
        m_socketUploading = true;
        Winsock->Connect(m_endpoint.host, m_endpoint.port);

        ShowBusy(0);
        m_rowsToEmpty = true;
    } catch (const std::exception& trapped) {
        m_socketUploading = false;
        const TransportFailure::Failure failure = TransportFailure::FailureOf(trapped);
        EndUploadWithFailure(failure.number, failure.description);
    }
}

void frmMain::Winsock_Connect()
{
    m_buildingRequest = true;
    std::unique_ptr<modTarnwick::RequestStream> request = OpenRequest(kSocketTransport);
    m_buildingRequest = false;
    if (!request) {
        // Nothing will be sent: a connection left open could only bring a
        // late failure message to an idle window.
        Winsock->Close();
        m_socketUploading = false;
        ReturnToIdle();
        return;
    }
    StartUploadProgress(static_cast<qint64>(request->Size()));
    Winsock->SendStream(std::move(request));
    DisableResultsOnceSent();
}

void frmMain::Winsock_DataArrival(qint64 /*bytesTotal*/)
{
    const std::size_t searched = ResponseBuffer.size();
    ResponseBuffer += Winsock->GetData();
    if (!AnswerPage::EndHasArrived(ResponseBuffer, searched))
        return;

    // The answer is complete: nothing more from this connection may reach the user.
    Winsock->Close();
    m_socketUploading = false;

    // The buffer begins with the status line and headers: it is its own head.
    ShowAnswer(ResponseBuffer, ResponseBuffer);
    std::string().swap(ResponseBuffer);
}

void frmMain::Winsock_Error(int number, const QString& description)
{
    Winsock->Close();
    std::string answer;
    answer.swap(ResponseBuffer);

    // The connection broke while the builder's report was on screen: that
    // report already ends this upload, and a second message would say nothing.
    if (m_buildingRequest)
        return;

    if (std::exchange(m_socketUploading, false)) {
        const TransportFailure::Failure failure = TransportFailure::ConnectionEnded(number, description, answer);
        EndUploadWithFailure(failure.number, failure.description);
        return;
    }
    // No upload under way: the window keeps whatever it shows.
    ShowFailure(number, description);
}
