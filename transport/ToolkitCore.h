#pragma once

// The part of the toolkit that needs no display: the failure that a
// handler's trap catches and file lengths. The upload components and the
// command line use these, without the window.

#include <QString>
#include <QtGlobal>

#include <stdexcept>

namespace Toolkit {

// A failure caught by a handler's trap: a number a user can look up and its text.
class Failure : public std::runtime_error
{
public:
    Failure(int number, const QString& description);

    int number() const { return m_number; }
    QString description() const { return m_description; }

private:
    int m_number;
    QString m_description;
};

// Length in bytes of the file at path; throws Failure (errno and its text)
// when it does not exist or cannot be examined.
qint64 FileLen(const QString& path);

} // namespace Toolkit
