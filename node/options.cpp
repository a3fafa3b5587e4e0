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
        "Exit status: 0 when the bus connection ends or on SIGTERM or SIGINT (what the node has\n"
        "written goes out first); 1 when the key file cannot be read, the bus server cannot be\n"
        "reached within 10 s, sends no challenge or answer to the login within 10 s, or refuses\n"
        "the login. Diagnostics go to standard error. See zerlint(8).\n");
}

QString versionText()
{
    return QStringLiteral("zerlint " ZERLINT_VERSION "\n");
}
