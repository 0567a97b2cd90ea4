// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread, so that the
// program ends through its normal shutdown instead of dying with unsaved state.
#pragma once

#include <QObject>

class QSocketNotifier;

class TSignalWatcher : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one watcher per process.
    explicit TSignalWatcher(QObject* parent = nullptr);
    ~TSignalWatcher() override;

signals:
    // A termination signal arrived (its number).
    void terminationRequested(int signalNumber);

private:
    void Drain();
    QSocketNotifier* m_notifier = nullptr;
};
