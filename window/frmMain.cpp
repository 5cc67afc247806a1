#include "frmMain.h"

#include "CommonDialog.h"
#include "ImagePathBox.h"
#include "ProgressStrip.h"
#include "ServiceDialog.h"
#include "Toolkit.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QUrl>

#include <exception>
#include <vector>

// Outside any namespace: the resources live in a static library, and only this
// reference keeps the linker from dropping them.
static void InitWindowResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

// Control positions are kept in twips so the code reads like the layout.
constexpr int kTwipsPerPixel = 15;

int Pixels(int twips)
{
    return qRound(double(twips) / kTwipsPerPixel);
}

QRect Twips(int left, int top, int width, int height)
{
    return QRect(Pixels(left), Pixels(top), Pixels(width), Pixels(height));
}

template <class Control>
Control* Place(Control* control, const QString& name, const QRect& geometry)
{
    control->setObjectName(name);
    control->setGeometry(geometry);
    return control;
}

// A picture box used only to hold other controls: no border, no background.
QWidget* Container(QWidget* parent)
{
    return new QWidget(parent);
}

// The layout was measured for a narrow 8-point sans serif. The wider desktop
// defaults would cut the row captions and the check box, so the window asks
// for a font with those metrics and falls back to the default sans.
QFont WindowFont()
{
    QFont font;
    font.setFamilies({ QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                       QStringLiteral("Helvetica") });
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

constexpr quint32 kWhite = 0xFFFFFF;
constexpr quint32 kButtonFace = 0x8000000F;

struct ResultLabel
{
    const char* caption;
    int top;
    int width;
};

// Row 7 stands level with its Copy button, not on the 360-twip grid.
constexpr std::array<ResultLabel, 8> kResultLabels = { {
    { "Thumbnail for Websites", 40, 1665 },
    { "Thumbnail for forums (1)", 400, 1695 },
    { "Thumbnail for forums (2)", 760, 1695 },
    { "Hotlink for forums (1)", 1120, 1455 },
    { "Hotlink for forums (2)", 1480, 1455 },
    { "Hotlink for Websites", 1840, 1425 },
    { "Show image to friends", 2200, 1560 },
    { "Direct link to image", 2540, 1350 },
} };

const QString kImageFilter =
    QStringLiteral("Image Files (*.jpg;*.jpeg;*.png;*.gif;*.bmp)|*.jpg;*.jpeg;*.png;*.gif;*.bmp");
const QString kSelectImageTitle = QStringLiteral("Select an image file");
const QString kTooBigTitle = QStringLiteral("Image too big");

// Enough for an 8K screenshot at 16 bits a channel.
constexpr int kPastedImageAllocationMB = 512;

// The one local file (not a folder) that a drag carries; empty for anything else.
QString DraggedFile(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return {};
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.constFirst().isLocalFile())
        return {};
    const QString path = urls.constFirst().toLocalFile();
    if (path.isEmpty() || QFileInfo(path).isDir())
        return {};
    return path;
}

// Reading and encoding a large screenshot takes a moment, a second or more
// for one of an 8K screen.
struct BusyCursor
{
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// The image that a drag or the clipboard carries as data; null for none.
QImage ImageData(const QMimeData* data)
{
    if (!data || !data->hasImage())
        return {};
    return qvariant_cast<QImage>(data->imageData());
}

} // namespace

frmMain::frmMain(const ServiceEndpoint& endpoint, std::chrono::milliseconds responseTimeout,
                 std::chrono::milliseconds answerDeadline, QWidget* parent)
    : QWidget(parent)
{
    Form_Initialize();
    CreateControls();

    m_upload = new ImageUpload(endpoint, responseTimeout, answerDeadline, this);
    m_upload->setObjectName(QStringLiteral("Upload"));
    connect(m_upload, &ImageUpload::Ended, this, &frmMain::Upload_Ended);
    m_progressTimer = new QTimer(this);
    m_progressTimer->setSingleShot(true);
    connect(m_progressTimer, &QTimer::timeout, this, &frmMain::ApplyUploadProgress);
    connect(m_upload, &ImageUpload::Progress, this, &frmMain::UploadProgress);

    connect(cmdBrowse, &QPushButton::clicked, this, &frmMain::cmdBrowse_Click);
    connect(cmdInet, &QPushButton::clicked, this, &frmMain::cmdInet_Click);
    connect(cmdWinsock, &QPushButton::clicked, this, &frmMain::cmdWinsock_Click);
    for (int i = 0; i < int(cmdCopy.size()); ++i)
        connect(cmdCopy[i], &QPushButton::clicked, this, [this, i] { cmdCopy_Click(i); });
    connect(cmdCopyAll, &QPushButton::clicked, this, &frmMain::cmdCopyAll_Click);
    connect(txtImagePath, &ImagePathBox::PasteRequested, this, &frmMain::Form_Paste);
    connect(txtImagePath, &QLineEdit::textEdited, this, &frmMain::txtImagePath_Edited);
    // The path box takes its own paste keys; this serves the rest of the window.
    auto* paste = new QShortcut(QKeySequence::Paste, this, this, &frmMain::Form_Paste);
    paste->setObjectName(QStringLiteral("PasteShortcut"));
    // Out of the way of the layout and its captions: a key and the window's context menu.
    mnuService = new QAction(QStringLiteral("Service address..."), this);
    mnuService->setObjectName(QStringLiteral("mnuService"));
    mnuService->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    mnuService->setShortcutContext(Qt::WindowShortcut);
    addAction(mnuService);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(mnuService, &QAction::triggered, this, &frmMain::mnuService_Click);

    Form_Load();
}

frmMain::~frmMain()
{
    Form_Terminate();
}

void frmMain::Form_Initialize()
{
    // Qt's widgets need no common-controls start; this is where it would go.

    // A pasted screenshot is decoded whole: Qt's default of 128 MB would
    // refuse one of an 8K screen, whose JPEG may well fit.
    if (QImageReader::allocationLimit() < kPastedImageAllocationMB)
        QImageReader::setAllocationLimit(kPastedImageAllocationMB);
}

void frmMain::CreateControls()
{
    InitWindowResources();

    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromLatin1(IdleCaption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(Twips(0, 0, 8535, 4965).size());
    setAcceptDrops(true);
    setFont(WindowFont());

    QIcon icon;
    for (const int size : { 16, 24, 32, 48, 128 })
        icon.addFile(QStringLiteral(":/icons/tarnwick-%1-32bit.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    CDlg = new CommonDialog(this);
    CDlg->setObjectName(QStringLiteral("CDlg"));

    Frame1 = Place(new QGroupBox(QStringLiteral("Select Image"), this), QStringLiteral("Frame1"),
                   Twips(120, 120, 8295, 855));
    Picture3 = Place(Container(Frame1), QStringLiteral("Picture3"), Twips(120, 340, 1065, 375));
    cmdBrowse =
        Place(new QPushButton(QStringLiteral("Browse"), Picture3), QStringLiteral("cmdBrowse"), Twips(0, 0, 975, 315));
    Picture1 = Place(Container(Frame1), QStringLiteral("Picture1"), Twips(1200, 370, 6915, 375));
    txtImagePath = Place(new ImagePathBox(Picture1), QStringLiteral("txtImagePath"), Twips(0, 0, 6855, 285));

    Frame2 = Place(new QGroupBox(QStringLiteral("Upload Results"), this), QStringLiteral("Frame2"),
                   Twips(120, 1080, 8295, 3375));
    Picture2 = Place(Container(Frame2), QStringLiteral("Picture2"), Twips(180, 360, 8000, 2895));
    for (int i = 0; i < 8; ++i) {
        const QString index = QString::number(i);
        cmdCopy[i] = Place(new QPushButton(QStringLiteral("Copy"), Picture2), QStringLiteral("cmdCopy") + index,
                           Twips(0, 20 + 360 * i, 615, 255));
        txtResult[i] =
            Place(new QLineEdit(Picture2), QStringLiteral("txtResult") + index, Twips(720, 360 * i, 5295, 285));
        // White while the row holds a link, button face while it is disabled:
        // the state routines then only enable and disable it.
        Toolkit::SetBackColor(txtResult[i], kWhite, kButtonFace);
        Label[i] =
            Place(new QLabel(QString::fromLatin1(kResultLabels[i].caption), Picture2), QStringLiteral("Label") + index,
                  Twips(6120, kResultLabels[i].top, kResultLabels[i].width, 195));
        // A label is sized to its caption: where the font runs wider than the
        // layout's measure, it grows to the right instead of cutting the text.
        Label[i]->resize(qMax(Label[i]->width(), Label[i]->sizeHint().width()), Label[i]->height());
    }

    cmdWinsock = Place(new QPushButton(QStringLiteral("Upload (Winsock)"), this), QStringLiteral("cmdWinsock"),
                       Twips(120, 4560, 1695, 315));
    cmdInet =
        Place(new QPushButton(QStringLiteral("Upload"), this), QStringLiteral("cmdInet"), Twips(2040, 4560, 1695, 315));
    chkRandomName = Place(new QCheckBox(QStringLiteral("Give online image a random name"), this),
                          QStringLiteral("chkRandomName"), Twips(3840, 4600, 2895, 255));
    cmdCopyAll = Place(new QPushButton(QStringLiteral("Copy All"), this), QStringLiteral("cmdCopyAll"),
                       Twips(7200, 4560, 1215, 315));

    // Upload progress, in the gap under the results frame and as wide as it:
    // the strip must not move or cover any control of the layout.
    prgUpload = Place(new ProgressStrip(this), QStringLiteral("prgUpload"), Twips(120, 4485, 8295, 60));
    prgUpload->setTextVisible(false);
    prgUpload->setAccessibleName(QStringLiteral("Upload progress"));
    prgUpload->hide();

    // A dropped file is meant for the window as a whole, not for the text box
    // under the pointer.
    txtImagePath->setAcceptDrops(false);
    for (QLineEdit* row : txtResult) {
        row->setAcceptDrops(false);
        row->installEventFilter(this);
    }

    // What a screen reader says of each control. The captions stay as they
    // are, and each name holds its caption, which is what a user of speech
    // input says; eight buttons all called "Copy" are told apart by their rows.
    cmdBrowse->setAccessibleName(QStringLiteral("Browse"));
    cmdBrowse->setAccessibleDescription(QStringLiteral("Choose the image file to upload"));
    txtImagePath->setAccessibleName(QStringLiteral("Image to upload"));
    txtImagePath->setAccessibleDescription(
        QStringLiteral("The path of the image file to upload; Ctrl+V pastes an image, a copied file or text"));
    cmdWinsock->setAccessibleName(QStringLiteral("Upload (Winsock) over a plain socket"));
    cmdWinsock->setAccessibleDescription(
        QStringLiteral("Upload the image over a plain TCP socket and show its eight links"));
    cmdInet->setAccessibleName(QStringLiteral("Upload"));
    cmdInet->setAccessibleDescription(QStringLiteral("Upload the image over the HTTP client and show its eight links"));
    chkRandomName->setAccessibleName(QStringLiteral("Give online image a random name"));
    chkRandomName->setAccessibleDescription(
        QStringLiteral("Store the image under eight random letters and digits that keep its extension"));
    cmdCopyAll->setAccessibleName(QStringLiteral("Copy all links"));
    cmdCopyAll->setAccessibleDescription(QStringLiteral("Put every link on the clipboard, one per line"));
    for (int i = 0; i < 8; ++i) {
        const QString caption = Label[i]->text();
        Label[i]->setBuddy(txtResult[i]);
        txtResult[i]->setAccessibleName(caption);
        cmdCopy[i]->setAccessibleName(QStringLiteral("Copy ") + caption);
        cmdCopy[i]->setAccessibleDescription(QStringLiteral("Put this link on the clipboard"));
    }

    // The tab order follows the layout, top to bottom and left to right:
    // Browse and the path, each row's Copy button and its link, then the
    // bottom line.
    std::vector<QWidget*> tabOrder = { cmdBrowse, txtImagePath };
    for (int i = 0; i < 8; ++i)
        tabOrder.insert(tabOrder.end(), { cmdCopy[i], txtResult[i] });
    tabOrder.insert(tabOrder.end(), { cmdWinsock, cmdInet, chkRandomName, cmdCopyAll });
    for (std::size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen()->availableGeometry()));
}

void frmMain::Form_Load()
{
    DisableResults();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

// Closing the window ends an upload over either transport: nothing of it may
// reach a window that is gone.
void frmMain::Form_Unload()
{
    if (m_upload)
        m_upload->Cancel();
}

void frmMain::Form_Terminate()
{
    if (m_upload)
        m_upload->Cancel();
}

void frmMain::EnableResults()
{
    for (int i = 0; i < 8; ++i) {
        cmdCopy[i]->setEnabled(true);
        txtResult[i]->setEnabled(true);
        if (!txtResult[i]->text().isEmpty()) // an empty row would be laid out again for nothing
            txtResult[i]->setText(QString());
        Label[i]->setEnabled(true);
    }
    cmdCopyAll->setEnabled(true);
}

void frmMain::DisableResults()
{
    for (int i = 0; i < 8; ++i) {
        cmdCopy[i]->setEnabled(false);
        txtResult[i]->setEnabled(false);
        if (!txtResult[i]->text().isEmpty()) // an empty row would be laid out again for nothing
            txtResult[i]->setText(QString());
        Label[i]->setEnabled(false);
    }
    cmdCopyAll->setEnabled(false);
}

void frmMain::LockInputs()
{
    mnuService->setEnabled(false);
    cmdBrowse->setEnabled(false);
    cmdWinsock->setEnabled(false);
    cmdInet->setEnabled(false);
    chkRandomName->setEnabled(false);
}

void frmMain::UnlockInputs()
{
    mnuService->setEnabled(true);
    cmdBrowse->setEnabled(true);
    cmdWinsock->setEnabled(true);
    cmdInet->setEnabled(true);
    chkRandomName->setEnabled(true);
}

void frmMain::mnuService_Click()
{
    if (findChild<ServiceDialog*>())
        return;
    auto* dialog = new ServiceDialog(m_upload->Endpoint(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &ServiceDialog::Chosen, this,
            [this](const ServiceEndpoint& endpoint) { m_upload->SetEndpoint(endpoint); });
    dialog->open();
}

void frmMain::cmdBrowse_Click()
{
    try {
        CDlg->Flags = CommonDialog::cdlOFNExplorer | CommonDialog::cdlOFNHideReadOnly;
        CDlg->Filter = kImageFilter;
        CDlg->DialogTitle = kSelectImageTitle;
        CDlg->CancelError = true;
        CDlg->ShowOpen();

        if (CDlg->FileName().isEmpty())
            return;
        ChooseImage(CDlg->FileName());
    } catch (const std::exception&) {
        // A cancelled dialog or a file that cannot be measured: nothing to say.
    }
}

void frmMain::ChooseImage(const QString& fileName)
{
    if (Toolkit::FileLen(fileName) > UploadLimits::MaxImageBytes) {
        Toolkit::MsgBox(this, QString::fromLatin1(UploadLimits::TooBigText), Toolkit::vbExclamation, kTooBigTitle);
        return;
    }
    ForgetPastedImage();
    txtImagePath->setText(fileName);
}

void frmMain::ChooseImageData(const QImage& image)
{
    std::optional<PastedImage> encoded;
    {
        const BusyCursor busy;
        encoded = PastedImage::Encode(image, UploadLimits::MaxImageBytes);
    }
    // Data that said it was an image and cannot be read as one is, in all
    // but a broken program's clipboard, one beyond the decoder's limit.
    if (!encoded) {
        Toolkit::MsgBox(this, QString::fromLatin1(UploadLimits::TooBigText), Toolkit::vbExclamation, kTooBigTitle);
        return;
    }
    m_pasted = std::move(encoded);
    txtImagePath->setText(m_pasted->Description());
    txtImagePath->setCursorPosition(0);
}

void frmMain::ForgetPastedImage()
{
    m_pasted.reset();
}

void frmMain::txtImagePath_Edited()
{
    ForgetPastedImage();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Paste)) {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        if (data && (data->hasImage() || !DraggedFile(data).isEmpty())) {
            Form_Paste();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::Form_Paste()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return;
    // An image or a file is chosen as Browse would choose it, which an
    // upload under way does not allow.
    const QString path = DraggedFile(data);
    if (!path.isEmpty() || data->hasImage()) {
        if (!cmdBrowse->isEnabled())
            return;
        try {
            if (!path.isEmpty()) {
                ChooseImage(path);
                return;
            }
            QImage image;
            {
                const BusyCursor busy; // another program's data, read and decoded
                image = ImageData(data);
            }
            ChooseImageData(image);
        } catch (const std::exception&) {
            // As for Browse: a file that cannot be measured is ignored.
        }
        return;
    }
    // Text replaces the description of a pasted image rather than joining it.
    if (m_pasted)
        txtImagePath->selectAll();
    txtImagePath->paste();
    txtImagePath->setFocus(Qt::ShortcutFocusReason);
}

void frmMain::dragEnterEvent(QDragEnterEvent* event)
{
    dragMoveEvent(event);
}

void frmMain::dragMoveEvent(QDragMoveEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (cmdBrowse->isEnabled() && (!DraggedFile(data).isEmpty() || (data && data->hasImage())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void frmMain::dropEvent(QDropEvent* event)
{
    const QMimeData* data = event->mimeData();
    const QString path = DraggedFile(data);
    if (!cmdBrowse->isEnabled() || (path.isEmpty() && !(data && data->hasImage()))) {
        event->ignore();
        return;
    }
    // Image data without a file (from a browser) goes the way of a paste;
    // it is read now, while the drag still holds it.
    const QImage image = path.isEmpty() ? ImageData(data) : QImage();
    event->acceptProposedAction();

    // Checked after the drop has finished: a message box shown from inside the
    // drop would keep the file manager waiting for it.
    QMetaObject::invokeMethod(
        this,
        [this, path, image] {
            if (!cmdBrowse->isEnabled())
                return;
            try {
                if (!path.isEmpty())
                    ChooseImage(path);
                else
                    ChooseImageData(image);
            } catch (const std::exception&) {
                // Same as the dialog: a file that cannot be measured is ignored.
            }
        },
        Qt::QueuedConnection);
}

// Nothing to copy leaves the clipboard as it was: emptying it would lose
// what the user had there for nothing.
void frmMain::cmdCopy_Click(int index)
{
    const QString text = txtResult[index]->text();
    if (text.isEmpty())
        return;
    Toolkit::ClipboardClear();
    Toolkit::ClipboardSetText(text);
}

void frmMain::cmdCopyAll_Click()
{
    const QString notAvailable =
        QString::fromLatin1(modTarnwick::kNotAvailable.data(), qsizetype(modTarnwick::kNotAvailable.size()));
    QString text;
    for (QLineEdit* row : txtResult) {
        if (row->text().compare(notAvailable, Qt::CaseInsensitive) != 0)
            text += row->text() + QStringLiteral("\r\n");
    }
    if (text.isEmpty())
        return;
    Toolkit::ClipboardClear();
    Toolkit::ClipboardSetText(text);
}
