#include "devices/apm.h"

#include <QDebug>

#include <cmath>
#include <limits>

#include "bus/orvex.h"
#include "devices/numbers.h"

namespace {

QString addressOf(const QString &node, const QString &channel)
{
    return channel.isEmpty() ? node : node + QLatin1Char('.') + channel;
}

} // namespace

aPm::aPm(const QString &id, const QString &node, const QString &channel, Orvex *link)
    : QObject(nullptr)
    , id(id)
    , node(node)
    , channel(channel)
    , address(addressOf(node, channel))
    , link(link)
{
}

void aPm::addListener(ControllerListener *listener)
{
    listeners.append(listener);
}

void aPm::takeOver(const aPm &old)
{
    busy = old.busy;
    value = old.value;
    number = old.number;
    movable = old.movable;
    silent = old.silent;
    replies = old.replies;
}

QString TravelRange::text() const
{
    return numberText(low) + QStringLiteral("..") + numberText(high);
}

void aPm::storeValue(const QString &text)
{
    value = text;
    double v = 0;
    const bool ok = readNumber(text, v);
    number = ok ? v : 0.0;
    movable = ok && std::isfinite(v);
}

void aPm::FlgOn()
{
    link->SendCommand(QStringLiteral("System"), QStringLiteral("flgon"), node);
    link->SendCommand(QStringLiteral("System"), QStringLiteral("flgon"), address);
}

void aPm::StopEmergency()
{
    link->SendCommand(address, QStringLiteral("StopEmergency"), QString());
}

void aPm::Stop()
{
    link->SendCommand(address, QStringLiteral("Stop"), QString());
}

void aPm::Remote()
{
    link->SendCommand(address, QStringLiteral("Remote"), QString());
}

void aPm::GetValue()
{
    link->SendCommand(address, QStringLiteral("GetValue"), QString());
}

bool aPm::integerTarget(double target, qint32 &out)
{
    if (!std::isfinite(target))
        return false;
    const double whole = std::trunc(target);
    if (whole < double(std::numeric_limits<qint32>::min())
        || whole > double(std::numeric_limits<qint32>::max()))
        return false;
    out = qint32(whole);
    return true;
}

bool aPm::SetValue(double target)
{
    qint32 pulses = 0;
    if (!integerTarget(target, pulses))
        return false;
    link->SendCommand(address, QStringLiteral("SetValue %1").arg(pulses), QString());
    return true;
}

void aPm::Speed(int selector)
{
    static const char *const words[] = {"SpeedHigh", "SpeedMiddle", "SpeedLow"};
    if (selector < 0 || selector > 2)
        return;
    link->SendCommand(address, QLatin1String(words[selector]), QString());
}

void aPm::missedReply(const QString &limitText)
{
    if (silent)
        return;
    silent = true;
    qWarning() << QStringLiteral("Controller %1 did not answer GetValue within %2 s").arg(address, limitText);
    emit silenceChanged();
}

void aPm::AnsGetValue(const SMsg &msg)
{
    ++replies;
    if (silent) {
        silent = false;
        qInfo() << QStringLiteral("Controller %1 answers GetValue again").arg(address);
        emit silenceChanged();
    }
    storeValue(msg.params);
    for (ControllerListener *listener : listeners)
        listener->noticedGotValue();
}

void aPm::EvChangedIsBusy(const SMsg &msg)
{
    bool ok = false;
    const int state = msg.params.toInt(&ok, 10);
    busy = ok && state == 1;
    for (ControllerListener *listener : listeners)
        listener->noticedChangedIsBusy();
}

void aPm::EvChangedValue(const SMsg &msg)
{
    storeValue(msg.params);
    for (ControllerListener *listener : listeners)
        listener->noticedNewValue();
}
