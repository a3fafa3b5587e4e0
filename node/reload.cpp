#include "node/reload.h"

#include <QDebug>

#include <ctime>

#include "bus/orvex.h"
#include "config/paramstore.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "node/body.h"
#include "node/check.h"
#include "node/readiness.h"

void readConfiguration(ParamStore &params, int argc, char **argv)
{
    params.init(argc, argv, QStringLiteral("config.cfg"), {QStringLiteral("-c"), QStringLiteral("-config")});
}

void reloadConfiguration(Body &body, int argc, char **argv)
{
    ParamStore fresh;
    Findings findings;
    Diagnostic::collectInto(&findings);
    readConfiguration(fresh, argc, argv);
    Diagnostic::collectInto(nullptr);
    if (body.reload(fresh, findings))
        gParams = fresh;
}

bool Body::reload(const ParamStore &fresh, Findings &findings)
{
    const Orvex::State state = link->state();
    if (state == Orvex::State::Stopping || state == Orvex::State::Ended) {
        qInfo() << "Reload not done: the node is stopping";
        return false;
    }
    // The service manager waits for the end of a reload only once the node has been ready.
    const bool serving = state == Orvex::State::Ready;
    if (serving) {
        timespec now = {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        notifyServiceManager("RELOADING=1\nMONOTONIC_USEC="
                             + QByteArray::number(qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000));
    }

    auto next = std::make_unique<Definitions>();
    findProblems(fresh, findings, *next, link.get());
    // The connection was made and logged in with these; another takes a new one.
    const QStringList restart = BusSettings::from(fresh).changesFrom(running);
    if (findings.count() > 0 || !restart.isEmpty()) {
        for (const Finding &finding : findings.kept())
            qWarning() << located(finding);
        if (findings.notKept() > 0)
            qWarning() << "Problems beyond the first" << Diagnostic::MaxShown << "not listed : " << findings.notKept();
        for (const QString &change : std::as_const(restart))
            qWarning() << QStringLiteral("Reload refused: %1; that takes a restart").arg(change);
        if (findings.count() > 0)
            qWarning() << QStringLiteral("Reload refused: %1 %2 in the configuration; nothing changed")
                              .arg(findings.count())
                              .arg(findings.count() == 1 ? QLatin1String("problem") : QLatin1String("problems"));
        if (serving)
            notifyServiceManager("READY=1\n" + servingStatus() + silentStatus());
        return false;
    }

    const Definitions::Changes changes = next->takeOver(*defs);
    defs.swap(next);
    watchSilence();
    // New controller channels are subscribed to and asked for their value, as at the login.
    if (serving) {
        for (aPm *pm : changes.newChannels)
            pm->FlgOn();
        for (aPm *pm : changes.newChannels)
            pm->GetValue();
    }
    next.reset();   // the running definitions, taken over
    qInfo() << QStringLiteral("Reloaded: %1 aliases over %2 controller channels, %3 added, %4 removed, %5 changed")
                   .arg(defs->aliases().size()).arg(defs->controllers().size())
                   .arg(changes.added).arg(changes.removed).arg(changes.changed);
    if (serving)
        notifyServiceManager("READY=1\n" + servingStatus() + silentStatus());
    return true;
}
