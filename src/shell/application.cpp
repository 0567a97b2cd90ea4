#include "shell/application.h"

#include "base/errors.h"
#include "shell/master_window.h"

#include <new>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

QString TApplication::FailureText(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const EQuiva& error) {
        return error.Message();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory: the action was stopped");
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    } catch (...) {
        return QStringLiteral("The action failed");
    }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        const QString text = FailureText(std::current_exception());
        if (TMaster* master = Master()) {
            master->ReportFailure(text);
        } else if (THost* host = Host()) {
            host->ShowStatus(text, false, kStatusError);
        }
        return false;
    }
}
