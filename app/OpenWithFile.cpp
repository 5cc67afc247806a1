#include "OpenWithFile.h"

#include "CommandLine.h"
#include "TransportFailure.h"
#include "frmMain.h"

#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <exception>

void ChooseFileIn(frmMain& window, const QString& file)
{
    // Queued: a refusal box is shown over the window, from its event loop.
    QMetaObject::invokeMethod(
        &window,
        [&window, file] {
            try {
                // The box shows a whole path, as the dialog gives one.
                window.ChooseImage(file.isEmpty() ? file : QFileInfo(file).absoluteFilePath());
            } catch (const std::exception& trapped) {
                // Browse ends silently here; a name given at start earns a word on the terminal.
                const QByteArray line = CommandLine::FailureLine(file, TransportFailure::FailureOf(trapped));
                std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
            }
        },
        Qt::QueuedConnection);
}
