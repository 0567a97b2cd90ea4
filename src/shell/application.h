// The desktop program's application object: it keeps the program running when an action
// fails in a way its own handler did not expect.
#pragma once

#include <QApplication>

#include <exception>

// Thread safety: main thread only, as every QApplication.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // Delivers the event; an exception that escapes the receiver (an engine's message,
    // memory that ran out) ends the current action: it is shown as an error, a busy state
    // ends, and the program goes on.
    bool notify(QObject* receiver, QEvent* event) override;

    // The words for an exception that ended an action.
    static QString FailureText(const std::exception_ptr& failure);
};
