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
        QStringLiteral("A bus server with simulated pulse-motor controllers, for running the node on one machine.\n"
                       "Runs until stopped. Exit status: 1 config not read or cannot listen, 2 no usable key file,\n"
                       "64 a usage error."));
    parser.addHelpOption();
    parser.addVersionOption();
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
    if (const int status = BusLine::takeCommandLine(parser); status >= 0)
        return status;
    QTextStream err(stderr);

    const QString listen = parser.value(QStringLiteral("listen"));
    const QHostAddress address(listen);
    if (address.isNull())
        return BusLine::usage("--listen " + listen + " is not an IP address");
    quint16 port = 0;
    if (!BusLine::readPort(parser, port))
        return BusLine::UsageStatus;
    bool scaleOk = false;
    const QString scaleText = parser.value(QStringLiteral("time-scale"));
    const double timeScale = scaleText.toDouble(&scaleOk);
    if (!scaleOk || !(timeScale > 0))
        return BusLine::usage("--time-scale " + scaleText + " is not a number above 0");

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
    if (!bus.listen(address, port)) {
        err << "orvex-sim: cannot listen on " << address.toString() << " port " << port << ": "
            << bus.errorString() << "\n";
        return 1;
    }
    // Scripts read the port from this line.
    std::printf("orvex-sim listening on %s port %u\n", qPrintable(address.toString()), unsigned(bus.port()));
    std::fflush(stdout);
    return app.exec();
}
