#include "node/check.h"

#include <QHash>
#include <QTextStream>

#include <algorithm>
#include <cmath>

#include "config/bussettings.h"
#include "config/items.h"
#include "config/keyfile.h"
#include "config/paramstore.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "devices/definitions.h"
#include "devices/numbers.h"

namespace {

// Every key some part of the node reads from a configuration file.
const QStringList &knownKeys()
{
    static const QStringList keys = BusSettings::keys() + Definitions::keys();
    return keys;
}

// Edits (insert, delete, replace, swap of neighbours) that turn a into b.
int editDistance(const QString &a, const QString &b)
{
    const qsizetype n = a.size(), m = b.size();
    QList<QList<int>> d(n + 1, QList<int>(m + 1, 0));
    for (qsizetype i = 0; i <= n; ++i)
        d[i][0] = int(i);
    for (qsizetype j = 0; j <= m; ++j)
        d[0][j] = int(j);
    for (qsizetype i = 1; i <= n; ++i) {
        for (qsizetype j = 1; j <= m; ++j) {
            const int cost = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

void report(Findings &findings, const SourceLine &where, const QString &text)
{
    findings.add(where, text);
}

void checkKeys(const ParamStore &params, Findings &findings)
{
    for (const ParamEntry &entry : params.allEntries()) {
        if (entry.origin.file.isEmpty() || knownKeys().contains(entry.key))
            continue;   // options on the command line are the caller's
        const QString nearest = nearestKey(entry.key);
        const bool otherCase = nearest.compare(entry.key, Qt::CaseInsensitive) == 0;
        QString text = QStringLiteral("%1 : No part of the node reads this key%2")
                           .arg(entry.key, otherCase ? QStringLiteral(": keys are case-sensitive.") : QStringLiteral("."));
        if (!nearest.isEmpty())
            text += QStringLiteral(" Did you mean %1?").arg(nearest);
        report(findings, entry.origin, text);
    }
}

// The address of the controller an id names; empty when none does.
QString addressOf(const Definitions &defs, const QString &id)
{
    const aPm *pm = defs.findPm(id);
    return pm ? pm->address : QString();
}

void checkDefinitions(const ParamStore &params, Findings &findings, const Definitions &defs)
{
    for (const ParamEntry &entry : params.entriesOf(QStringLiteral("PM"))) {
        Diagnostic::setSource(entry.origin);
        QString id, node;
        takeItem(takeItem(entry.rest, id), node);
        if (node.isEmpty())
            report(findings, entry.origin, QStringLiteral("PM : The ID %1 names no controller node. [%2]").arg(id, entry.rest));
    }
    static const char *const numberNames[] = {"factor1", "factor2", "offset"};
    for (const ParamEntry &entry : params.entriesOf(QStringLiteral("ALIAS"))) {
        Diagnostic::setSource(entry.origin);
        QString name, id1, id2, item;
        QString left = takeItem(takeItem(takeItem(entry.rest, name), id1), id2);
        double numbers[3] = {};
        for (int i = 0; i < 3; ++i) {
            const QLatin1String what(numberNames[i]);
            left = takeItem(left, item);
            if (!readNumber(item, numbers[i]))
                report(findings, entry.origin,
                       QStringLiteral("ALIAS : The %1 of %2 is not a number, so it counts as 0. [%3]")
                           .arg(what, name, entry.rest));
            else if (!std::isfinite(numbers[i]))
                report(findings, entry.origin, QStringLiteral("ALIAS : The %1 of %2 is not a finite number. [%3]")
                                                   .arg(what, name, entry.rest));
        }
        // A move is spread over the factors: with none to carry it, or with one controller
        // whose factors cancel, the alias value stays where it is whatever is written.
        const QString address = addressOf(defs, id1);
        if (numbers[0] == 0 && numbers[1] == 0)
            report(findings, entry.origin,
                   QStringLiteral("ALIAS : %1 can never move: both factors are 0. [%2]").arg(name, entry.rest));
        else if (!address.isEmpty() && address == addressOf(defs, id2) && numbers[0] + numbers[1] == 0)
            report(findings, entry.origin,
                   QStringLiteral("ALIAS : %1 can never move: both ids name %2 and the factors add up to 0. [%3]")
                       .arg(name, address, entry.rest));
    }
}

// The number of keys the key file holds.
qsizetype checkBus(const ParamStore &params, Findings &findings)
{
    if (const ParamEntry *port = params.latest(QStringLiteral("ORVEX_PORT"))) {
        bool ok = false;
        const int number = port->value.toInt(&ok, 10);
        if (!ok || number < 1 || number > 65535)
            report(findings, port->origin,
                   QStringLiteral("ORVEX_PORT : %1 is not a port number from 1 to 65535.").arg(port->value));
    }

    // The name goes into every message's address, where these would split or end it.
    for (const ParamEntry &entry : params.entriesOf(QStringLiteral("NAME_ON_ORVEX"))) {
        const QString &name = entry.value;
        QString why;
        if (name.isEmpty())
            why = QStringLiteral("it is empty");
        else if (std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.isSpace(); }))
            why = QStringLiteral("it holds white space");
        else if (name.contains(QLatin1Char('>')))
            why = QStringLiteral("it holds \">\"");
        else if (name.contains(QLatin1Char('.')))
            why = QStringLiteral("it holds \".\"");
        if (!why.isEmpty())
            report(findings, entry.origin,
                   QStringLiteral("NAME_ON_ORVEX : [%1] cannot name the node on the bus: %2.").arg(name, why));
    }

    const BusSettings bus = BusSettings::from(params);
    const ParamEntry *keyEntry = params.latest(QStringLiteral("KEY_FILE"));
    Diagnostic::setSource(keyEntry ? keyEntry->origin : SourceLine{});
    Diagnostic::collectInto(&findings);
    const QStringList keys = KeyFile::read(bus.keyFile);
    Diagnostic::collectInto(nullptr);
    if (const QString open = KeyFile::openToAnyone(bus.keyFile); !open.isEmpty())
        report(findings, Diagnostic::source(), open);
    Diagnostic::setSource({});
    return keys.size();
}

// A bus setting on more than one line: only the latest counts, which is easy to miss.
QList<Finding> repeatedSettings(const ParamStore &params)
{
    QList<Finding> notes;
    const QStringList settings = BusSettings::keys() << QStringLiteral("GETVALUE_TIMEOUT");
    for (const QString &name : settings) {
        const ParamEntry *holding = params.latest(name);
        if (!holding || holding->origin.file.isEmpty())
            continue;
        QStringList over;
        for (const ParamEntry &entry : params.entriesOf(name)) {
            const bool same = entry.origin.file == holding->origin.file && entry.origin.line == holding->origin.line;
            if (!entry.origin.file.isEmpty() && !same)
                over.append(QStringLiteral("%1:%2").arg(entry.origin.file).arg(entry.origin.line));
        }
        if (!over.isEmpty())
            notes.append(Finding{holding->origin, QStringLiteral("note: %1 is given again; this one holds over %2")
                                                      .arg(name, over.join(QStringLiteral(", ")))});
    }
    return notes;
}

} // namespace

QString located(const Finding &finding)
{
    if (finding.where.file.isEmpty())
        return finding.text;
    if (finding.where.line <= 0)
        return finding.where.file + QStringLiteral(": ") + finding.text;
    return QStringLiteral("%1:%2: %3").arg(finding.where.file).arg(finding.where.line).arg(finding.text);
}

QString nearestKey(const QString &key)
{
    QString best;
    int bestDistance = 3;   // further than two edits is another word
    for (const QString &known : knownKeys()) {
        if (key.compare(known, Qt::CaseInsensitive) == 0)
            return known;
        if (qAbs(key.size() - known.size()) >= bestDistance)
            continue;   // too many letters more or less: no need to count
        const int distance = editDistance(key.toUpper(), known);
        if (distance < bestDistance && distance < known.size()) {
            best = known;
            bestDistance = distance;
        }
    }
    return best;
}

qsizetype findProblems(const ParamStore &params, Findings &findings, Definitions &defs, Orvex *link)
{
    // As the command line chose it: a -c line in the file itself changes nothing.
    if (params.configFile().isEmpty())
        report(findings, {}, QStringLiteral("-c : No configuration file is named, so none is read."));
    // The definitions as a start builds them; they are split again below, and what that
    // reports is collected as well.
    Diagnostic::collectInto(&findings);
    defs.load(params, link);
    checkKeys(params, findings);
    checkDefinitions(params, findings, defs);
    Diagnostic::collectInto(nullptr);
    return checkBus(params, findings);
}

int checkConfiguration(const ParamStore &params, Findings &findings, QTextStream &out)
{
    Definitions defs;
    const qsizetype keys = findProblems(params, findings, defs, nullptr);

    out << "configuration " << params.configFile() << "\n";
    for (const aPm *pm : defs.controllers()) {
        out << "PM " << pm->id << " : " << (pm->address.isEmpty() ? QStringLiteral("(no address)") : pm->address);
        if (pm->limits)
            out << ", limits " << pm->limits->text();
        out << "\n";
    }
    for (const anAlias *alias : defs.aliases()) {
        out << "ALIAS " << alias->name << " = " << alias->formula();
        if (alias->limits)
            out << ", limits " << alias->limits->text();
        out << "\n";
    }
    const BusSettings bus = BusSettings::from(params);
    out << "bus server " << bus.server << " port " << bus.portNumber() << ", node name " << bus.name
        << ", key file " << bus.keyFile << ".key (" << keys << (keys == 1 ? " key)\n" : " keys)\n");
    // By file in the order they were read, then by line.
    QHash<QString, int> fileRank;
    const auto rank = [&fileRank](const QString &file) {
        return fileRank.contains(file) ? fileRank.value(file) : int(fileRank.insert(file, int(fileRank.size())).value());
    };
    rank(QString());
    for (const ParamEntry &entry : params.allEntries())
        rank(entry.origin.file);
    QList<Finding> shown = findings.kept();
    QList<Finding> notes = repeatedSettings(params);
    for (const Finding &finding : shown + notes)
        rank(finding.where.file);
    const auto byPlace = [&fileRank](const Finding &a, const Finding &b) {
        const int ra = fileRank.value(a.where.file), rb = fileRank.value(b.where.file);
        return ra != rb ? ra < rb : a.where.line < b.where.line;
    };
    std::stable_sort(shown.begin(), shown.end(), byPlace);
    std::stable_sort(notes.begin(), notes.end(), byPlace);
    for (const Finding &finding : std::as_const(shown))
        out << located(finding) << "\n";
    if (findings.notKept() > 0)
        out << "Problems beyond the first " << Diagnostic::MaxShown << " not listed : " << findings.notKept() << "\n";
    // Not problems: they neither count nor change the status.
    for (const Finding &finding : std::as_const(notes))
        out << located(finding) << "\n";
    const qsizetype count = findings.count();
    if (count == 0)
        out << "no problems found\n";
    else
        out << count << (count == 1 ? " problem found\n" : " problems found\n");
    out.flush();
    return count == 0 ? 0 : 1;
}
