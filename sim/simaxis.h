#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "busline/busline.h"

// One simulated controller channel as an AXIS line of the simulator's configuration defines it:
//   AXIS <node>[.<channel>] [initial [high [middle [low [min [max]]]]]]
// positions in pulses, speeds in pulses per second.
struct AxisSetup
{
    QString node;
    QString channel;   // empty: the bare node is the channel
    qint64 initial = 0;
    double speeds[3] = {2000, 1000, 200};   // SpeedHigh, SpeedMiddle, SpeedLow
    qint64 min = -1000000;
    qint64 max = 1000000;

    QString address() const { return channel.isEmpty() ? node : node + QLatin1Char('.') + channel; }
    // Fills this from the items after the AXIS key; the reason in error when it is refused.
    bool parse(QStringList items, QString &error);
};

// Every AXIS entry of a configuration file in the node's syntax (comments, double quotes,
// INCLUDE); bad lines are reported on the debug log and skipped. False when the file cannot be read.
bool readAxisFile(const QString &fileName, QList<AxisSetup> &axes);

// The debug-log line of a command the simulated bus answers with "Er:", so that a refusal a peer
// does not show can still be traced: refused "<command>" from "<sender>": <reason>
void logRefusal(const QString &sender, const QString &command, const QString &reason);

// A pulse-motor channel that moves at its selected speed on the event loop's timer.
class SimAxis : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SimAxis)

public:
    static constexpr int TickMs = 100;   // real time between two position updates

    SimAxis(const AxisSetup &setup, double timeScale, QObject *parent = nullptr);

    QString address() const { return setup.address(); }
    qint64 position() const;
    bool isMoving() const { return moving; }

    // A line addressed to this channel.
    void handle(const BusLine::Message &msg);

signals:
    // A reply line for the asker's full address (text starts with "@").
    void replied(const QString &to, const QString &text);
    // An event of this channel for its subscribers (text starts with "_").
    void announced(const QString &text);

private:
    void setValue(const BusLine::Message &msg);
    // Answers "Er: reason" and logs it.
    void refuse(const BusLine::Message &msg, const QString &reason);
    // Moves by what the selected speed covered since the last call; true once at the target.
    bool advance();
    void tick();
    void halt();

    const AxisSetup setup;
    const double timeScale;
    double place;          // exact position; reported rounded to whole pulses
    qint64 target = 0;
    qint64 reported;       // last position announced
    int speed = 1;         // index into setup.speeds
    bool moving = false;
    QTimer timer;
    QElapsedTimer clock;   // since the move started
    qint64 movedNs = 0;    // clock time the position was last brought up to
};
