#include "base/errors.h"

EQuiva::EQuiva(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}

EQuiva::EQuiva(const char* message) : EQuiva(QString::fromUtf8(message)) {}

void RaiseError(const QString& message) {
    throw EQuiva(message);
}
