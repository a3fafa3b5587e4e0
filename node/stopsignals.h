#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// SIGTERM and SIGINT taken in the event loop: the handler only writes the signal's number to
// a socket pair; its other end wakes an ordinary slot, where the work is done. One per process.
class StopSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(StopSignals)

public:
    StopSignals();
    ~StopSignals() override;

signals:
    // "SIGTERM" or "SIGINT".
    void received(const QString &name);

private:
    void readSignal();

    std::unique_ptr<QSocketNotifier> notifier;
};
