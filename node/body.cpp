#include "node/body.h"

#include <QDebug>

#include <cmath>

#include "bus/orvex.h"
#include "bus/vocabulary.h"
#include "config/diagnostic.h"
#include "config/items.h"
#include "config/paramstore.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "node/readiness.h"

Body::Body()
    : Body(new Orvex)
{
    const QString port = gParams.get(QStringLiteral("ORVEX_PORT"), QStringLiteral("60570"));
    const QString server = gParams.get(QStringLiteral("ORVEX_SERVER"), QStringLiteral("localhost"));
    const QString keyFile = gParams.get(QStringLiteral("KEY_FILE"), QStringLiteral("zerlint0"));
    const QString name = gParams.get(QStringLiteral("NAME_ON_ORVEX"), QStringLiteral("zerlint0"));
    link->MakeConnection(name, keyFile, server, port);
    notifyServiceManager(QStringLiteral("STATUS=Connecting to the bus server %1 port %2")
                             .arg(server, QString::number(Orvex::portNumber(port))).toUtf8());
}

Body::Body(Orvex *attachedLink)
    : QObject(nullptr)
    , link(attachedLink)
{
    connect(link, &Orvex::AskHelp, this, &Body::AskHelp, Qt::UniqueConnection);
    connect(link, &Orvex::AskGetChs, this, &Body::AskGetChs, Qt::UniqueConnection);
    connect(link, &Orvex::AskGetChInfo, this, &Body::AskGetChInfo, Qt::UniqueConnection);
    connect(link, &Orvex::AskIsBusy, this, &Body::AskIsBusy, Qt::UniqueConnection);
    connect(link, &Orvex::AskStopEmergency, this, &Body::AskStopEmergency, Qt::UniqueConnection);
    connect(link, &Orvex::AskStop, this, &Body::AskStop, Qt::UniqueConnection);
    connect(link, &Orvex::AskRemote, this, &Body::AskRemote, Qt::UniqueConnection);
    connect(link, &Orvex::AskGetValue, this, &Body::AskGetValue, Qt::UniqueConnection);
    connect(link, &Orvex::AskSetValue, this, &Body::AskSetValue, Qt::UniqueConnection);
    connect(link, &Orvex::AskSetValueREL, this, &Body::AskSetValueREL, Qt::UniqueConnection);
    connect(link, &Orvex::AskSpeedHigh, this, &Body::AskSpeedHigh, Qt::UniqueConnection);
    connect(link, &Orvex::AskSpeedMiddle, this, &Body::AskSpeedMiddle, Qt::UniqueConnection);
    connect(link, &Orvex::AskSpeedLow, this, &Body::AskSpeedLow, Qt::UniqueConnection);
    connect(link, &Orvex::AnsGetValue, this, &Body::AnsGetValue);
    connect(link, &Orvex::EvChangedIsBusy, this, &Body::EvChangedIsBusy);
    connect(link, &Orvex::EvChangedValue, this, &Body::EvChangedValue);
    for (const auto answer : {&Orvex::AnsSetValue, &Orvex::AnsStop, &Orvex::AnsStopEmergency, &Orvex::AnsRemote,
                              &Orvex::AnsSpeed})
        connect(link, answer, this, &Body::noticedAnswer);

    loadDefinitions();

    connect(link, &Orvex::ConnectionIsReady, this, &Body::orvexIsReady);
}

Body::~Body()
{
    qDeleteAll(aliasList);
    qDeleteAll(pmList);
    delete link;
}

void Body::loadDefinitions()
{
    for (const ParamEntry &entry : gParams.entriesOf(QStringLiteral("PM"))) {
        const QString &rest = entry.rest;
        Diagnostic::setSource(entry.origin);
        QString id, node, channel;
        takeItem(takeItem(takeItem(rest, id), node), channel);
        Diagnostic(Diagnostic::Echo) << "def PM : " << id << node << channel;
        if (findPm(id)) {
            Diagnostic() << QStringLiteral("PM : The ID %1 is already used. [%2]").arg(id, rest);
            continue;
        }
        aPm *pm = new aPm(id, node, channel, link);
        pmList.append(pm);
        pmById.insert(id, pm);
        pmsByAddress[pm->address].append(pm);
    }

    for (const ParamEntry &entry : gParams.entriesOf(QStringLiteral("ALIAS"))) {
        const QString &rest = entry.rest;
        Diagnostic::setSource(entry.origin);
        QString name, id1, id2, factor1, factor2, offset;
        QString left = takeItem(rest, name);
        left = takeItem(left, id1);
        left = takeItem(left, id2);
        left = takeItem(left, factor1);
        left = takeItem(left, factor2);
        takeItem(left, offset);
        Diagnostic(Diagnostic::Echo) << "def ALIAS : " << name << id1 << id2 << factor1 << factor2 << offset;
        aPm *pm1 = findPm(id1);
        aPm *pm2 = pm1 ? findPm(id2) : nullptr;
        if (!pm1 || !pm2) {
            Diagnostic() << QStringLiteral("One of the Chs %1 and/or %2 is not defined. [%3]")
                            .arg(id1, id2, rest);
            continue;
        }
        if (!addAlias(name, pm1, pm2, factor1, factor2, offset))
            Diagnostic() << QStringLiteral("ALIAS : The CH %1 is already defined. [%2]").arg(name, rest);
    }

    loadLimits(QStringLiteral("PM_LIMITS"), QStringLiteral("ID"), [this](const QString &id) {
        aPm *pm = findPm(id);
        return pm ? &pm->limits : nullptr;
    });
    loadLimits(QStringLiteral("ALIAS_LIMITS"), QStringLiteral("CH"), [this](const QString &name) {
        anAlias *alias = findAlias(name);
        return alias ? &alias->limits : nullptr;
    });
    Diagnostic::setSource({});
}

void Body::loadLimits(const QString &key, const QString &what,
                      const std::function<std::optional<TravelRange> *(const QString &)> &find)
{
    for (const ParamEntry &entry : gParams.entriesOf(key)) {
        const QString &rest = entry.rest;
        Diagnostic::setSource(entry.origin);
        QString name, lowText, highText;
        takeItem(takeItem(takeItem(rest, name), lowText), highText);
        Diagnostic(Diagnostic::Echo) << qPrintable(QStringLiteral("def %1 : ").arg(key)) << name << lowText << highText;
        std::optional<TravelRange> *limits = find(name);
        TravelRange range;
        const bool numbers = anAlias::readNumber(lowText, range.low) && std::isfinite(range.low)
                             && anAlias::readNumber(highText, range.high) && std::isfinite(range.high);
        QString problem;
        if (!limits)
            problem = QStringLiteral("The %1 %2 is not defined.").arg(what, name);
        else if (!numbers)
            problem = QStringLiteral("The limits of %1 are not numbers.").arg(name);
        else if (range.low > range.high)
            problem = QStringLiteral("The low limit of %1 is above the high one.").arg(name);
        if (!problem.isEmpty()) {
            Diagnostic() << QStringLiteral("%1 : %2 Ignored. [%3]").arg(key, problem, rest);
            continue;
        }
        if (*limits)
            Diagnostic() << QStringLiteral("%1 : The limits of %2 are given again; these hold. [%3]").arg(key, name, rest);
        *limits = range;
    }
}

aPm *Body::findPm(const QString &id) const
{
    return pmById.value(id, nullptr);
}

anAlias *Body::findAlias(const QString &name) const
{
    return aliasByName.value(name, nullptr);
}

const Body::Proxies *Body::proxiesAt(const QString &address) const
{
    const auto found = pmsByAddress.constFind(address);
    return found == pmsByAddress.constEnd() ? nullptr : &*found;
}

bool Body::addAlias(const QString &name, aPm *pm1, aPm *pm2, const QString &factor1,
                    const QString &factor2, const QString &offset)
{
    if (findAlias(name))
        return false;
    anAlias *alias = new anAlias(name, pm1, pm2, factor1, factor2, offset, link);
    aliasList.append(alias);
    aliasByName.insert(name, alias);
    return true;
}

QString Body::aliasNames() const
{
    QStringList names;
    for (const anAlias *alias : aliasList)
        names.append(alias->name);
    return names.join(QLatin1Char(' '));
}

void Body::orvexIsReady(Orvex *)
{
    for (aPm *pm : pmList)
        pm->FlgOn();
    for (aPm *pm : pmList)
        pm->GetValue();
    notifyServiceManager(QStringLiteral("READY=1\nSTATUS=Serving %1 aliases over %2 controller channels as %3")
                             .arg(aliasList.size()).arg(pmList.size()).arg(link->nodeName()).toUtf8());
}

void Body::AnsGetValue(const SMsg &msg)
{
    if (const Proxies *takers = proxiesAt(msg.from)) {
        for (aPm *pm : *takers)
            pm->AnsGetValue(msg);
    }
}

void Body::EvChangedIsBusy(const SMsg &msg)
{
    if (const Proxies *takers = proxiesAt(msg.from)) {
        for (aPm *pm : *takers)
            pm->EvChangedIsBusy(msg);
    }
}

void Body::EvChangedValue(const SMsg &msg)
{
    if (const Proxies *takers = proxiesAt(msg.from)) {
        for (aPm *pm : *takers)
            pm->EvChangedValue(msg);
    }
}

void Body::noticedAnswer(const SMsg &msg)
{
    // A controller that refuses what an alias sent it: the move or stop did not happen there.
    const QString text = msg.toCh.isEmpty() ? msg.params : msg.args.mid(1).join(QLatin1Char(' '));
    if (text.startsWith(QLatin1String("Er:")) && proxiesAt(msg.from))
        qDebug() << QStringLiteral("Controller %1 refused %2: %3").arg(msg.from, msg.command.mid(1), text);
}

anAlias *Body::checkChannel(const SMsg &msg, bool busyMatters)
{
    if (msg.toCh.isEmpty()) {
        link->SendReply(msg, QStringLiteral("Er:Channel is not selected"));
        return nullptr;
    }
    anAlias *alias = findAlias(msg.toCh);
    if (!alias) {
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] is not defined").arg(msg.toCh));
        return nullptr;
    }
    if (busyMatters && alias->isBusy()) {
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] is busy").arg(msg.toCh));
        return nullptr;
    }
    return alias;
}

void Body::AskHelp(const SMsg &msg)
{
    if (!msg.toCh.isEmpty()) {
        link->SendReply(msg, QStringLiteral("Er:No help info for the ch %1.").arg(msg.toCh));
        return;
    }
    if (msg.params.isEmpty()) {
        // The vocabulary never changes, so neither does its list of commands.
        static const QString commands = [] {
            QStringList names;
            for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e) {
                if (!e->name.startsWith(QLatin1Char('@')) && !e->name.startsWith(QLatin1Char('_')))
                    names.append(e->name);
            }
            return names.join(QLatin1Char(' '));
        }();
        link->SendReply(msg, commands);
        return;
    }
    for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e) {
        if (e->name == msg.params) {
            link->SendReply(msg, e->help);
            return;
        }
    }
    link->SendReply(msg, QStringLiteral("Er:The command %1 is not").arg(msg.params));
}

void Body::AskGetChs(const SMsg &msg)
{
    if (msg.toCh.isEmpty())
        link->SendReply(msg, aliasNames());
    else if (findAlias(msg.toCh))
        link->SendReply(msg, msg.toCh);
    else
        link->SendReply(msg, QStringLiteral("Er:The ch [%1] is not defined").arg(msg.toCh));
}

void Body::AskGetChInfo(const SMsg &msg)
{
    if (msg.toCh.isEmpty()) {
        link->SendReply(msg, QStringLiteral("Er: a Ch is not selected"));
        return;
    }
    const anAlias *alias = findAlias(msg.toCh);
    if (!alias)
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] is not defined").arg(msg.toCh));
    else
        link->SendReply(msg, alias->infoText());
}

void Body::AskIsBusy(const SMsg &msg)
{
    if (msg.toCh.isEmpty()) {
        link->SendReply(msg, QStringLiteral("0"));
        return;
    }
    const anAlias *alias = findAlias(msg.toCh);
    if (!alias)
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] is not defined").arg(msg.toCh));
    else
        link->SendReply(msg, alias->isBusy() ? QStringLiteral("1") : QStringLiteral("0"));
}

void Body::AskStopEmergency(const SMsg &msg)
{
    if (anAlias *alias = checkChannel(msg, false)) {
        alias->StopEmergency();
        link->SendReply(msg, QStringLiteral("Ok:"));
    }
}

void Body::AskStop(const SMsg &msg)
{
    if (anAlias *alias = checkChannel(msg, false)) {
        alias->Stop();
        link->SendReply(msg, QStringLiteral("Ok:"));
    }
}

void Body::AskRemote(const SMsg &msg)
{
    if (anAlias *alias = checkChannel(msg, true)) {
        alias->Remote();
        link->SendReply(msg, QStringLiteral("Ok:"));
    }
}

void Body::AskGetValue(const SMsg &msg)
{
    // The alias answers, once its controllers have replied.
    anAlias *alias = checkChannel(msg, true);
    if (!alias)
        return;
    if (alias->waitingValueRequests() >= anAlias::MaxWaitingValueRequests) {
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] has %2 GetValue requests waiting")
                                 .arg(msg.toCh, QString::number(anAlias::MaxWaitingValueRequests)));
        return;
    }
    alias->GetValue(msg);
}

void Body::answerMove(const SMsg &msg, int result)
{
    switch (result) {
    case anAlias::MoveSent:
        link->SendReply(msg, QStringLiteral("Ok:"));
        break;
    case anAlias::MoveNoValue:
        link->SendReply(msg, QStringLiteral("Er:Value is not given"));
        break;
    case anAlias::MoveNotANumber:
        link->SendReply(msg, QStringLiteral("Er:Value [%1] is not a number").arg(msg.args.value(1)));
        break;
    case anAlias::MoveBusy:
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] is busy").arg(msg.toCh));
        break;
    case anAlias::MoveOutOfRange:
        link->SendReply(msg, QStringLiteral("Er:Value [%1] is out of range").arg(msg.args.value(1)));
        break;
    default:
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] cannot be moved").arg(msg.toCh));
        break;
    }
}

void Body::AskSetValue(const SMsg &msg)
{
    if (anAlias *alias = checkChannel(msg, true))
        answerMove(msg, alias->SetValue(msg));
}

void Body::AskSetValueREL(const SMsg &msg)
{
    if (anAlias *alias = checkChannel(msg, true))
        answerMove(msg, alias->SetValueREL(msg));
}

void Body::askSpeed(const SMsg &msg, int selector)
{
    if (anAlias *alias = checkChannel(msg, true)) {
        alias->Speed(selector);
        link->SendReply(msg, QStringLiteral("Ok:"));
    }
}

void Body::AskSpeedHigh(const SMsg &msg)
{
    askSpeed(msg, 0);
}

void Body::AskSpeedMiddle(const SMsg &msg)
{
    askSpeed(msg, 1);
}

void Body::AskSpeedLow(const SMsg &msg)
{
    askSpeed(msg, 2);
}
