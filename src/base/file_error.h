// A failure of a system call on a file: the message the user sees, with the file and the
// system's reason kept beside it. Windows show the message only; the command line names
// the file and the reason around it.
#pragma once

#include "base/errors.h"

class EFileError : public EQuiva {
public:
    // `error` is the errno of the failed call; 0 when there is no system reason.
    EFileError(const QString& message, const QString& file, int error);

    const QString& File() const noexcept { return m_file; }
    // strerror's text for the error number, or empty.
    const QString& Reason() const noexcept { return m_reason; }

private:
    QString m_file;
    QString m_reason;
};

// Raises EFileError. Never returns.
[[noreturn]] void RaiseFileError(const QString& message, const QString& file, int error);
