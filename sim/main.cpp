#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QTextStream>

#include <cstdio>

#include "busline/busline.h"
#include "sim/busserver.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvex-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZERLINT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A bus server with simulated pulse-motor controllers, for running the node on one machine."));
    parser.addHelpOption();
    parser.addVersionOption();   // handled in process(), before anything is read or listened on
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free one (default 60570)."),
         QStringLiteral("n"), QStringLiteral("60570")},
        {QStringLiteral("keys"), QStringLiteral("Key file of the logins (default zerlint0.key)."),
         QStringLiteral("file"), QStringLiteral("zerlint0.key")},
        {QStringLiteral("time-scale"), QStringLiteral("Motion runs this many times faster (default 1)."),
         QStringLiteral("f"), QStringLiteral("1")},
    });
    parser.addPositionalArgument(QStringLiteral("config"),
                                 QStringLiteral("AXIS definitions of the controllers (default sim.cfg)."),
                                 QStringLiteral("[config]"));
    parser.process(app);

    QTextStream err(stderr);
    const QHostAddress address(parser.value(QStringLiteral("listen")));
    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    bool scaleOk = false;
    const double timeScale = parser.value(QStringLiteral("time-scale")).toDouble(&scaleOk);
    if (address.isNull() || !portOk || port > 65535 || !scaleOk || !(timeScale > 0)) {
        err << "orvex-sim: --listen needs an IP address, --port 0..65535, --time-scale a number above 0\n";
        return 2;
    }

    // Without a key no node could log in: status 2, as orvex-client has for a refused login.
    QString keyError;
    const QStringList keys = BusLine::readKeys(parser.value(QStringLiteral("keys")), keyError);
    if (keys.isEmpty()) {
        err << "orvex-sim: " << keyError << "\n";
        return 2;
    }

    const QString config = parser.positionalArguments().value(0, QStringLiteral("sim.cfg"));
    QList<AxisSetup> setups;
    if (!readAxisFile(config, setups)) {
        err << "orvex-sim: cannot read " << config << "\n";
        return 1;
    }

    BusServer bus(keys);
    for (const AxisSetup &setup : std::as_const(setups)) {
        const SimAxis *axis = bus.addAxis(setup, timeScale);
        qDebug() << "controller" << axis->address() << "at" << axis->position();
    }
    if (!bus.listen(address, quint16(port))) {
        err << "orvex-sim: cannot listen on " << address.toString() << " port " << port << ": "
            << bus.errorString() << "\n";
        return 1;
    }
    // Scripts read the port from this line.
    std::printf("orvex-sim listening on %s port %u\n", qPrintable(address.toString()), unsigned(bus.port()));
    std::fflush(stdout);
    return app.exec();
}
