#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVarLengthArray>

#include <functional>
#include <optional>

#include "bus/smsg.h"

class Orvex;
class aPm;
class anAlias;
struct TravelRange;

// The service node: owns the link, the controller proxies and the aliases, answers clients.
class Body : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Body)

public:
    // Creates its link, builds the node and starts connecting to the bus server.
    Body();
    // Builds the node around a link that was attached to its transport already; takes it over.
    explicit Body(Orvex *attachedLink);
    ~Body() override;

    aPm *findPm(const QString &id) const;
    anAlias *findAlias(const QString &name) const;
    bool addAlias(const QString &name, aPm *pm1, aPm *pm2, const QString &factor1,
                  const QString &factor2, const QString &offset);
    QString aliasNames() const;
    const QList<aPm *> &controllers() const { return pmList; }
    const QList<anAlias *> &aliases() const { return aliasList; }

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
    // Controller replies and events, each handed to the proxies of its sender's address.
    void AnsGetValue(const SMsg &msg);
    void EvChangedIsBusy(const SMsg &msg);
    void EvChangedValue(const SMsg &msg);
    // Controller answers to what the aliases sent them; refusals go to the log.
    void noticedAnswer(const SMsg &msg);

private:
    using Proxies = QVarLengthArray<aPm *, 1>;

    void loadDefinitions();
    void loadLimits(const QString &key, const QString &what,
                    const std::function<std::optional<TravelRange> *(const QString &)> &find);
    // The alias a command on a channel may act on; null once the refusal has been sent.
    anAlias *checkChannel(const SMsg &msg, bool busyMatters);
    void answerMove(const SMsg &msg, int result);
    void askSpeed(const SMsg &msg, int selector);
    const Proxies *proxiesAt(const QString &address) const;

    Orvex *link = nullptr;
    QList<aPm *> pmList;
    QList<anAlias *> aliasList;
    // Indexes beside the lists, so that no line costs a walk over every definition.
    QHash<QString, aPm *> pmById;                // the first proxy of each id
    QHash<QString, anAlias *> aliasByName;
    QHash<QString, Proxies> pmsByAddress;        // in creation order
};
