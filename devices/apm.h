#pragma once

#include <QObject>
#include <QString>
#include <QVarLengthArray>

#include <optional>

#include "bus/smsg.h"

class Orvex;

// A travel range, bounds included.
struct TravelRange
{
    double low = 0;
    double high = 0;

    bool contains(double v) const { return v >= low && v <= high; }
    bool operator==(const TravelRange &other) const { return low == other.low && high == other.high; }
    QString text() const;   // "low..high"
};

// What is told of a controller channel's reports, in the order they come.
class ControllerListener
{
public:
    virtual void noticedGotValue() = 0;
    virtual void noticedChangedIsBusy() = 0;
    virtual void noticedNewValue() = 0;

protected:
    ~ControllerListener() = default;
};

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
    void Speed(int selector);   // 0 high, 1 middle, 2 low

    // The target as written: truncated toward zero; false when not finite or outside 32 bits.
    static bool integerTarget(double target, qint32 &out);

    // The replies and events sent from this channel's address; the caller routes them here.
    void AnsGetValue(const SMsg &msg);
    void EvChangedIsBusy(const SMsg &msg);
    void EvChangedValue(const SMsg &msg);

    bool isBusy() const { return busy; }
    QString lastValue() const { return value; }
    // The last value read as a number once, when it came: 0 when it is not one.
    double valueNumber() const { return number; }
    // Whether the last value is a finite number, one that a move may start from.
    bool hasMovableValue() const { return movable; }
    // Value replies taken so far: a request sees whether one came after it.
    quint32 replyCount() const { return replies; }

    // A GetValue request got no reply in time: logged once until the controller answers again.
    void missedReply(const QString &limitText);
    bool isSilent() const { return silent; }

    // Fixed at construction.
    const QString id;
    const QString node;
    const QString channel;
    const QString address;

    // The channel's travel range, when the configuration gives one.
    std::optional<TravelRange> limits;

    // What the proxy of the same address in the running definitions knows, on a reload.
    void takeOver(const aPm &old);

    // Told of every value and busy report, in the order added.
    void addListener(ControllerListener *listener);

signals:
    // The controller fell silent, or answered again.
    void silenceChanged();

private:
    void storeValue(const QString &text);

    Orvex *link;
    bool busy = false;   // last reported busy state
    QString value;       // last reported value text, as received
    double number = 0;
    bool movable = false;
    bool silent = false;
    quint32 replies = 0;
    // Called directly: a signal connection per alias costs more memory than the alias itself.
    QVarLengthArray<ControllerListener *, 2> listeners;
};
