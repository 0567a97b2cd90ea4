// The one exception type of the program: an action's failure, carrying the message text
// that the user sees.
#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

class EQuiva : public std::exception {
public:
    explicit EQuiva(QString message);
    explicit EQuiva(const char* message);

    // The message as the user sees it.
    const QString& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// Raises EQuiva with the message. Never returns.
[[noreturn]] void RaiseError(const QString& message);
