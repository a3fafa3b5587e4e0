#include "devices/analias.h"

#include <cmath>

#include "bus/orvex.h"
#include "devices/apm.h"

namespace {

// A controller value that a move may start from: a finite number.
bool movableValue(const QString &text, double &out)
{
    bool ok = false;
    out = text.toDouble(&ok);
    return ok && std::isfinite(out);
}

} // namespace

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
    // Each report arrives once, also when both controllers are the same proxy.
    pm1->addListener(this);
    if (pm2 != pm1)
        pm2->addListener(this);
}

QString anAlias::numberText(double v)
{
    return QString::number(v, 'g', 6);
}

double anAlias::numberOf(const QString &text)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok ? v : 0.0;
}

bool anAlias::StopEmergency()
{
    pm1->StopEmergency();
    pm2->StopEmergency();
    return true;
}

bool anAlias::Stop()
{
    pm1->Stop();
    pm2->Stop();
    return true;
}

bool anAlias::Remote()
{
    pm1->Remote();
    pm2->Remote();
    return true;
}

bool anAlias::GetValue(const SMsg &msg)
{
    if (isBusy())
        return false;
    pm1->GetValue();
    pm2->GetValue();
    pendingValueRequests.append(msg);
    return true;
}

bool anAlias::Speed(int selector)
{
    if (isBusy())
        return false;
    pm1->Speed(selector);
    pm2->Speed(selector);
    return true;
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
    if (isBusy())
        return MoveBusy;
    if (msg.args.size() < 2)
        return MoveNoValue;

    bool ok = false;
    const double given = msg.args.at(1).toDouble(&ok);
    if (!ok || !std::isfinite(given))
        return MoveNotANumber;

    // A move must start from what the controllers really reported.
    double value1 = 0;
    double value2 = 0;
    if (!movableValue(pm1->lastValue(), value1) || !movableValue(pm2->lastValue(), value2))
        return MoveUnsafe;
    if (factor1 == 0 && factor2 == 0)
        return MoveUnsafe;

    const double current = factor1 * value1 + factor2 * value2 - offset;
    const double target = relative ? current + given : given;

    // Each controller covers half of the change; one whose factor is 0 cannot move the
    // alias, so the other covers all of it.
    double target1 = value1;
    double target2 = value2;
    if (factor1 != 0 && factor2 != 0) {
        const double half = (target - current) * 0.5;
        target1 = value1 + half / factor1;
        target2 = value2 + half / factor2;
    } else if (factor1 != 0) {
        target1 = value1 + (target - current) / factor1;
    } else {
        target2 = value2 + (target - current) / factor2;
    }

    qint32 unused = 0;
    if ((factor1 != 0 && !aPm::integerTarget(target1, unused))
        || (factor2 != 0 && !aPm::integerTarget(target2, unused)))
        return MoveUnsafe;

    if (factor1 != 0)
        pm1->SetValue(target1);
    if (factor2 != 0)
        pm2->SetValue(target2);
    return MoveSent;
}

bool anAlias::isBusy() const
{
    return pm1->isBusy() || pm2->isBusy();
}

double anAlias::value() const
{
    return factor1 * numberOf(pm1->lastValue()) + factor2 * numberOf(pm2->lastValue()) - offset;
}

QString anAlias::valueText() const
{
    return numberText(value());
}

QString anAlias::infoText() const
{
    return QStringList{pm1->address, pm2->address, numberText(factor1), numberText(factor2),
                       numberText(offset)}
        .join(QLatin1Char(' '));
}

void anAlias::noticedGotValue()
{
    if (isBusy() || pendingValueRequests.isEmpty())
        return;
    QList<SMsg> waiting;
    waiting.swap(pendingValueRequests);
    const QString text = valueText();
    for (const SMsg &request : std::as_const(waiting))
        link->SendReply(request, text);
}

void anAlias::noticedChangedIsBusy()
{
    const bool busy = isBusy();
    if (busy == lastBusy)
        return;
    lastBusy = busy;
    link->SendEvent(name, busy ? QStringLiteral("_ChangedIsBusy 1") : QStringLiteral("_ChangedIsBusy 0"));
}

void anAlias::noticedNewValue()
{
    link->SendEvent(name, QStringLiteral("_ChangedValue %1").arg(valueText()));
}
