#include "busline/busline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace BusLine {

bool Message::split(const QString &simplifiedLine)
{
    const QStringList words = simplifiedLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const qsizetype arrow = words.value(0).indexOf(QLatin1Char('>'));
    if (arrow < 0 || words.size() < 2)
        return false;
    from = words.first().left(arrow);
    to = words.first().mid(arrow + 1);
    word = words.at(1);
    params = words.mid(2);
    tail = words.mid(1).join(QLatin1Char(' '));
    return true;
}

QString nodeOf(const QString &address)
{
    return address.section(QLatin1Char('.'), 0, 0);
}

QString channelOf(const QString &address)
{
    const qsizetype dot = address.indexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : address.mid(dot + 1);
}

int keyIndex(const QString &challenge, qsizetype keyCount)
{
    bool ok = false;
    const int number = challenge.trimmed().toInt(&ok, 10);
    if (!ok || number < 0 || keyCount <= 0)
        return -1;
    return int(number % keyCount);
}

QStringList readKeys(QString fileName, QString &error)
{
    if (!fileName.endsWith(QLatin1String(".key")))
        fileName += QLatin1String(".key");
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the key file %1: %2").arg(fileName, file.errorString());
        return {};
    }
    const QStringList keys = QString::fromUtf8(file.readAll()).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (keys.isEmpty())
        error = QStringLiteral("no key in %1").arg(fileName);
    return keys;
}

int usage(const QString &what)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << what << "\n";
    return UsageStatus;
}

int takeCommandLine(QCommandLineParser &parser)
{
    if (!parser.parse(QCoreApplication::arguments())) {
        // "unknown option --bogus", "missing value after '--port'"
        const QString unknown = parser.unknownOptionNames().value(0);
        if (!unknown.isEmpty())
            return usage(QStringLiteral("unknown option ") + (unknown.size() == 1 ? "-" : "--") + unknown);
        QString what = parser.errorText();   // e.g. "Missing value after '--port'."
        if (!what.isEmpty())
            what[0] = what[0].toLower();
        return usage(what.endsWith(QLatin1Char('.')) ? what.chopped(1) : what);
    }
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
        parser.process(QCoreApplication::arguments());   // only Qt has the text with its own options; it ends with 0
    return -1;
}

bool readPort(const QCommandLineParser &parser, quint16 &port)
{
    bool ok = false;
    const QString text = parser.value(QStringLiteral("port"));
    const uint number = text.toUInt(&ok);
    if (!ok || number > 65535) {
        usage("--port " + text + " is not a port number from 0 to 65535");
        return false;
    }
    port = quint16(number);
    return true;
}

} // namespace BusLine
