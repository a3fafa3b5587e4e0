#include "busline/busline.h"

#include <QCommandLineParser>

#include <QFile>

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

QString usageError(const QCommandLineParser &parser)
{
    const QString unknown = parser.unknownOptionNames().value(0);
    if (!unknown.isEmpty())
        return QStringLiteral("unknown option ") + (unknown.size() == 1 ? "-" : "--") + unknown;
    QString what = parser.errorText();   // e.g. "Missing value after '--port'."
    if (!what.isEmpty())
        what[0] = what[0].toLower();
    return what.endsWith(QLatin1Char('.')) ? what.chopped(1) : what;
}

} // namespace BusLine
