#include "devices/definitions.h"

#include <cmath>

#include "config/diagnostic.h"
#include "config/items.h"
#include "config/paramstore.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "devices/numbers.h"

const QStringList &Definitions::keys()
{
    static const QStringList all{QStringLiteral("PM"), QStringLiteral("ALIAS"), QStringLiteral("PM_LIMITS"),
                                 QStringLiteral("ALIAS_LIMITS"), QStringLiteral("GETVALUE_TIMEOUT")};
    return all;
}

Definitions::~Definitions()
{
    qDeleteAll(aliasList);
    qDeleteAll(pmList);
}

void Definitions::load(const ParamStore &params, Orvex *link)
{
    for (const ParamEntry &entry : params.entriesOf(QStringLiteral("PM"))) {
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

    for (const ParamEntry &entry : params.entriesOf(QStringLiteral("ALIAS"))) {
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
        if (!addAlias(name, pm1, pm2, factor1, factor2, offset, link))
            Diagnostic() << QStringLiteral("ALIAS : The CH %1 is already defined. [%2]").arg(name, rest);
    }

    loadLimits(params, QStringLiteral("PM_LIMITS"), QStringLiteral("ID"), [this](const QString &id) {
        aPm *pm = findPm(id);
        return pm ? &pm->limits : nullptr;
    });
    loadLimits(params, QStringLiteral("ALIAS_LIMITS"), QStringLiteral("CH"), [this](const QString &name) {
        anAlias *alias = findAlias(name);
        return alias ? &alias->limits : nullptr;
    });

    if (const ParamEntry *entry = params.latest(QStringLiteral("GETVALUE_TIMEOUT"))) {
        Diagnostic::setSource(entry->origin);
        double seconds = 0;
        if (readNumber(entry->value, seconds) && seconds >= 0.01 && seconds <= 3600)
            valueLimit = std::chrono::milliseconds(qRound64(seconds * 1000));
        else
            Diagnostic() << QStringLiteral("GETVALUE_TIMEOUT : %1 is not a number of seconds from 0.01 to 3600; %2 s hold.")
                                .arg(entry->value, numberText(DefaultValueTimeLimit.count() / 1000.0));
    }
    Diagnostic::setSource({});
}

void Definitions::loadLimits(const ParamStore &params, const QString &key, const QString &what,
                             const std::function<std::optional<TravelRange> *(const QString &)> &find)
{
    for (const ParamEntry &entry : params.entriesOf(key)) {
        const QString &rest = entry.rest;
        Diagnostic::setSource(entry.origin);
        QString name, lowText, highText;
        takeItem(takeItem(takeItem(rest, name), lowText), highText);
        Diagnostic(Diagnostic::Echo) << qPrintable(QStringLiteral("def %1 : ").arg(key)) << name << lowText << highText;
        std::optional<TravelRange> *limits = find(name);
        TravelRange range;
        const bool numbers = readNumber(lowText, range.low) && std::isfinite(range.low)
                             && readNumber(highText, range.high) && std::isfinite(range.high);
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

Definitions::Changes Definitions::takeOver(Definitions &old)
{
    Changes changes;
    for (aPm *pm : std::as_const(pmList)) {
        const auto known = old.pmsByAddress.constFind(pm->address);
        if (known != old.pmsByAddress.constEnd())
            pm->takeOver(*known->front());
        else if (pmsByAddress.value(pm->address).front() == pm)
            changes.newChannels.append(pm);
    }
    for (anAlias *alias : std::as_const(aliasList)) {
        anAlias *running = old.findAlias(alias->name);
        if (!running) {
            ++changes.added;
            alias->noticedChangedIsBusy();   // over a controller that moves already
            continue;
        }
        if (!alias->sameAs(*running))
            ++changes.changed;
        alias->takeOver(*running);
    }
    for (anAlias *running : std::as_const(old.aliasList)) {
        if (!findAlias(running->name)) {
            ++changes.removed;
            running->refuseValueRequests(QStringLiteral("Er:Channel [%1] is not defined").arg(running->name));
        }
    }
    return changes;
}

aPm *Definitions::findPm(const QString &id) const
{
    return pmById.value(id, nullptr);
}

anAlias *Definitions::findAlias(const QString &name) const
{
    return aliasByName.value(name, nullptr);
}

bool Definitions::addAlias(const QString &name, aPm *pm1, aPm *pm2, const QString &factor1,
                           const QString &factor2, const QString &offset, Orvex *link)
{
    if (findAlias(name))
        return false;
    anAlias *alias = new anAlias(name, pm1, pm2, factor1, factor2, offset, link);
    aliasList.append(alias);
    aliasByName.insert(name, alias);
    return true;
}

void Definitions::route(const SMsg &msg, void (aPm::*take)(const SMsg &)) const
{
    const auto found = pmsByAddress.constFind(msg.from);
    if (found == pmsByAddress.constEnd())
        return;
    for (aPm *pm : *found)
        (pm->*take)(msg);
}

QString Definitions::aliasNames() const
{
    QStringList names;
    for (const anAlias *alias : aliasList)
        names.append(alias->name);
    return names.join(QLatin1Char(' '));
}
