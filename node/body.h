#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

#include "bus/smsg.h"
#include "config/bussettings.h"
#include "config/diagnostic.h"
#include "devices/definitions.h"

class Orvex;
class ParamStore;
class anAlias;

// The service node: owns the link and the definitions, answers clients, routes what the
// controllers send to their proxies.
class Body : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Body)

public:
    // How often waiting GetValue requests are looked at: what a time limit may be late by.
    static constexpr int ValueSweepMs = 100;

    // Builds the node from the configuration around the link, which it takes over; the link
    // may be attached to its transport already.
    Body(Orvex *link, const ParamStore &params);
    ~Body() override;

    // Connects to the bus server and logs in with the keys.
    void connectToServer(const BusSettings &bus, const QStringList &keys);
    // Ends the node on a stop signal: what it has written goes out first, then finished(0).
    void stop(const QString &signalName);

    // On SIGHUP: the configuration read again into fresh, with what reading it reported. Applied
    // without leaving the bus when a start would find no problem in it and it keeps the bus
    // settings; else logged as refused, and nothing changes. True when applied.
    bool reload(const ParamStore &fresh, Findings &findings);

    const Definitions &definitions() const { return *defs; }

signals:
    // The link has ended: the status to end with and the line to log.
    void finished(int status, const QString &why);

private slots:
    void orvexIsReady(Orvex *);
    void AskHelp(const SMsg &msg);
    void AskGetChs(const SMsg &msg);
    void AskGetChInfo(const SMsg &msg);
    void AskIsBusy(const SMsg &msg);
    void AskStopEmergency(const SMsg &msg);
    void AskStop(const SMsg &msg);
    void AskRemote(const SMsg &msg);
    void AskGetValue(const SMsg &msg);
    void AskSetValue(const SMsg &msg);
    void AskSetValueREL(const SMsg &msg);
    void AskSpeedHigh(const SMsg &msg);
    void AskSpeedMiddle(const SMsg &msg);
    void AskSpeedLow(const SMsg &msg);
    // Controller answers to what the aliases sent them; refusals go to the log.
    void noticedAnswer(const SMsg &msg);
    // Answers the GetValue requests whose time is up.
    void sweepValueRequests();
    // Tells the service manager which controllers do not answer.
    void noticedSilence();

private:
    // The alias a command on a channel may act on; null once the refusal has been sent.
    anAlias *checkChannel(const SMsg &msg, bool busyMatters);
    void answerMove(const SMsg &msg, int result);
    void askSpeed(const SMsg &msg, int selector);

    QByteArray servingStatus() const;
    // "; not answering: ..." while controllers are silent; empty when none is.
    QByteArray silentStatus() const;
    void watchSilence();

    std::unique_ptr<Orvex> link;
    std::unique_ptr<Definitions> defs;
    BusSettings running;   // what the node connected with
    // Sweeps the aliases' waiting GetValue requests while there are any.
    QTimer valueSweep;
};
