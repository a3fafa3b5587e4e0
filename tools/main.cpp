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

    if (const int status = BusLine::takeCommandLine(parser); status >= 0)
        return status;
    QTextStream err(stderr);

    ClientSession::Options options;
    options.name = parser.value(QStringLiteral("name"));
    options.server = parser.value(QStringLiteral("server"));
    options.lines = parser.positionalArguments();
    options.readInput = options.lines.isEmpty();
    const QString until = parser.value(QStringLiteral("until"));
    options.until.setPattern(until);

    quint16 port = 0;
    if (!BusLine::readPort(parser, port))
        return BusLine::UsageStatus;
    bool timeoutOk = true;
    const QString timeoutText = parser.value(QStringLiteral("timeout"));
    const double timeout = parser.isSet(QStringLiteral("timeout"))
        ? timeoutText.toDouble(&timeoutOk)
        : (parser.isSet(QStringLiteral("until")) ? 10.0 : 0.0);
    if (!timeoutOk || timeout < 0)
        return BusLine::usage("--timeout " + timeoutText + " is not a number of seconds of 0 or more");
    bool drainOk = false;
    const QString drainText = parser.value(QStringLiteral("drain"));
    options.drainMs = drainText.toInt(&drainOk);
    if (!drainOk || options.drainMs < 0)
        return BusLine::usage("--drain " + drainText + " is not a number of milliseconds of 0 or more");
    if (!options.until.isValid())
        return BusLine::usage("--until " + until + " is not a valid regular expression: " + options.until.errorString());
    if (options.name.isEmpty())
        return BusLine::usage(QStringLiteral("--name is empty"));
    options.port = port;
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
