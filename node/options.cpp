#include "node/options.h"

StartMode startModeOf(const QStringList &arguments)
{
    const QStringList words = arguments.mid(1);
    if (words.contains(QLatin1String("--help")))
        return StartMode::Help;
    if (words.contains(QLatin1String("--version")))
        return StartMode::Version;
    if (words.contains(QLatin1String("--check")))
        return StartMode::Check;
    return StartMode::Serve;
}

QString helpText()
{
    return QStringLiteral(
        "Usage: zerlint [-c FILE | -config FILE] [--check]\n"
        "       zerlint --help | --version\n"
        "\n"
        "Offers alias channels over pulse-motor controller channels on the Orvex bus: reads its\n"
        "configuration, connects to the bus server, logs in and serves until the connection ends.\n"
        "\n"
        "  -c FILE, -config FILE  the configuration file (default config.cfg in the working folder)\n"
        "  --check                read the configuration and the key file as a start would, print\n"
        "                         the definitions and every problem found, and exit: 0 when there\n"
        "                         is none, 1 otherwise. Never connects.\n"
        "  --help                 print this text and exit\n"
        "  --version              print the version and exit\n"
        "\n"
        "Signals: SIGTERM and SIGINT stop the node (what it has written goes out first); SIGHUP\n"
        "reads the configuration and the key file again and applies them without leaving the bus,\n"
        "unless they hold a problem or change the bus server, port, node name or key file.\n"
        "\n"
        "Exit status: 0 when the bus connection ends or on SIGTERM or SIGINT; 1 when the key file\n"
        "cannot be read, the bus server cannot be reached within 10 s, sends no challenge or\n"
        "answer to the login within 10 s, or refuses the login. Diagnostics go to standard error.\n"
        "See zerlint(8).\n");
}

QString versionText()
{
    return QStringLiteral("zerlint " ZERLINT_VERSION "\n");
}
