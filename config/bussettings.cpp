#include "config/bussettings.h"

#include "config/paramstore.h"

namespace {

// Each bus key with its default and where it goes.
struct BusKey
{
    const char *key;
    const char *fallback;
    QString BusSettings::*field;
};

const BusKey busKeys[] = {
    {"ORVEX_SERVER", "localhost", &BusSettings::server},
    {"ORVEX_PORT", "60570", &BusSettings::port},
    {"NAME_ON_ORVEX", "zerlint0", &BusSettings::name},
    {"KEY_FILE", "zerlint0", &BusSettings::keyFile},
};

} // namespace

BusSettings BusSettings::from(const ParamStore &params)
{
    BusSettings settings;
    for (const BusKey &k : busKeys)
        settings.*k.field = params.get(QLatin1String(k.key), QLatin1String(k.fallback));
    return settings;
}

QStringList BusSettings::keys()
{
    QStringList all;
    for (const BusKey &k : busKeys)
        all.append(QLatin1String(k.key));
    return all;
}

QStringList BusSettings::changesFrom(const BusSettings &before) const
{
    QStringList changes;
    for (const BusKey &k : busKeys) {
        const bool port = k.field == &BusSettings::port;
        const QString was = port ? QString::number(before.portNumber()) : before.*k.field;
        const QString now = port ? QString::number(portNumber()) : this->*k.field;
        if (was != now)
            changes.append(QStringLiteral("%1 changed from %2 to %3").arg(QLatin1String(k.key), was, now));
    }
    return changes;
}

quint16 BusSettings::portNumber() const
{
    bool ok = false;
    const int value = port.toInt(&ok, 10);
    return quint16(ok ? value : 0);
}
