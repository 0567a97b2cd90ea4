#include "base/file_error.h"

#include <cstring>

EFileError::EFileError(const QString& message, const QString& file, int error)
    : EQuiva(message),
      m_file(file),
      m_reason(error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : QString()) {}

void RaiseFileError(const QString& message, const QString& file, int error) {
    throw EFileError(message, file, error);
}
