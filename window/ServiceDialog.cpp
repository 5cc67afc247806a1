#include "ServiceDialog.h"

#include "ServiceChoice.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// "/home/u/.config/tarnwick/uploader.conf" -> "~/.config/tarnwick/uploader.conf"
QString Shown(const QString& path)
{
    const QString home = QDir::homePath();
    return path.startsWith(home + u'/') ? u'~' + path.mid(home.size()) : path;
}

} // namespace

ServiceDialog::ServiceDialog(const ServiceEndpoint& current, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgService"));
    setWindowTitle(tr("Service address"));

    auto* lblServiceUrl = new QLabel(tr("&Upload images to:"), this);
    txtServiceUrl = new QLineEdit(current.homePageUrl, this);
    txtServiceUrl->setObjectName(QStringLiteral("txtServiceUrl"));
    txtServiceUrl->setAccessibleName(tr("Service address"));
    txtServiceUrl->setPlaceholderText(QStringLiteral("https://img.example.org"));
    txtServiceUrl->setMinimumWidth(txtServiceUrl->fontMetrics().averageCharWidth() * 48);
    lblServiceUrl->setBuddy(txtServiceUrl);

    auto* lblHelp = new QLabel(tr("An http:// or https:// address, with a port and a path if the service needs them. "
                                  "It is saved in %1; --service and TARNWICK_SERVICE, when given at start, come first.")
                                   .arg(Shown(ServiceChoice::ConfigFilePath())),
                               this);
    lblHelp->setObjectName(QStringLiteral("lblHelp"));
    lblHelp->setWordWrap(true);
    txtServiceUrl->setAccessibleDescription(lblHelp->text());

    lblRefusal = new QLabel(this);
    lblRefusal->setObjectName(QStringLiteral("lblRefusal"));
    lblRefusal->setWordWrap(true);
    lblRefusal->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    lblRefusal->hide();

    buttons = new QDialogButtonBox(
        QDialogButtonBox::Save | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    buttons->button(QDialogButtonBox::Save)->setObjectName(QStringLiteral("cmdSave"));
    buttons->button(QDialogButtonBox::Save)->setDefault(true);
    buttons->button(QDialogButtonBox::RestoreDefaults)->setObjectName(QStringLiteral("cmdDefault"));
    buttons->button(QDialogButtonBox::RestoreDefaults)->setToolTip(ServiceEndpoint::CompiledIn().homePageUrl);
    connect(buttons->button(QDialogButtonBox::Save), &QPushButton::clicked, this, &ServiceDialog::cmdSave_Click);
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            &ServiceDialog::cmdDefault_Click);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblServiceUrl);
    layout->addWidget(txtServiceUrl);
    layout->addWidget(lblHelp);
    layout->addWidget(lblRefusal);
    layout->addWidget(buttons);
    txtServiceUrl->setFocus();
}

void ServiceDialog::cmdSave_Click()
{
    QString refusal;
    const std::optional<ServiceEndpoint> endpoint = ServiceEndpoint::FromUrl(txtServiceUrl->text(), &refusal);
    if (!endpoint) {
        ShowRefusal(refusal);
        return;
    }
    if (!ServiceChoice::SaveConfiguredUrl(txtServiceUrl->text(), &refusal)) {
        ShowRefusal(refusal);
        return;
    }
    emit Chosen(*endpoint);
    accept();
}

void ServiceDialog::cmdDefault_Click()
{
    QString failure;
    if (!ServiceChoice::SaveConfiguredUrl(QString(), &failure)) {
        ShowRefusal(failure);
        return;
    }
    emit Chosen(ServiceEndpoint::CompiledIn());
    accept();
}

void ServiceDialog::ShowRefusal(const QString& text)
{
    lblRefusal->setText(text);
    lblRefusal->show();
    // Read out with the field it is about, where the focus goes back.
    txtServiceUrl->setAccessibleDescription(text);
    txtServiceUrl->setFocus();
    txtServiceUrl->selectAll();
}
