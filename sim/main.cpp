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
    // A usage error has a status of its own (64, as in BSD's sysexits), apart from 2 for the key file.
    QTextStream err(stderr);
    const auto usage = [&err](const QString &what) {
        err << "orvex-sim: " << what << "\n";
        return 64;
    };
    if (!parser.parse(app.arguments()))
        return usage(BusLine::usageError(parser));
    // Before anything is read or listened on.
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(app);   // only Qt has the text with its own options; it ends with status 0

    const QString listen = parser.value(QStringLiteral("listen"));
    const QHostAddress address(listen);
    if (address.isNull())
        return usage("--listen " + listen + " is not an IP address");
    bool portOk = false;
    const QString portText = parser.value(QStringLiteral("port"));
    const uint port = portText.toUInt(&portOk);
    if (!portOk || port > 65535)
        return usage("--port " + portText + " is not a port number from 0 to 65535");
    bool scaleOk = false;
    const QString scaleText = parser.value(QStringLiteral("time-scale"));
    const double timeScale = scaleText.toDouble(&scaleOk);
    if (!scaleOk || !(timeScale > 0))
        return usage("--time-scale " + scaleText + " is not a number above 0");

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
