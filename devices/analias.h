#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>

#include "bus/smsg.h"
#include "devices/apm.h"

#include <array>
#include <chrono>

class Orvex;

// A virtual axis over two controller channels: factor1 * value1 + factor2 * value2 - offset.
class anAlias : public QObject, public ControllerListener
{
    Q_OBJECT
    Q_DISABLE_COPY(anAlias)

public:
    // What became of a move request; only MoveSent wrote anything.
    enum MoveResult { MoveSent, MoveNoValue, MoveNotANumber, MoveUnsafe, MoveOutOfRange };

    anAlias(const QString &name, aPm *pm1, aPm *pm2, const QString &factor1Text,
            const QString &factor2Text, const QString &offsetText, Orvex *link);

    // The commands; the service node sends them only to an alias that may take them.
    void StopEmergency();
    void Stop();
    void Remote();
    // Asks both controllers; the request is answered at the next value reply, or after the time limit.
    void GetValue(const SMsg &msg, std::chrono::milliseconds timeLimit);
    // Answers the requests whose time (the limit they were asked with) is up; true while others still wait.
    bool expireValueRequests();
    void Speed(int selector);
    MoveResult SetValue(const SMsg &msg);
    MoveResult SetValueREL(const SMsg &msg);

    bool isBusy() const;
    double value() const;
    QString valueText() const;
    // "pmc01.ax1 pmc01.ax2 1 1 0": the addresses, factor1, factor2, offset, in parts to be written
    // one after the other. A short one is kept whole, as it is asked for often; a long one is made
    // of the proxies' own addresses, so that they need no copy per alias.
    std::array<QStringView, 4> infoParts() const
    {
        if (!info.isNull())
            return {info, {}, {}, {}};
        return {pm1->address, u" ", pm2->address, numbersInfo};
    }
    // Channel information up to this many characters is kept whole.
    static constexpr qsizetype KeptInfoLength = 128;
    // How the value is formed, for people: "1 * pmc01.ax1 + 1 * pmc01.ax2 - 0".
    QString formula() const;

    const QString name;
    // The range of the alias value, when the configuration gives one.
    std::optional<TravelRange> limits;

    // What its controller proxies report.
    void noticedGotValue() override;
    void noticedChangedIsBusy() override;
    void noticedNewValue() override;

    // Whether the other has the same controllers, factors, offset and limits.
    bool sameAs(const anAlias &other) const;
    // On a reload, the running alias of this name: its busy state as announced and its waiting
    // requests. Controllers not in the old definition are asked for the value the requests
    // wait for, with the whole time limit; a change of busy state or value is announced.
    void takeOver(anAlias &old);
    // Answers every waiting GetValue request with the text.
    void refuseValueRequests(const QString &text);

    // GetValue requests an alias keeps waiting at most; more are refused.
    static constexpr qsizetype MaxWaitingValueRequests = 64;
    qsizetype waitingValueRequests() const { return pendingValueRequests.size(); }

private:
    MoveResult move(const SMsg &msg, bool relative);
    bool withinLimits(const std::optional<TravelRange> &range, double target, const QString &whose) const;
    void answerValueRequests();

    struct WaitingRequest
    {
        SMsg msg;
        QDeadlineTimer deadline;
        std::chrono::milliseconds limit;   // the time limit it was asked with
        quint32 replies1, replies2;   // the controllers' reply counts when it was asked
    };

    Orvex *link;
    bool lastBusy = false;
    aPm *pm1;
    aPm *pm2;
    double factor1;
    double factor2;
    double offset;
    QString numbersInfo;   // " factor1 factor2 offset"
    QString info;          // the whole information, when it is short
    QList<WaitingRequest> pendingValueRequests;   // answered, in order, when the value arrives
};
