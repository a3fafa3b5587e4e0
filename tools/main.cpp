#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "busline/busline.h"
#include "tools/clientsession.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvex-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZERLINT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Logs in to the bus and sends each LINE argument as one line, or else the lines of standard\n"
        "input; shows every line sent (->) and received (<-). Exit status: 0 done or matched,\n"
        "1 nothing matched --until in time, 2 no connection or login refused, 64 a usage error."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("name"), QStringLiteral("Node name to log in under (default client)."),
         QStringLiteral("name"), QStringLiteral("client")},
        {QStringLiteral("keys"), QStringLiteral("Key file (default zerlint0.key)."), QStringLiteral("file"),
         QStringLiteral("zerlint0.key")},
        {QStringLiteral("server"), QStringLiteral("Bus server host (default 127.0.0.1)."),
         QStringLiteral("host"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Bus server port (default 60570)."), QStringLiteral("n"),
         QStringLiteral("60570")},
        {QStringLiteral("until"), QStringLiteral("End with status 0 once a received line matches."),
         QStringLiteral("regex")},
        {QStringLiteral("timeout"),
         QStringLiteral("End with status 1 after this time (default 10 with --until, else none)."),
         QStringLiteral("seconds")},
        {QStringLiteral("drain"),
         QStringLiteral("Without --until, end once nothing arrived for this long after the last line sent (default 500)."),
         QStringLiteral("ms"), QStringLiteral("500")},
    });
    parser.addPositionalArgument(QStringLiteral("line"), QStringLiteral("A line to send, e.g. \"zerlint0 GetChs\"."),
                                 QStringLiteral("[line...]"));

    // A usage error has a status of its own (64, as in BSD's sysexits), apart from the session's 1 and 2.
    QTextStream err(stderr);
    const auto usage = [&err](const QString &what) {
        err << "orvex-client: " << what << "\n";
        return 64;
    };
    if (!parser.parse(app.arguments()))
        return usage(BusLine::usageError(parser));
    // Before the key file is read or a connection made.
    if (parser.isSet(QStringLiteral("version"))) {
        QTextStream(stdout) << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion()
                            << '\n';
        return 0;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(app);   // only Qt has the text with its own options; it ends with status 0

    ClientSession::Options options;
    options.name = parser.value(QStringLiteral("name"));
    options.server = parser.value(QStringLiteral("server"));
    options.lines = parser.positionalArguments();
    options.readInput = options.lines.isEmpty();
    const QString until = parser.value(QStringLiteral("until"));
    options.until.setPattern(until);

    bool portOk = false;
    const QString portText = parser.value(QStringLiteral("port"));
    const uint port = portText.toUInt(&portOk);
    if (!portOk || port > 65535)
        return usage("--port " + portText + " is not a port number from 0 to 65535");
    bool timeoutOk = true;
    const QString timeoutText = parser.value(QStringLiteral("timeout"));
    const double timeout = parser.isSet(QStringLiteral("timeout"))
        ? timeoutText.toDouble(&timeoutOk)
        : (parser.isSet(QStringLiteral("until")) ? 10.0 : 0.0);
    if (!timeoutOk || timeout < 0)
        return usage("--timeout " + timeoutText + " is not a number of seconds of 0 or more");
    bool drainOk = false;
    const QString drainText = parser.value(QStringLiteral("drain"));
    options.drainMs = drainText.toInt(&drainOk);
    if (!drainOk || options.drainMs < 0)
        return usage("--drain " + drainText + " is not a number of milliseconds of 0 or more");
    if (!options.until.isValid())
        return usage("--until " + until + " is not a valid regular expression: " + options.until.errorString());
    if (options.name.isEmpty())
        return usage(QStringLiteral("--name is empty"));
    options.port = quint16(port);
    options.timeoutMs = int(timeout * 1000);
    QString keyError;
    options.keys = BusLine::readKeys(parser.value(QStringLiteral("keys")), keyError);
    if (options.keys.isEmpty()) {
        err << "orvex-client: " << keyError << "\n";
        return ClientSession::Failed;
    }

    ClientSession session(options);
    QObject::connect(&session, &ClientSession::finished, &app, &QCoreApplication::exit);
    session.start();
    return app.exec();
}
