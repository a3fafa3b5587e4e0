#include "devices/analias.h"

#include <cmath>

#include <QDebug>

#include "bus/orvex.h"
#include "devices/numbers.h"

anAlias::anAlias(const QString &name, aPm *pm1, aPm *pm2, const QString &factor1Text,
                 const QString &factor2Text, const QString &offsetText, Orvex *link)
    : QObject(nullptr)
    , name(name)
    , link(link)
    , pm1(pm1)
    , pm2(pm2)
    , factor1(numberOf(factor1Text))
    , factor2(numberOf(factor2Text))
    , offset(numberOf(offsetText))
{
    numbersInfo = QLatin1Char(' ') + numberText(factor1) + QLatin1Char(' ') + numberText(factor2) + QLatin1Char(' ')
                  + numberText(offset);
    if (pm1->address.size() + pm2->address.size() + 1 + numbersInfo.size() <= KeptInfoLength)
        info = pm1->address + QLatin1Char(' ') + pm2->address + numbersInfo;
    // Each report arrives once, also when both controllers are the same proxy.
    pm1->addListener(this);
    if (pm2 != pm1)
        pm2->addListener(this);
}

void anAlias::StopEmergency()
{
    pm1->StopEmergency();
    pm2->StopEmergency();
}

void anAlias::Stop()
{
    pm1->Stop();
    pm2->Stop();
}

void anAlias::Remote()
{
    pm1->Remote();
    pm2->Remote();
}

void anAlias::GetValue(const SMsg &msg, std::chrono::milliseconds timeLimit)
{
    pm1->GetValue();
    pm2->GetValue();
    pendingValueRequests.append({msg, QDeadlineTimer(timeLimit), timeLimit, pm1->replyCount(), pm2->replyCount()});
}

bool anAlias::expireValueRequests()
{
    // Each is looked at: those carried over a reload may have another limit than those asked since.
    for (qsizetype i = 0; i < pendingValueRequests.size();) {
        if (!pendingValueRequests.at(i).deadline.hasExpired()) {
            ++i;
            continue;
        }
        const WaitingRequest request = pendingValueRequests.takeAt(i);
        const QString limit = numberText(double(request.limit.count()) / 1000);
        QStringList silent;
        for (const auto &[pm, seen] : {std::pair{pm1, request.replies1}, std::pair{pm2, request.replies2}}) {
            if (pm->replyCount() == seen && !silent.contains(pm->address)) {
                pm->missedReply(limit);
                silent.append(pm->address);
            }
        }
        // Both answered, but the alias has not stood still since.
        if (silent.isEmpty())
            link->SendReply(request.msg, QStringLiteral("Er:Channel [%1] is busy").arg(name));
        else
            link->SendReply(request.msg, QStringLiteral("Er:%1 %2 did not answer within %3 s")
                                             .arg(silent.size() == 1 ? QStringLiteral("Controller") : QStringLiteral("Controllers"),
                                                  silent.join(QStringLiteral(" and ")), limit));
    }
    return !pendingValueRequests.isEmpty();
}

void anAlias::Speed(int selector)
{
    pm1->Speed(selector);
    pm2->Speed(selector);
}

anAlias::MoveResult anAlias::SetValue(const SMsg &msg)
{
    return move(msg, false);
}

anAlias::MoveResult anAlias::SetValueREL(const SMsg &msg)
{
    return move(msg, true);
}

anAlias::MoveResult anAlias::move(const SMsg &msg, bool relative)
{
    if (msg.args.size() < 2)
        return MoveNoValue;

    double given = 0;
    if (!readNumber(msg.args.at(1), given) || !std::isfinite(given))
        return MoveNotANumber;

    // A move must start from what the controllers really reported.
    if (!pm1->hasMovableValue() || !pm2->hasMovableValue())
        return MoveUnsafe;
    const double value1 = pm1->valueNumber();
    const double value2 = pm2->valueNumber();
    if (factor1 == 0 && factor2 == 0)
        return MoveUnsafe;

    const double current = factor1 * value1 + factor2 * value2 - offset;
    const double target = relative ? current + given : given;

    // Each controller covers half of the change; one whose factor is 0 cannot move the
    // alias, so the other covers all of it. One controller under both factors covers all of
    // it too, with one target and one command: a second would be refused while it moves.
    const bool oneController = pm1->address == pm2->address && factor1 != 0 && factor2 != 0;
    double target1 = value1;
    double target2 = value2;
    if (oneController) {
        if (factor1 + factor2 == 0)
            return MoveUnsafe;
        target1 = target2 = value1 + (target - current) / (factor1 + factor2);
    } else if (factor1 != 0 && factor2 != 0) {
        const double half = (target - current) * 0.5;
        target1 = value1 + half / factor1;
        target2 = value2 + half / factor2;
    } else if (factor1 != 0) {
        target1 = value1 + (target - current) / factor1;
    } else {
        target2 = value2 + (target - current) / factor2;
    }

    qint32 pulses1 = 0;
    qint32 pulses2 = 0;
    if ((factor1 != 0 && !aPm::integerTarget(target1, pulses1))
        || (factor2 != 0 && !aPm::integerTarget(target2, pulses2)))
        return MoveUnsafe;

    // Nothing moves unless the alias and every controller that moves stay in their ranges.
    if (!withinLimits(limits, target, name)
        || (factor1 != 0 && !withinLimits(pm1->limits, pulses1, pm1->address))
        || (factor2 != 0 && !withinLimits(pm2->limits, pulses2, pm2->address)))
        return MoveOutOfRange;

    if (factor1 != 0)
        pm1->SetValue(target1);
    if (factor2 != 0 && !oneController)
        pm2->SetValue(target2);
    return MoveSent;
}

bool anAlias::withinLimits(const std::optional<TravelRange> &range, double target, const QString &whose) const
{
    if (!range || range->contains(target))
        return true;
    qInfo() << QStringLiteral("ALIAS %1 : The target %2 is outside the limits %3 of %4, not moved")
                    .arg(name, numberText(target), range->text(), whose);
    return false;
}

bool anAlias::isBusy() const
{
    return pm1->isBusy() || pm2->isBusy();
}

double anAlias::value() const
{
    return factor1 * pm1->valueNumber() + factor2 * pm2->valueNumber() - offset;
}

QString anAlias::valueText() const
{
    return numberText(value());
}

void anAlias::noticedGotValue()
{
    if (!isBusy())
        answerValueRequests();
}

void anAlias::answerValueRequests()
{
    if (pendingValueRequests.isEmpty())
        return;
    QList<WaitingRequest> waiting;
    waiting.swap(pendingValueRequests);
    const QString value = valueText();
    for (const WaitingRequest &request : std::as_const(waiting)) {
        // A controller without a number gives the alias none: it is named once it has answered
        // so, and waited for until then; nothing is made up.
        QString text = value;
        for (const auto &[pm, seen] : {std::pair{pm1, request.replies1}, std::pair{pm2, request.replies2}}) {
            if (pm->hasMovableValue())
                continue;
            if (pm->replyCount() == seen) {
                text.clear();
                break;
            }
            text = QStringLiteral("Er:Controller %1 gave no value [%2]").arg(pm->address, pm->lastValue());
        }
        if (text.isEmpty())
            pendingValueRequests.append(request);
        else
            link->SendReply(request.msg, text);
    }
}

void anAlias::noticedChangedIsBusy()
{
    const bool busy = isBusy();
    if (busy == lastBusy)
        return;
    lastBusy = busy;
    link->SendEvent(name, busy ? QStringLiteral("_ChangedIsBusy 1") : QStringLiteral("_ChangedIsBusy 0"));
    // A value asked for while the alias moved is answered once it stands still.
    if (!busy)
        answerValueRequests();
}

void anAlias::noticedNewValue()
{
    link->SendEvent(name, QStringLiteral("_ChangedValue %1").arg(valueText()));
}

QString anAlias::formula() const
{
    const auto address = [](const aPm *pm) {
        return pm->address.isEmpty() ? QStringLiteral("(no address)") : pm->address;
    };
    return numberText(factor1) + QStringLiteral(" * ") + address(pm1) + QStringLiteral(" + ")
        + numberText(factor2) + QStringLiteral(" * ") + address(pm2) + QStringLiteral(" - ")
        + numberText(offset);
}

bool anAlias::sameAs(const anAlias &other) const
{
    return pm1->address == other.pm1->address && pm2->address == other.pm2->address && factor1 == other.factor1
        && factor2 == other.factor2 && offset == other.offset && limits == other.limits
        && pm1->limits == other.pm1->limits && pm2->limits == other.pm2->limits;
}

void anAlias::takeOver(anAlias &old)
{
    lastBusy = old.lastBusy;
    // A request waits for a reply from each controller after it was asked; one that is new
    // to it has not been asked yet.
    const bool ask1 = pm1->address != old.pm1->address;
    const bool ask2 = pm2->address != old.pm2->address;
    for (WaitingRequest request : std::as_const(old.pendingValueRequests)) {
        if (ask1)
            request.replies1 = pm1->replyCount();
        if (ask2)
            request.replies2 = pm2->replyCount();
        if (ask1 || ask2)
            request.deadline = QDeadlineTimer(request.limit);
        pendingValueRequests.append(request);
    }
    old.pendingValueRequests.clear();
    if (!pendingValueRequests.isEmpty()) {
        if (ask1)
            pm1->GetValue();
        if (ask2 && (!ask1 || pm2->address != pm1->address))
            pm2->GetValue();
    }
    if (sameAs(old))
        return;
    if (pm1->hasMovableValue() && pm2->hasMovableValue() && valueText() != old.valueText())
        noticedNewValue();
    noticedChangedIsBusy();
}

void anAlias::refuseValueRequests(const QString &text)
{
    for (const WaitingRequest &request : std::as_const(pendingValueRequests))
        link->SendReply(request.msg, text);
    pendingValueRequests.clear();
}
