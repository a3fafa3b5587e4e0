#include "node/body.h"

#include <QDebug>

#include "bus/orvex.h"
#include "bus/vocabulary.h"
#include "config/bussettings.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "node/readiness.h"

Body::Body(Orvex *link, const ParamStore &params)
    : QObject(nullptr)
    , link(link)
    , defs(std::make_unique<Definitions>())
{
    connect(link, &Orvex::finished, this, &Body::finished);
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
    // Controller replies and events go to the proxies of their sender's address.
    connect(link, &Orvex::AnsGetValue, this, [this](const SMsg &msg) { defs->route(msg, &aPm::AnsGetValue); });
    connect(link, &Orvex::EvChangedIsBusy, this, [this](const SMsg &msg) { defs->route(msg, &aPm::EvChangedIsBusy); });
    connect(link, &Orvex::EvChangedValue, this, [this](const SMsg &msg) { defs->route(msg, &aPm::EvChangedValue); });
    for (const auto answer : {&Orvex::AnsSetValue, &Orvex::AnsStop, &Orvex::AnsStopEmergency, &Orvex::AnsRemote,
                              &Orvex::AnsSpeed})
        connect(link, answer, this, &Body::noticedAnswer);

    defs->load(params, link);
    watchSilence();
    valueSweep.setInterval(ValueSweepMs);
    connect(&valueSweep, &QTimer::timeout, this, &Body::sweepValueRequests);

    connect(link, &Orvex::ConnectionIsReady, this, &Body::orvexIsReady);
}

Body::~Body() = default;

void Body::watchSilence()
{
    for (aPm *pm : defs->controllers())
        connect(pm, &aPm::silenceChanged, this, &Body::noticedSilence);
}

void Body::connectToServer(const BusSettings &bus, const QStringList &keys)
{
    running = bus;
    qInfo() << "make connection" << bus.name << bus.keyFile << bus.server << bus.port;
    link->connectToServer(bus.name, keys, bus.server, bus.portNumber());
    notifyServiceManager(QStringLiteral("STATUS=Connecting to the bus server %1 port %2")
                             .arg(bus.server, QString::number(bus.portNumber())).toUtf8());
}

void Body::orvexIsReady(Orvex *)
{
    for (aPm *pm : defs->controllers())
        pm->FlgOn();
    for (aPm *pm : defs->controllers())
        pm->GetValue();
    notifyServiceManager("READY=1\n" + servingStatus());
}

void Body::stop(const QString &signalName)
{
    notifyServiceManager("STOPPING=1");
    link->stop(QStringLiteral("Stopped on %1").arg(signalName));
}

QByteArray Body::servingStatus() const
{
    return QStringLiteral("STATUS=Serving %1 aliases over %2 controller channels as %3")
        .arg(defs->aliases().size()).arg(defs->controllers().size()).arg(link->nodeName()).toUtf8();
}

QByteArray Body::silentStatus() const
{
    QStringList silent;
    for (const aPm *pm : defs->controllers()) {
        if (pm->isSilent() && !silent.contains(pm->address))
            silent.append(pm->address);
    }
    return silent.isEmpty() ? QByteArray() : "; not answering: " + silent.join(", ").toUtf8();
}

void Body::noticedSilence()
{
    const QByteArray silent = silentStatus();
    notifyServiceManager(servingStatus() + (silent.isEmpty() ? QByteArray("; all controllers answer again") : silent));
}

void Body::sweepValueRequests()
{
    bool waiting = false;
    for (anAlias *alias : defs->aliases())
        waiting |= alias->expireValueRequests();
    if (!waiting)
        valueSweep.stop();
}

void Body::noticedAnswer(const SMsg &msg)
{
    // A controller that refuses what an alias sent it: the move or stop did not happen there.
    const QString text = msg.toCh.isEmpty() ? msg.params : msg.args.mid(1).join(QLatin1Char(' '));
    if (text.startsWith(QLatin1String("Er:")) && defs->hasAddress(msg.from))
        qWarning() << QStringLiteral("Controller %1 refused %2: %3").arg(msg.from, msg.command.mid(1), text);
}

anAlias *Body::checkChannel(const SMsg &msg, bool busyMatters)
{
    if (msg.toCh.isEmpty()) {
        link->SendReply(msg, QStringLiteral("Er:Channel is not selected"));
        return nullptr;
    }
    anAlias *alias = defs->findAlias(msg.toCh);
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
        link->SendReply(msg, defs->aliasNames());
    else if (defs->findAlias(msg.toCh))
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
    const anAlias *alias = defs->findAlias(msg.toCh);
    if (!alias) {
        link->SendReply(msg, QStringLiteral("Er:Channel [%1] is not defined").arg(msg.toCh));
        return;
    }
    const auto info = alias->infoParts();
    link->SendReply(msg, {info[0], info[1], info[2], info[3]});
}

void Body::AskIsBusy(const SMsg &msg)
{
    if (msg.toCh.isEmpty()) {
        link->SendReply(msg, QStringLiteral("0"));
        return;
    }
    const anAlias *alias = defs->findAlias(msg.toCh);
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
    alias->GetValue(msg, defs->valueTimeLimit());
    if (!valueSweep.isActive())
        valueSweep.start();
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
