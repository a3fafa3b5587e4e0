#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// SIGTERM, SIGINT and SIGHUP taken in the event loop: the handler only writes the signal's
// number to a socket pair; its other end wakes an ordinary slot, where the work is done.
// One per process.
class ServiceSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ServiceSignals)

public:
    ServiceSignals();
    ~ServiceSignals() override;

signals:
    // SIGTERM or SIGINT: "SIGTERM" or "SIGINT".
    void stopAsked(const QString &name);
    // SIGHUP.
    void reloadAsked();

private:
    void readSignal();

    std::unique_ptr<QSocketNotifier> notifier;
};
