#include "sim/simaxis.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>

namespace {

// The items of a configuration line: white space between them, double quotes around one that
// holds spaces, '#' outside quotes starts the comment.
QStringList itemsOf(const QString &line)
{
    QStringList items;
    QString item;
    bool quoted = false, any = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            any = true;
        } else if (!quoted && c == QLatin1Char('#')) {
            break;
        } else if (!quoted && c.isSpace()) {
            if (std::exchange(any, false))
                items.append(std::exchange(item, QString()));
        } else {
            item += c;
            any = true;
        }
    }
    if (any)
        items.append(item);
    return items;
}

// Reads one file of the INCLUDE chain; open holds the files of the chain, so none is read in itself.
bool readAxes(const QString &fileName, QList<AxisSetup> &axes, QStringList &open)
{
    const QString identity = QFileInfo(fileName).canonicalFilePath();
    QFile file(fileName);
    // An empty name fails like a missing file, without Qt's own warning.
    if (fileName.isEmpty() || open.contains(identity) || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    open.append(identity);
    QTextStream in(&file);
    QString line;
    while (in.readLineInto(&line)) {
        QStringList items = itemsOf(line);
        const QString key = items.isEmpty() ? QString() : items.takeFirst();
        if (key.compare(QLatin1String("INCLUDE"), Qt::CaseInsensitive) == 0) {
            if (!readAxes(items.value(0), axes, open))
                qDebug() << "INCLUDE skipped: cannot read" << items.value(0) << "or it is being read";
            continue;
        }
        if (key != QLatin1String("AXIS"))
            continue;
        AxisSetup setup;
        QString error;
        if (!setup.parse(items, error)) {
            qDebug() << "AXIS skipped:" << error << line.trimmed();
        } else if (std::any_of(axes.cbegin(), axes.cend(),
                               [&setup](const AxisSetup &a) { return a.address() == setup.address(); })) {
            qDebug() << "AXIS skipped: address defined twice" << setup.address();
        } else {
            axes.append(setup);
        }
    }
    open.removeLast();
    return true;
}

} // namespace

bool AxisSetup::parse(QStringList items, QString &error)
{
    const QString address = items.isEmpty() ? QString() : items.takeFirst();
    if (address.isEmpty()) {
        error = QStringLiteral("no address");
        return false;
    }
    node = BusLine::nodeOf(address);
    channel = BusLine::channelOf(address);
    if (node.isEmpty() || address.endsWith(QLatin1Char('.')) || address.contains(QLatin1Char('>'))
        || address.contains(QLatin1Char(' '))) {
        error = QStringLiteral("address [%1] is not a bus address").arg(address);
        return false;
    }

    if (items.size() > 6) {
        error = QStringLiteral("more than six numbers");
        return false;
    }
    // Positions are whole pulses, speeds may be fractions; missing numbers keep their defaults.
    auto take = [&](int i, const char *what, auto &out) {
        if (i >= items.size())
            return true;
        bool ok = false;
        if constexpr (std::is_same_v<std::decay_t<decltype(out)>, qint64>)
            out = items.at(i).toLongLong(&ok);
        else
            out = items.at(i).toDouble(&ok);
        if (!ok)
            error = QStringLiteral("%1 [%2] is not a number").arg(QLatin1String(what), items.at(i));
        return ok;
    };
    if (!take(0, "initial", initial) || !take(1, "high", speeds[0]) || !take(2, "middle", speeds[1])
        || !take(3, "low", speeds[2]) || !take(4, "min", min) || !take(5, "max", max))
        return false;
    for (const double s : speeds) {
        if (!(s > 0)) {
            error = QStringLiteral("speeds must be above 0");
            return false;
        }
    }
    if (min > max || initial < min || initial > max) {
        error = QStringLiteral("initial %1 is not within the limits %2..%3").arg(initial).arg(min).arg(max);
        return false;
    }
    return true;
}

bool readAxisFile(const QString &fileName, QList<AxisSetup> &axes)
{
    QStringList open;
    return readAxes(fileName, axes, open);
}

void logRefusal(const QString &sender, const QString &command, const QString &reason)
{
    qDebug().noquote() << QStringLiteral("refused \"%1\" from \"%2\": %3").arg(command, sender, reason);
}

SimAxis::SimAxis(const AxisSetup &setup, double timeScale, QObject *parent)
    : QObject(parent)
    , setup(setup)
    , timeScale(timeScale > 0 ? timeScale : 1.0)
    , place(double(setup.initial))
    , reported(setup.initial)
{
    timer.setInterval(TickMs);
    connect(&timer, &QTimer::timeout, this, &SimAxis::tick);
}

qint64 SimAxis::position() const
{
    return qint64(std::llround(place));
}

void SimAxis::handle(const BusLine::Message &msg)
{
    const QString &word = msg.word;
    auto reply = [&](const QString &text) {
        emit replied(msg.from, QLatin1Char('@') + word + QLatin1Char(' ') + text);
    };
    if (word.startsWith(QLatin1Char('@')) || word.startsWith(QLatin1Char('_')))
        return;   // replies and events need no answer
    if (word == QLatin1String("GetValue")) {
        if (moving && advance())
            halt();
        reply(QString::number(position()));
    } else if (word == QLatin1String("SetValue")) {
        setValue(msg);
    } else if (word == QLatin1String("Stop") || word == QLatin1String("StopEmergency")) {
        reply(QStringLiteral("Ok:"));
        if (moving) {
            advance();   // it stops where it is now, not where the last tick left it
            qDebug() << address() << word;
            halt();
        }
    } else if (word == QLatin1String("Remote")) {
        reply(QStringLiteral("Ok:"));
    } else if (word == QLatin1String("SpeedHigh") || word == QLatin1String("SpeedMiddle")
               || word == QLatin1String("SpeedLow")) {
        speed = word == QLatin1String("SpeedHigh") ? 0 : word == QLatin1String("SpeedMiddle") ? 1 : 2;
        reply(QStringLiteral("Ok:"));
    } else {
        refuse(msg, QStringLiteral("Undefined Command"));
    }
}

void SimAxis::refuse(const BusLine::Message &msg, const QString &reason)
{
    emit replied(msg.from, QLatin1Char('@') + msg.word + QStringLiteral(" Er: ") + reason);
    logRefusal(msg.from, msg.to + QLatin1Char(' ') + msg.tail, reason);
}

void SimAxis::setValue(const BusLine::Message &msg)
{
    const QStringList &args = msg.params;
    if (moving) {
        refuse(msg, QStringLiteral("Busy, moving to %1").arg(target));
        return;
    }
    if (args.isEmpty()) {
        refuse(msg, QStringLiteral("No target given"));
        return;
    }
    bool ok = false;
    const qint64 wanted = args.first().toLongLong(&ok);
    if (!ok) {
        refuse(msg, QStringLiteral("Target [%1] is not an integer").arg(args.first()));
        return;
    }
    if (wanted < setup.min || wanted > setup.max) {
        refuse(msg, QStringLiteral("Target %1 is outside the limits %2..%3").arg(wanted).arg(setup.min).arg(setup.max));
        return;
    }
    emit replied(msg.from, QStringLiteral("@SetValue Ok:"));
    qDebug() << address() << "moves from" << position() << "to" << wanted;
    target = wanted;
    moving = true;
    emit announced(QStringLiteral("_ChangedIsBusy 1"));
    clock.start();
    movedNs = 0;
    timer.start();
}

bool SimAxis::advance()
{
    // Nanoseconds since the last update: whole milliseconds would drop the rest at every update,
    // so a node polling GetValue faster than that would hold the axis still.
    const qint64 now = clock.nsecsElapsed();
    const double step = setup.speeds[speed] * timeScale * double(now - std::exchange(movedNs, now)) / 1e9;
    const double distance = double(target) - place;
    if (std::fabs(distance) <= step) {
        place = double(target);
        return true;
    }
    place += distance > 0 ? step : -step;
    return false;
}

void SimAxis::tick()
{
    if (advance()) {
        halt();
        return;
    }
    if (position() != reported) {
        reported = position();
        emit announced(QStringLiteral("_ChangedValue %1").arg(reported));
    }
}

void SimAxis::halt()
{
    timer.stop();
    moving = false;
    place = double(position());   // stands on a whole pulse
    // A tick may have announced this pulse already, rounded up to it: each value once.
    if (position() != reported) {
        reported = position();
        emit announced(QStringLiteral("_ChangedValue %1").arg(reported));
    }
    emit announced(QStringLiteral("_ChangedIsBusy 0"));
    qDebug() << address() << "stands at" << reported;
}
