#pragma once

#include <QObject>
#include <QString>

#include "bus/smsg.h"

class Orvex;

// Proxy of one controller channel: writes its commands, keeps its last value and busy state.
class aPm : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(aPm)

public:
    aPm(const QString &id, const QString &node, const QString &channel, Orvex *link);

    void FlgOn();
    void StopEmergency();
    void Stop();
    void Remote();
    void GetValue();
    // Writes nothing and returns false for a target with no 32-bit integer form.
    bool SetValue(double target);
    void Speed(int selector);

    // The target as written: truncated toward zero; false when not finite or outside 32 bits.
    static bool integerTarget(double target, qint32 &out);

    bool isBusy() const { return busy; }
    QString lastValue() const { return value; }

    // Fixed at construction.
    const QString id;
    const QString node;
    const QString channel;
    const QString address;

signals:
    void changedIsBusy();
    void gotValue();
    void newValue();

public slots:
    void AnsGetValue(SMsg msg);
    void EvChangedIsBusy(SMsg msg);
    void EvChangedValue(SMsg msg);
    void AnsStandby(SMsg msg);
    void AnsSyncRun(SMsg msg);

private:
    Orvex *link;
    bool busy = false;   // last reported busy state
    QString value;       // last reported value text, as received
};
