#include "CommonDialog.h"

#include "Toolkit.h"

#include <QFileDialog>
#include <QWidget>

namespace {

// A pending answer of the test seam: empty when none is pending; holding
// std::nullopt for a cancel.
std::optional<std::optional<QString>>& NextFileName()
{
    static std::optional<std::optional<QString>> next;
    return next;
}

// "Images (*.jpg;*.png)" -> "Images": Qt takes the patterns from the last
// parenthesised group, so a pattern list already in the description would be
// shown twice and, with semicolons, not be understood.
QString DescriptionWithoutPatterns(const QString& description)
{
    const QString text = description.trimmed();
    const qsizetype open = text.lastIndexOf(QLatin1Char('('));
    if (open < 0 || !text.endsWith(QLatin1Char(')')))
        return text;
    const QString inner = text.mid(open + 1, text.size() - open - 2);
    if (!inner.contains(QLatin1Char('*')) && !inner.contains(QLatin1Char('?')))
        return text;
    return text.left(open).trimmed();
}

} // namespace

CommonDialog::CommonDialog(QWidget* parent)
    : QObject(parent)
    , m_parent(parent)
{ }

QStringList CommonDialog::QtNameFilters() const
{
    QStringList filters;
    const QStringList parts = Filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            if (!pattern.trimmed().isEmpty())
                patterns << pattern.trimmed();
        }
        if (patterns.isEmpty())
            continue;
        const QString description = DescriptionWithoutPatterns(parts[i]);
        const QString list = patterns.join(QLatin1Char(' '));
        filters << (description.isEmpty() ? list : description + QStringLiteral(" (") + list + QLatin1Char(')'));
    }
    return filters;
}

void CommonDialog::ShowOpen()
{
    std::optional<QString> chosen;

    if (auto& next = NextFileName(); next.has_value()) {
        chosen = *next;
        next.reset();
    } else {
        QFileDialog dialog(m_parent, DialogTitle);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // Without the must-exist flag a typed name of a missing file is accepted;
        // whoever asked finds out when it uses the file.
        dialog.setFileMode((Flags & cdlOFNFileMustExist) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        const QStringList filters = QtNameFilters();
        if (!filters.isEmpty())
            dialog.setNameFilters(filters);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().constFirst();
    }

    if (!chosen) {
        m_fileName.clear();
        if (CancelError)
            throw Toolkit::Failure(cdlCancel, QStringLiteral("Cancel was selected."));
        return;
    }
    m_fileName = *chosen;
}

void CommonDialog::SetNextFileName(std::optional<QString> fileName)
{
    NextFileName().emplace(std::move(fileName));
}
