#include "ToolkitCore.h"

#include <QFile>

#include <filesystem>
#include <system_error>

namespace Toolkit {

Failure::Failure(int number, const QString& description)
    : std::runtime_error(description.toStdString())
    , m_number(number)
    , m_description(description)
{ }

qint64 FileLen(const QString& path)
{
    std::error_code error;
    const std::filesystem::path native(QFile::encodeName(path).toStdString());
    const std::uintmax_t length = std::filesystem::file_size(native, error);
    if (error)
        throw Failure(error.value(), QString::fromLocal8Bit(error.message()));
    return static_cast<qint64>(length);
}

} // namespace Toolkit
