#include <QCoreApplication>
#include <QDebug>
#include <QTextStream>

#include "bus/orvex.h"
#include "config/bussettings.h"
#include "config/keyfile.h"
#include "config/paramstore.h"
#include "node/body.h"
#include "node/check.h"
#include "node/options.h"
#include "node/readiness.h"
#include "node/reload.h"
#include "node/servicesignals.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    markJournalPriorities();
    QTextStream out(stdout);
    const StartMode mode = startModeOf(QCoreApplication::arguments());
    if (mode == StartMode::Help || mode == StartMode::Version) {
        out << (mode == StartMode::Help ? helpText() : versionText());
        return 0;
    }
    Findings findings;
    if (mode == StartMode::Check)
        Diagnostic::collectInto(&findings);
    else
        Diagnostic::limitLog();
    readConfiguration(gParams, argc, argv);
    Diagnostic::collectInto(nullptr);
    if (mode == StartMode::Check)
        return checkConfiguration(gParams, findings, out);

    Body body(new Orvex, gParams);
    const BusSettings bus = BusSettings::from(gParams);
    const QStringList keys = KeyFile::read(bus.keyFile);
    Diagnostic::endLimit();
    if (keys.isEmpty())
        return 1;
    // The login secrets open to every user: a start says so and goes on; --check refuses.
    if (const QString open = KeyFile::openToAnyone(bus.keyFile); !open.isEmpty())
        qWarning() << open;
    // The end is taken in the event loop, once the link has finished what it was doing.
    QObject::connect(&body, &Body::finished, &app, [](int status, const QString &why) {
        if (status != 0)
            qCritical() << why;
        else if (why.startsWith(QLatin1String("Stopped")))
            qInfo() << why;
        else
            qWarning() << why;
        QCoreApplication::exit(status);
    }, Qt::QueuedConnection);
    ServiceSignals serviceSignals;
    QObject::connect(&serviceSignals, &ServiceSignals::stopAsked, &body, &Body::stop);
    QObject::connect(&serviceSignals, &ServiceSignals::reloadAsked, &body, [&body, argc, argv] {
        reloadConfiguration(body, argc, argv);
    });
    body.connectToServer(bus, keys);
    return app.exec();
}
